// The drapeon program's runs against what is already on disk and what
// happens around them: caches of other settings or damaged, stop signals,
// and a second run on the same files.
#include <gtest/gtest.h>

#include "programFolder.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <regex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

/// A sheet of n x n cells with a cloth object (cache in cache/s_) and a
/// gravity object and a nail on one corner under it; `cloth` goes into the cloth's "params", `more`
/// after its gravity object (further children), `top` after the sheet.
std::string sheetScene(int n, int lastFrame, const std::string& cloth = "", const std::string& more = "",
                       const std::string& top = "", int fps = 30) {
    return R"({"fps": )" + std::to_string(fps) + R"(, "frames": [0, )" + std::to_string(lastFrame) + R"(], "objects": [
      {"type": "polygon", "name": "Sheet", "position": [0, 100, 0],
       "mesh": {"plane": {"width": 200, "height": 200, "segments": )" + std::to_string(n) + R"(}},
       "tags": [{"type": "pointSelection", "name": "corner", "points": [0]}],
       "children": [{"type": "drapeon", "name": "Cloth",
                     "params": {"DRAPEON_CACHE_PATH": "cache/s_")" + (cloth.empty() ? "" : ", " + cloth) + R"(},
                     "children": [{"type": "drGravity"},
                                  {"type": "drNail", "params": {"NAIL_POINTS": {"tag": "Sheet:corner"}}})" + more +
           R"(]}]})" + top + "]}";
}

class RunsTest : public ProgramFolderTest {
protected:
    RunsTest() : ProgramFolderTest("drapeon_runs") {}
    void TearDown() override {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        ProgramFolderTest::TearDown();
    }

    /// Starts `drapeon run SCENE args...` in the background (output in
    /// long.out / long.err) and returns once it reports `frames` frames.
    void start(const std::vector<std::string>& args, int frames) {
        fs::remove(dir_ / "long.err");
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            if (chdir(dir_.c_str()) != 0) _exit(99);
            const int err = open("long.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int out = open("long.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            dup2(out, 1);
            std::vector<char*> argv{const_cast<char*>(DRAPEON_PROGRAM), const_cast<char*>("run")};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(DRAPEON_PROGRAM, argv.data());
            _exit(98);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (countLines(readFile(dir_ / "long.err"), "frame ") < frames && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GE(countLines(readFile(dir_ / "long.err"), "frame "), frames) << readFile(dir_ / "long.err");
    }

    /// Sends `signal` to the started run and returns its exit status (-1
    /// when a signal ended it).
    int stop(int signal) {
        kill(child_, signal);
        int wstatus = 0;
        const pid_t waited = waitpid(child_, &wstatus, 0);
        child_ = 0;
        return waited > 0 && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    }

    pid_t child_ = 0;
};

TEST_F(RunsTest, CacheOfOtherSettingsIsSimulatedAfreshUnlessReuseIsAsked) {
    const std::string cache = (dir_ / "cache/s_NNNN").string();
    const std::string last = "out/s/Sheet.0006.obj";
    write("s.json", sheetScene(6, 6, R"("DRAPEON_STIFFNESS": 30)"));
    Result r = drapeon("run s.json --export obj");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string stiff = readFile(dir_ / last);

    // The same settings: played back, and said so
    r = drapeon("run s.json --export obj");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("the cache " + cache + " holds 7 frames (0 to 6) made from these settings; they are played back"),
              std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir_ / last), stiff);

    // Another stiffness: the frames are simulated again and replace the old ones
    write("s.json", sheetScene(6, 6, R"("DRAPEON_STIFFNESS": 5)"));
    r = drapeon("run s.json --export obj --frames 0:3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("drapeon: the cache " + cache + " holds 7 frames (0 to 6) made from other settings (the cloth, "
                         "its mesh or placement, its colliders, forces or constraints, or the frame rate have changed "
                         "since); simulating afresh and replacing them (--reuse-cache plays them back instead)\n"),
              std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "cache/s_0004")) << "a stale frame beyond the run was kept";
    EXPECT_NE(drapeon("info s.json").out.find("4 frames (0 to 3) stored, fresh"), std::string::npos);
    r = drapeon("run s.json --export obj");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string soft = readFile(dir_ / last);
    EXPECT_NE(soft, stiff);

    // Back to the first stiffness with --reuse-cache: the soft frames play back
    write("s.json", sheetScene(6, 6, R"("DRAPEON_STIFFNESS": 30)"));
    r = drapeon("run s.json --export obj --reuse-cache");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("made from other settings (the cloth, its mesh or placement, its colliders, forces or "
                         "constraints, or the frame rate have changed since); playing them back all the same, as "
                         "--reuse-cache asks"),
              std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir_ / last), soft);
    EXPECT_NE(drapeon("info s.json").out.find("7 frames (0 to 6) stored, stale (made from other settings"), std::string::npos);

    // Frames without a record of their settings are stale too
    fs::remove(dir_ / "cache/s_.fingerprint");
    r = drapeon("run s.json --export obj");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("holds 7 frames (0 to 6) with no record of the settings they were made from; simulating afresh"),
              std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir_ / last), stiff);
}

TEST_F(RunsTest, FingerprintFollowsWhatShapesTheCloth) {
    const std::string keyed = R"(, {"type": "drCollideSphere", "animation": {"position": [[0, [0, 0, 0]], [9, [0, 50, 0]]]}})";
    const std::string ball = R"(, {"type": "polygon", "name": "Ball", "position": [0, 0, 0],
                                   "mesh": {"sphere": {"radius": 20, "segments": 8}}})";
    const std::string linked = R"(, {"type": "drCollideMesh", "params": {"MESH_OBJECT": {"object": "Ball"}}})";
    write("s.json", sheetScene(4, 3, "", keyed + linked, ball));
    ASSERT_EQ(drapeon("run s.json --export obj").status, 0);
    struct Case {
        const char* change;
        std::string scene;
        bool fresh;
    } cases[] = {
        {"nothing", sheetScene(4, 3, "", keyed + linked, ball), true},
        {"the frame range", sheetScene(4, 90, "", keyed + linked, ball), true},
        {"an unlinked object", sheetScene(4, 3, "", keyed + linked, ball + R"(, {"type": "null", "name": "Other"})"), true},
        {"a cloth parameter", sheetScene(4, 3, R"("DRAPEON_MASS": 11)", keyed + linked, ball), false},
        {"the mesh", sheetScene(5, 3, "", keyed + linked, ball), false},
        {"a collider's animation", sheetScene(4, 3, "", std::regex_replace(keyed, std::regex("50"), "51") + linked, ball), false},
        {"a new force", sheetScene(4, 3, "", keyed + linked + R"(, {"type": "drDamp"})", ball), false},
        {"the linked mesh", sheetScene(4, 3, "", keyed + linked, std::regex_replace(ball, std::regex("\"radius\": 20"), "\"radius\": 21")), false},
        {"the frame rate", sheetScene(4, 3, "", keyed + linked, ball, 25), false},
        {"the placement", std::regex_replace(sheetScene(4, 3, "", keyed + linked, ball), std::regex("\\[0, 100, 0\\]"), "[0, 101, 0]"), false},
    };
    for (const Case& c : cases) {
        write("v.json", c.scene);
        const Result r = drapeon("info v.json");
        ASSERT_EQ(r.status, 0) << c.change << ": " << r.err;
        const std::string expected = c.fresh ? "4 frames (0 to 3) stored, fresh" : "4 frames (0 to 3) stored, stale";
        EXPECT_NE(r.out.find("Sheet/Cloth: " + (dir_ / "cache/s_NNNN").string() + ", " + expected), std::string::npos)
            << "changed " << c.change << ":\n" << r.out;
    }
    // Another thread count replays the same frames
    const Result r = drapeon("run s.json --export obj --threads 1");
    EXPECT_NE(r.err.find("made from these settings; they are played back"), std::string::npos) << r.err;
}

TEST_F(RunsTest, DamagedCacheFilesAreNamedAndSimulatedAgain) {
    write("s.json", sheetScene(10, 8));
    ASSERT_EQ(drapeon("run s.json --export obj").status, 0);
    const std::string frame8 = readFile(dir_ / "out/s/Sheet.0008.obj");
    const fs::path cut = dir_ / "cache/s_0005", poisoned = dir_ / "cache/s_0006";
    fs::resize_file(cut, 1000);
    {
        std::fstream f(poisoned, std::ios::binary | std::ios::in | std::ios::out);
        const float nan = std::numeric_limits<float>::quiet_NaN();
        f.seekp(40);
        f.write(reinterpret_cast<const char*>(&nan), sizeof nan);
    }
    Result r = drapeon("run s.json --export obj");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("drapeon: cache file " + cut.string() +
                         " is damaged (1000 bytes where 2904 are expected for 121 points); simulating frame 5 again\n"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("drapeon: cache file " + poisoned.string() +
                         " is damaged (it holds values that are not finite numbers); simulating frame 6 again\n"),
              std::string::npos) << r.err;
    EXPECT_EQ(fs::file_size(cut), 2904u);
    EXPECT_EQ(readFile(dir_ / "out/s/Sheet.0008.obj"), frame8);  // still played back from its own file
    r = drapeon("run s.json --export obj");
    EXPECT_EQ(r.err.find("damaged"), std::string::npos) << r.err;
}

TEST_F(RunsTest, TermAndHangUpStopTheRunLikeCtrlC) {
    const struct {
        int signal;
        int status;
        const char* text;
    } cases[] = {{SIGTERM, 143, "stopped by SIGTERM"}, {SIGHUP, 129, "stopped by SIGHUP"}};
    write("long.json", sheetScene(100, 100000));
    for (const auto& c : cases) {
        fs::remove_all(dir_ / "out");
        fs::remove_all(dir_ / "cache");
        start({"long.json", "--export", "obj,pc2"}, 3);
        EXPECT_EQ(stop(c.signal), c.status) << c.text;
        const std::string err = readFile(dir_ / "long.err");
        const std::smatch m = [&] {
            std::smatch found;
            std::regex_search(err, found, std::regex(std::string("drapeon: ") + c.text + " during frame ([0-9]+); frames 0 to ([0-9]+) are complete\n"));
            return found;
        }();
        ASSERT_FALSE(m.empty()) << err;
        const int stopped = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), stopped - 1);
        char done[16], unfinished[16];
        std::snprintf(done, sizeof done, "%04d", stopped - 1);
        std::snprintf(unfinished, sizeof unfinished, "%04d", stopped);
        EXPECT_TRUE(fs::exists(dir_ / "out/long" / ("Sheet." + std::string(done) + ".obj")));
        EXPECT_TRUE(fs::exists(dir_ / "out/long/Sheet.pc2")) << "the complete frames are exported";
        EXPECT_TRUE(fs::exists(dir_ / "cache" / ("s_" + std::string(done))));
        EXPECT_FALSE(fs::exists(dir_ / "out/long" / ("Sheet." + std::string(unfinished) + ".obj")));
        EXPECT_FALSE(fs::exists(dir_ / "cache" / ("s_" + std::string(unfinished))));
        EXPECT_FALSE(fs::exists(dir_ / "out/long/.drapeon-run.lock"));
    }
}

TEST_F(RunsTest, CtrlCDuringAReplayKeepsEveryStoredFrame) {
    write("s.json", sheetScene(6, 1500));
    ASSERT_EQ(drapeon("run s.json --export obj").status, 0);
    start({"s.json", "--export", "obj"}, 20);
    EXPECT_EQ(stop(SIGINT), 130);
    EXPECT_NE(readFile(dir_ / "long.err").find("drapeon: interrupted during frame "), std::string::npos);
    EXPECT_NE(drapeon("info s.json").out.find("1501 frames (0 to 1500) stored, fresh"), std::string::npos);
}

TEST_F(RunsTest, ASecondRunOnTheSameFilesIsRefused) {
    write("long.json", sheetScene(100, 100000));
    start({"long.json", "--export", "obj"}, 2);
    const std::string holder = "(pid " + std::to_string(child_) + ": " DRAPEON_PROGRAM " run long.json --export obj)";

    write("other.json", sheetScene(2, 2));  // another scene with the same cache
    const struct {
        std::string args, message;
    } cases[] = {
        {"run long.json --export obj --frames 0:1 --out out/long",
         "drapeon: the output folder out/long is being written by another run " + holder +
             "; wait for it to end, or give this run another folder with --out\n"},
        {"run other.json --export obj",
         "drapeon: the cache " + (dir_ / "cache/s_NNNN").string() + " of \"Sheet/Cloth\" is being written by another run " +
             holder + "; wait for it to end, or give the cloth another DRAPEON_CACHE_PATH\n"},
        {"clear-cache other.json", "is being written by another run " + holder + "; wait for it to end, or stop it first\n"},
    };
    for (const auto& c : cases) {
        const Result r = drapeon(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ":\n" << r.err;
    }
    EXPECT_TRUE(fs::exists(dir_ / "cache/s_0001"));
    EXPECT_TRUE(!fs::exists(dir_ / "out/other") || fs::is_empty(dir_ / "out/other"));

    // Once the first run has ended, the files are free again
    stop(SIGTERM);
    const Result r = drapeon("run other.json --export obj");
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
