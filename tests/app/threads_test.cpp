// Every example scene gives the same bits whatever the number of threads:
// the point caches of runs on 1, 2, 3 and 8 threads are byte for byte the
// same. Together the scenes use every object type. The runs split their
// passes from 64 cloth points on, so that every scene's cloths run split.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

/// Enough frames for every scene's objects to act (contacts, the fold's layers).
constexpr int kLastFrame = 30;

fs::path scenesFolder() {
#ifdef DRAPEON_SCENES
    return DRAPEON_SCENES;
#else
    return fs::path(__FILE__).parent_path().parent_path().parent_path() / "scenes";
#endif
}

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
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ThreadCount : public ::testing::TestWithParam<fs::path> {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("drapeon_threads_" + std::to_string(::getpid()) + "_" + GetParam().stem().string());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    /// Runs the scene on `threads` threads; the point caches by file name.
    std::vector<std::pair<std::string, std::string>> run(int threads) {
        const fs::path out = dir_ / std::to_string(threads);
        const fs::path log = dir_ / ("log" + std::to_string(threads) + ".txt");
        const std::string command = "DRAPEON_SPLIT_POINTS=64 '" + program().string() + "' run '" + GetParam().string() + "' --frames 0:" +
                                    std::to_string(kLastFrame) + " --threads " + std::to_string(threads) +
                                    " --export pc2 --out '" + out.string() + "' >'" + log.string() + "' 2>&1";
        const int rc = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << readFile(log);
        std::vector<std::pair<std::string, std::string>> caches;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(out, ec))
            if (entry.path().extension() == ".pc2") caches.emplace_back(entry.path().filename().string(), readFile(entry.path()));
        std::sort(caches.begin(), caches.end());
        return caches;
    }

    fs::path dir_;
};

TEST_P(ThreadCount, EveryThreadCountGivesTheSameBits) {
    ASSERT_FALSE(program().empty()) << "the drapeon program was not found";
    const auto one = run(1);
    ASSERT_FALSE(one.empty()) << "no point cache written";
    for (int threads : {2, 3, 8}) {
        const auto other = run(threads);
        ASSERT_EQ(other.size(), one.size()) << threads << " threads";
        for (size_t k = 0; k < one.size(); ++k) {
            EXPECT_EQ(other[k].first, one[k].first);
            EXPECT_TRUE(other[k].second == one[k].second) << one[k].first << " differs on " << threads << " threads";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, ThreadCount, ::testing::ValuesIn(sceneFiles()),
                         [](const ::testing::TestParamInfo<fs::path>& info) { return info.param.stem().string(); });

}  // namespace
