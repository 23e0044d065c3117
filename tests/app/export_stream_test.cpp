// The exports written frame by frame: OBJ text as printf would write it, a
// stop while the exports are written, and scratch data that never stays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <fstream>
#include <sstream>

#include <unistd.h>

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
    }
    char expected[64];
    std::string text;
    for (double v : values) {
        std::snprintf(expected, sizeof expected, "v %.9g %.9g %.9g\n", v, -v, v * 0.001);
        text.clear();
        const Vector p(v, -v, v * 0.001);
        appendObjText(text, "", &p, 1, {});
        ASSERT_EQ(text, std::string("o \n") + expected) << v;
    }
}

TEST(ExportStream, TheWriterThreadWritesEveryFrameOrReportsItsFailure) {
    TempDir dir;
    ExportSettings settings;
    settings.dir = dir.path;
    settings.obj = settings.pc2 = settings.viewer = true;
    {
        ExportStream stream(settings, objects());
        ExportWriter writer(stream, 2);
        for (ExportFrame& f : frames(40)) ASSERT_TRUE(writer.push(std::move(f)));
        std::string error;
        ASSERT_TRUE(writer.drain(error)) << error;
        ASSERT_TRUE(stream.finish(error)) << error;
        EXPECT_EQ(writer.written(), 40);
        EXPECT_EQ(fs::file_size(dir.path / "Sheet.pc2"), 32u + 12u * 4u * 40u);
        EXPECT_TRUE(fs::exists(dir.path / "Sheet.0039.obj"));
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
