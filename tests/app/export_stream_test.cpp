// The exports written frame by frame: OBJ text as printf would write it, a
// stop while the exports are written, the viewer's data assembled from what
// was put aside, scratch data that never stays, and the output files below
// them all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "exportStream.h"
#include "exportWriter.h"
#include "objWriter.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() /
               ("drapeon_stream_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// `size` bytes that differ from place to place.
std::string pattern(size_t size, char seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(seed + i * 7 + i / 251);
    return out;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

/// A simulated quad sheet and a still floor over `frames` frames.
std::vector<ExportFrame> frames(int count) {
    std::vector<ExportFrame> out;
    for (int f = 0; f < count; ++f) {
        ExportFrame frame;
        frame.frame = f;
        frame.worldPoints = {{{0, 10.0 - f, 0}, {1, 10.0 - f, 0}, {1, 10.0 - f, 1}, {0, 10.0 - 2 * f, 1}},
                             {{-5, 0, -5}, {5, 0, -5}, {5, 0, 5}}};
        frame.worldFromObject = {Matrix(), Matrix()};
        if (f == 0) {
            frame.polygons = {{CPolygon(0, 1, 2, 3)}, {CPolygon(0, 1, 2)}};
            frame.ownPoints = frame.worldPoints;
        }
        RecordedGuide g;
        g.object = "Sheet/Cloth";
        g.type = "drapeon";
        frame.guides = {g};
        out.push_back(frame);
    }
    return out;
}

std::vector<ExportObject> objects() {
    return {{"Sheet", "Sheet", "Sheet", true, true}, {"Floor", "Floor", "", false, true}};
}

}  // namespace

TEST(ExportStream, ObjNumbersAreThoseOfPrintf) {
    const std::vector<Vector> points = {{0.0, -0.0, 1.0},
                                        {0.1, -123456.789, 1e-5},
                                        {1e20, -2.5e-300, 4.9e-324},
                                        {123456789.0, 1234567890123.0, 0.000123456789}};
    std::string expected = "o a b\n";
    char line[160];
    for (const Vector& p : points) {
        std::snprintf(line, sizeof line, "v %.9g %.9g %.9g\n", p.x, p.y, p.z);
        expected += line;
    }
    expected += "f 1 2 3 4\nf 2147483647 1 2\n";
    EXPECT_EQ(objText("a\nb", points, {CPolygon(0, 1, 2, 3), CPolygon(2147483646, 0, 1)}), expected);
}

TEST(ExportStream, AStopWhileFinishingKeepsTheFramesAndRemovesUnfinishedFiles) {
    // Stopped at each of the polls of finish() in turn: the files finished
    // before the stop stay whole, the others are not there, nor any
    // temporary or scratch file.
    for (int stopAt = 0; stopAt <= 6; ++stopAt) {
        TempDir dir;
        int polls = 0;
        ExportSettings settings;
        settings.dir = dir.path;
        settings.obj = settings.pc2 = settings.viewer = true;
        settings.glb = dir.path / "scene.glb";
        settings.sceneName = "scene";
        settings.stopRequested = [&] { return ++polls > 3 + stopAt; };  // three frames pass
        ExportStream stream(settings, objects());
        std::string error;
        for (const ExportFrame& f : frames(3)) ASSERT_TRUE(stream.add(f, error)) << error;
        EXPECT_FALSE(stream.finish(error)) << "stop at " << stopAt;
        EXPECT_TRUE(stream.stopped());
        std::vector<std::string> expected = {"Sheet.0000.obj", "Sheet.0001.obj", "Sheet.0002.obj"};
        for (const std::string& done : stream.completedFiles()) expected.push_back(done);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(entries(dir.path), expected) << "stop at " << stopAt;
        if (fs::exists(dir.path / "Sheet.pc2")) {
            EXPECT_EQ(fs::file_size(dir.path / "Sheet.pc2"), 32u + 12u * 4u * 3u);
        }
        if (stopAt == 0) {
            EXPECT_FALSE(fs::exists(dir.path / "Sheet.pc2"));
        }
    }

    // Not stopped: everything, and nothing else.
    TempDir dir;
    ExportSettings settings;
    settings.dir = dir.path;
    settings.obj = settings.pc2 = settings.viewer = true;
    settings.glb = dir.path / "scene.glb";
    ExportStream stream(settings, objects());
    std::string error;
    for (const ExportFrame& f : frames(3)) ASSERT_TRUE(stream.add(f, error)) << error;
    ASSERT_TRUE(stream.finish(error)) << error;
    EXPECT_EQ(entries(dir.path), (std::vector<std::string>{"Sheet.0000.obj", "Sheet.0001.obj", "Sheet.0002.obj",
                                                           "Sheet.pc2", "Sheet.rest.obj", "scene.glb",
                                                           "viewer-data.bin"}));
}

TEST(ExportStream, ViewerDataHoldsEveryFramesPointsAndGuides) {
    // A sheet that holds still for two frames and then falls, a floor that
    // never moves and a box that moves from the start; guides that change
    // in number from frame to frame.
    constexpr int kFrames = 7;
    TempDir dir;
    ExportSettings settings;
    settings.dir = dir.path;
    settings.viewer = true;
    settings.sceneName = "scene";
    ExportStream stream(settings, {{"Sheet", "Sheet", "Sheet", true, true},
                                   {"Floor", "Floor", "", false, true},
                                   {"Box", "Box", "", false, true}});
    std::vector<std::vector<std::vector<float>>> expected(3);  // object, frame, floats
    std::vector<float> expectedGuides;
    std::string error;
    for (int f = 0; f < kFrames; ++f) {
        ExportFrame frame;
        frame.frame = 10 + f;
        const double drop = f < 2 ? 0.0 : 0.25 * f;
        frame.worldPoints = {{{0, 10.0 - drop, 0}, {1, 10.0 - drop, 0}, {1, 10.0 - 2 * drop, 1}},
                             {{-5, 0, -5}, {5, 0, -5}, {5, 0, 5}},
                             {{0.1 * f, 1, 2}, {3, 4.5, 6}, {7, 8, 9.0 + f}}};
        frame.worldFromObject = {Matrix(), Matrix(), Matrix()};
        if (f == 0) {
            frame.polygons = {{CPolygon(0, 1, 2)}, {CPolygon(0, 1, 2)}, {CPolygon(0, 1, 2)}};
            frame.ownPoints = frame.worldPoints;
        }
        for (size_t k = 0; k < 3; ++k) {
            std::vector<float> floats;
            for (const Vector& p : frame.worldPoints[k])
                floats.insert(floats.end(), {float(p.x), float(p.y), float(p.z)});
            expected[k].push_back(floats);
        }
        for (int g = 0; g < f % 3; ++g) {
            RecordedGuide guide;
            guide.object = g == 0 ? "Sheet/Cloth" : "Sheet/Cloth/Wind";
            guide.type = g == 0 ? "drapeon" : "drWind";
            guide.a = Vector(f, g, 1);
            frame.guides.push_back(guide);
            expectedGuides.insert(expectedGuides.end(), {float(g), 0.0f, float(f), float(g), 1, 0, 0, 0, 1, 1, 1});
        }
        ASSERT_TRUE(stream.add(frame, error)) << error;
    }
    ASSERT_TRUE(stream.finish(error)) << error;

    const std::string data = readFile(dir.path / "viewer-data.bin");
    ASSERT_EQ(data.compare(0, 8, "DRAPEONV"), 0);
    uint32_t length = 0;
    std::memcpy(&length, data.data() + 12, 4);
    const nlohmann::json header = nlohmann::json::parse(data.substr(16, length));
    const char* binary = data.data() + 16 + length;
    const auto floatsAt = [&](size_t offset, size_t count) {
        std::vector<float> out(count);
        std::memcpy(out.data(), binary + offset, count * 4);
        return out;
    };
    EXPECT_EQ(header["firstFrame"], 10);
    EXPECT_EQ(header["frameCount"], kFrames);
    ASSERT_EQ(header["meshes"].size(), 3u);
    for (size_t k = 0; k < 3; ++k) {
        const nlohmann::json& mesh = header["meshes"][k];
        const size_t stored = mesh["storedFrames"];
        EXPECT_EQ(stored, k == 1 ? 1u : size_t(kFrames)) << k;
        for (size_t f = 0; f < stored; ++f)
            EXPECT_EQ(floatsAt(size_t(mesh["positions"]) + f * 36, 9), expected[k][f]) << "object " << k << " frame " << f;
    }
    EXPECT_EQ(header["guideGroups"].size(), 2u);
    EXPECT_EQ(floatsAt(header["guides"], expectedGuides.size()), expectedGuides);
    std::vector<uint32_t> starts(kFrames + 1);
    std::memcpy(starts.data(), binary + size_t(header["guideFrames"]), starts.size() * 4);
    EXPECT_EQ(starts, (std::vector<uint32_t>{0, 0, 1, 3, 3, 4, 6, 6}));
    EXPECT_EQ(data.size(), 16 + length + size_t(header["guideFrames"]) + starts.size() * 4);
}

TEST(ExportStream, ObjNumbersMatchPrintfAcrossMagnitudesAndTies) {
    // Random values of every size the formatting treats differently, and
    // values on a tie of the ninth digit (which printf rounds to even).
    std::mt19937_64 random(7);
    std::vector<double> values = {1234567885.0, 1234567895.0, 0.5, 2.5, 999999999.5, 999999998.5, 9.999999995,
                                  1e-5, 9.9999999999e-5, 1e-4, 99999999.95, 123456789.0, 1e9, 1e15, 1e-15};
    for (int i = 0; i < 50000; ++i) {
        const double mantissa = std::uniform_real_distribution<double>(1.0, 10.0)(random);
        const int exponent = std::uniform_int_distribution<int>(-20, 20)(random);
        values.push_back((i % 2 ? -1.0 : 1.0) * mantissa * std::pow(10.0, exponent));
        values.push_back(static_cast<double>(static_cast<float>(values.back())));  // a float's value
        values.push_back(values.back() + 110.0);  // a float moved by a world matrix
        // Next to a tie of the ninth digit, and next to a power of ten
        const double tie = (std::floor(mantissa * 1e8) + 0.5) * std::pow(10.0, exponent - 8);
        values.insert(values.end(), {tie, std::nextafter(tie, 0.0), std::nextafter(tie, 1e300)});
        const double power = std::pow(10.0, exponent);
        values.insert(values.end(), {power, std::nextafter(power, 0.0), std::nextafter(power, 1e300)});
    }
    // Point by point (one number after the other), then all at once in
    // every width of vector lanes the processor has.
    char expected[64];
    std::string text, all;
    std::vector<Vector> points;
    for (double v : values) {
        std::snprintf(expected, sizeof expected, "v %.9g %.9g %.9g\n", v, -v, v * 0.001);
        all += expected;
        text.clear();
        points.emplace_back(v, -v, v * 0.001);
        appendObjText(text, "", &points.back(), 1, {});
        ASSERT_EQ(text, std::string("o \n") + expected) << v;
    }
    for (int lanes : {1, 4, 8}) {
        if (lanes > objwriter_detail::widestLanes()) continue;
        text.assign(objPointsRoom(points.size()), '\0');
        char* end = objwriter_detail::writePointsIn(lanes, text.data(), text.data() + text.size(), points.data(),
                                                    points.size());
        text.resize(static_cast<size_t>(end - text.data()));
        ASSERT_EQ(text.size(), all.size()) << lanes << " lanes";
        for (size_t at = 0; at < all.size(); at += 4096)
            ASSERT_EQ(text.substr(at, 4096), all.substr(at, 4096)) << lanes << " lanes, at " << at;
    }
}

TEST(ExportStream, TheWriterThreadWritesEveryFrameOrReportsItsFailure) {
    TempDir dir;
    ExportSettings settings;
    settings.dir = dir.path;
    settings.obj = settings.pc2 = settings.viewer = true;
    {
        // Each frame is captured into the one the writer handed back, as a
        // run does: a frame still being written is never handed out.
        ExportStream stream(settings, objects());
        ExportWriter writer(stream, 2);
        const std::vector<ExportFrame> all = frames(40);
        for (const ExportFrame& f : all) {
            ExportFrame spare = writer.spareFrame();
            spare.frame = f.frame;
            spare.worldPoints.resize(f.worldPoints.size());
            for (size_t k = 0; k < f.worldPoints.size(); ++k)
                spare.worldPoints[k].assign(f.worldPoints[k].begin(), f.worldPoints[k].end());
            spare.worldFromObject = f.worldFromObject;
            spare.polygons = f.polygons;
            spare.ownPoints = f.ownPoints;
            spare.guides = f.guides;
            ASSERT_TRUE(writer.push(std::move(spare)));
        }
        std::string error;
        ASSERT_TRUE(writer.drain(error)) << error;
        ASSERT_TRUE(stream.finish(error)) << error;
        EXPECT_EQ(writer.written(), 40);
        EXPECT_EQ(fs::file_size(dir.path / "Sheet.pc2"), 32u + 12u * 4u * 40u);
        for (const ExportFrame& f : all)
            EXPECT_EQ(readFile(dir.path / frameFileName("Sheet", f.frame)),
                      objText("Sheet", f.worldPoints[0], all[0].polygons[0]))
                << f.frame;
    }

    // A folder that goes away: the frames after the failure are refused and
    // the error names the file.
    const fs::path gone = dir.path / "gone";
    fs::create_directories(gone);
    settings.dir = gone;
    ExportStream stream(settings, objects());
    ExportWriter writer(stream, 2);
    std::vector<ExportFrame> all = frames(40);
    ASSERT_TRUE(writer.push(std::move(all[0])));
    std::string error;
    // Moved away in one step: removing it file by file would race with the
    // writer creating the next file in it.
    fs::rename(gone, dir.path / "moved");
    for (size_t f = 1; f < all.size() && writer.push(std::move(all[f])); ++f) {
    }
    EXPECT_FALSE(writer.drain(error));
    EXPECT_NE(error.find(gone.string()), std::string::npos) << error;
}

// Output files: whatever the mix of small pieces, large pieces, patches and
// stretches copied from a scratch file, and the permissions a new file gets.
TEST(FileWrite, PiecesPatchesAndCopiesLandInOrder) {
    // The scratch file in the output folder (copied by the system) and in a
    // folder of another file system where there is one (read and written).
    TempDir dir;
    std::vector<fs::path> scratchFolders = {dir.path};
    if (fs::is_directory("/dev/shm")) scratchFolders.push_back("/dev/shm");
    std::vector<std::string> written;
    for (const fs::path& folder : scratchFolders) {
        const std::string name = "out" + std::to_string(written.size()) + ".bin";
        written.push_back(name);
        std::string error;
        ScratchFile scratch;
        ASSERT_TRUE(scratch.open(folder, error)) << error;
        const std::string spooled = pattern(300000, 'a');
        ASSERT_TRUE(scratch.append(spooled.data(), spooled.size(), error)) << error;

        const std::string small = pattern(1000, 'b'), large = pattern(200000, 'c'), middle = pattern(40000, 'd');
        OutputFile out;
        ASSERT_TRUE(out.create(dir.path / name, error)) << error;
        std::string expected;
        for (const std::string* piece : {&small, &large, &small, &middle, &middle, &small}) {
            ASSERT_TRUE(out.write(*piece, error)) << error;
            expected += *piece;
        }
        ASSERT_TRUE(out.copyFrom(scratch, 12345, 250000, error)) << error;
        expected += spooled.substr(12345, 250000);
        ASSERT_TRUE(out.write(small, error)) << error;
        expected += small;
        ASSERT_TRUE(out.patch(10, "PATCH", 5, error)) << error;
        expected.replace(10, 5, "PATCH");
        EXPECT_FALSE(fs::exists(dir.path / name)) << "nothing under the final name before the commit";
        ASSERT_TRUE(out.commit(error)) << error;
        EXPECT_EQ(readFile(dir.path / name), expected) << folder;

        // Beyond the end of the scratch data: an error, and no file.
        OutputFile beyond;
        ASSERT_TRUE(beyond.create(dir.path / "beyond.bin", error)) << error;
        EXPECT_FALSE(beyond.copyFrom(scratch, 299000, 2000, error));
        beyond.abandon();
        EXPECT_FALSE(fs::exists(dir.path / "beyond.bin"));
    }
    EXPECT_EQ(entries(dir.path), written) << "no temporary or scratch file stays";
}

TEST(FileWrite, NewFilesGetTheCreationMaskLikeAnyOther) {
    TempDir dir;
    std::string error;
    for (const mode_t mask : {mode_t(022), mode_t(027), mode_t(077)}) {
        const mode_t previous = ::umask(mask);
        const fs::path file = dir.path / ("mask" + std::to_string(mask) + ".txt");
        const bool written = writeFileAtomically(file, {"one ", "two"}, error);
        ::umask(previous);
        ASSERT_TRUE(written) << error;
        EXPECT_EQ(readFile(file), "one two");
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "mask " << std::oct << mask;
    }
}
