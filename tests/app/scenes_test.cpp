// The example scenes of scenes/ run through the built drapeon program for
// their first frames: every one must load, simulate and write finite points
// that stay near where the cloth started.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kLastFrame = 3;

/// The folder of the example scenes: next to tests/ in the source tree.
fs::path scenesFolder() {
#ifdef DRAPEON_SCENES
    return DRAPEON_SCENES;
#else
    return fs::path(__FILE__).parent_path().parent_path().parent_path() / "scenes";
#endif
}

/// The built program: at the top of the build folder, with plugins/ beside it.
fs::path program() {
#ifdef DRAPEON_PROGRAM
    return DRAPEON_PROGRAM;
#else
    std::error_code ec;
    for (fs::path dir = fs::read_symlink("/proc/self/exe", ec).parent_path(); !ec && !dir.empty();
         dir = dir.parent_path()) {
        if (fs::is_regular_file(dir / "drapeon") && fs::is_directory(dir / "plugins")) return dir / "drapeon";
        if (dir == dir.root_path()) break;
    }
    return {};
#endif
}

std::vector<fs::path> sceneFiles() {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(scenesFolder(), ec))
        if (entry.is_regular_file() && entry.path().extension() == ".json") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

using Point = std::array<double, 3>;

/// The "v" lines of an OBJ file; false when one is not three numbers.
bool readPoints(const fs::path& file, std::vector<Point>& points, std::string& problem) {
    std::ifstream in(file);
    if (!in) {
        problem = "cannot open " + file.string();
        return false;
    }
    int lineNumber = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        if (line.rfind("v ", 0) != 0) continue;
        // strtod, unlike a stream, reads "nan" and "inf", so they reach the finiteness check.
        Point p{};
        const char* at = line.c_str() + 2;
        for (double& c : p) {
            char* end = nullptr;
            c = std::strtod(at, &end);
            if (end == at) {
                problem = file.filename().string() + ":" + std::to_string(lineNumber) + ": not a point: " + line;
                return false;
            }
            at = end;
        }
        points.push_back(p);
    }
    return true;
}

class SceneRun : public ::testing::TestWithParam<fs::path> {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir_ = fs::temp_directory_path() / ("drapeon_scenes_" + std::to_string(::getpid()) + "_" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

TEST_P(SceneRun, FirstFramesAreFiniteAndStayNearTheStart) {
    const fs::path exe = program();
    ASSERT_FALSE(exe.empty()) << "the drapeon program was not found above " << fs::read_symlink("/proc/self/exe");
    const fs::path out = dir_ / "out";
    // Appended piece by piece: GCC 12 at -O3 sees a false overlap in a chain
    // of operator+ that starts with a literal (-Wrestrict)
    std::string command;
    for (const std::string& piece : {"'" + exe.string(), "' run '" + GetParam().string(),
                                     "' --frames 0:" + std::to_string(kLastFrame), " --threads 2 --export obj --out '" + out.string(),
                                     "' >'" + (dir_ / "stdout.txt").string(), "' 2>'" + (dir_ / "stderr.txt").string(), std::string("'")})
        command += piece;
    const int rc = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0)
        << "exit status " << (WIFEXITED(rc) ? WEXITSTATUS(rc) : -1) << "\n" << readFile(dir_ / "stderr.txt");

    // Group the frame files by object: "<object>.<frame>.obj".
    std::map<std::string, std::vector<fs::path>> frames;
    for (const auto& entry : fs::directory_iterator(out)) {
        const fs::path& f = entry.path();
        if (f.extension() != ".obj") continue;
        const fs::path stem = f.stem();  // "<object>.<frame>"
        const std::string frame = stem.extension().string();
        if (frame.size() > 1 && std::all_of(frame.begin() + 1, frame.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
            frames[stem.stem().string()].push_back(f);
    }
    ASSERT_FALSE(frames.empty()) << "no simulated object wrote frames";

    for (auto& [object, files] : frames) {
        SCOPED_TRACE(object);
        std::sort(files.begin(), files.end());
        ASSERT_EQ(files.size(), static_cast<size_t>(kLastFrame + 1));

        std::vector<Point> start;
        std::string problem;
        ASSERT_TRUE(readPoints(files.front(), start, problem)) << problem;
        ASSERT_FALSE(start.empty());
        // A cloth may move within a few frames, but not further than its own size.
        Point lo = start.front(), hi = start.front();
        for (const Point& p : start)
            for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], p[k]), hi[k] = std::max(hi[k], p[k]);
        const double reach = std::max(1.0, std::hypot(hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]));

        for (const fs::path& file : files) {
            SCOPED_TRACE(file.filename().string());
            std::vector<Point> points;
            ASSERT_TRUE(readPoints(file, points, problem)) << problem;
            ASSERT_EQ(points.size(), start.size());
            for (size_t i = 0; i < points.size(); ++i) {
                const Point& p = points[i];
                ASSERT_TRUE(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) << "point " << i;
                for (int k = 0; k < 3; ++k)
                    ASSERT_TRUE(p[k] >= lo[k] - reach && p[k] <= hi[k] + reach)
                        << "point " << i << " left the neighbourhood of the cloth: axis " << k << " at " << p[k];
            }
        }
    }
}

std::string sceneName(const ::testing::TestParamInfo<fs::path>& info) {
    std::string name = info.param.stem().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Examples, SceneRun, ::testing::ValuesIn(sceneFiles()), sceneName);

// An empty or missing scenes folder would otherwise pass without running anything.
TEST(SceneFolder, HoldsTheExampleScenes) {
    EXPECT_GE(sceneFiles().size(), 6u) << "in " << scenesFolder();
}

}  // namespace
