// drapeon wedge with the local scheduler, end to end: the variants' scenes
// and results, resuming, Ctrl-C, the summary, and the --vary options it
// refuses before anything runs.
#include <gtest/gtest.h>

#include "programFolder.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

/// An n x n sheet read from meshes/sheet.obj (relative to the scene), nailed
/// at one corner so that its stiffness shows, with a relative cache path.
/// `clothExtra` adds keys to the cloth object.
std::string sheetScene(int lastFrame, const std::string& clothExtra = "") {
    return R"({"fps": 30, "frames": [0, )" + std::to_string(lastFrame) + R"(], "objects": [
      {"type": "polygon", "name": "Sheet", "position": [0, 100, 0], "mesh": {"obj": "meshes/sheet.obj"},
       "tags": [{"type": "pointSelection", "name": "corner", "points": [0]}],
       "children": [{"type": "drapeon", "name": "Cloth", "params": {"DRAPEON_CACHE_PATH": "cache/cloth_"})" +
           clothExtra + R"(,
                     "children": [{"type": "drGravity"},
                                  {"type": "drNail", "params": {"NAIL_POINTS": {"tag": "Sheet:corner"}}}]}]}]})";
}

/// A flat grid of n x n cells, 200 units wide, as OBJ text.
std::string gridObj(int n) {
    std::string obj;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i)
            obj += "v " + std::to_string(-100 + 200 * i / n) + " 0 " + std::to_string(-100 + 200 * j / n) + "\n";
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const int a = j * (n + 1) + i + 1;
            obj += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + n + 2) + " " +
                   std::to_string(a + n + 1) + "\n";
        }
    return obj;
}

class WedgeTest : public ProgramFolderTest {
protected:
    WedgeTest() : ProgramFolderTest("drapeon_wedge") {}
    void SetUp() override {
        ProgramFolderTest::SetUp();
        write("scenes/meshes/sheet.obj", gridObj(8));
    }
};

int countLines(const std::string& text) {
    int n = 0;
    for (const char c : text) n += c == '\n';
    return n;
}

}  // namespace

TEST_F(WedgeTest, RunsEveryCombinationAndResumesOnlyTheUnfinished) {
    write("scenes/sheet.json", sheetScene(12));
    const std::string command =
        "wedge scenes/sheet.json --vary Sheet/Cloth.DRAPEON_STIFFNESS=5,60 --vary Sheet/Cloth.1002=0.5:1.5:2 --out w --jobs 2";
    Result r = drapeon(command);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("4 of 4 variants done"), std::string::npos) << r.err;

    // The variants are the product, the last --vary changing fastest; each
    // scene holds its values and finds its mesh from its own folder
    const std::string scene1 = readFile(dir_ / "w/1/scene.json");
    EXPECT_NE(scene1.find("\"DRAPEON_STIFFNESS\": 5.0"), std::string::npos) << scene1;
    EXPECT_NE(scene1.find("\"DRAPEON_DAMPING\": 1.5"), std::string::npos) << scene1;
    EXPECT_NE(scene1.find((dir_ / "scenes/meshes/sheet.obj").string()), std::string::npos) << scene1;
    for (int k = 0; k < 4; ++k) {
        const fs::path v = dir_ / "w" / std::to_string(k);
        EXPECT_TRUE(fs::exists(v / "Sheet.0012.obj")) << k;
        EXPECT_TRUE(fs::exists(v / "cache/cloth_0012")) << "each variant keeps its own cache, " << k;
        EXPECT_NE(readFile(v / "status.json").find("\"done\""), std::string::npos) << k;
    }
    EXPECT_NE(readFile(dir_ / "w/0/Sheet.0012.obj"), readFile(dir_ / "w/2/Sheet.0012.obj"))
        << "the stiffness changes the drape";

    // A variant is the same as a run of its scene with the same threads
    r = drapeon("run w/3/scene.json --threads 1 --out again --export obj");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir_ / "again/Sheet.0012.obj"), readFile(dir_ / "w/3/Sheet.0012.obj"));

    // The summary: a header and one row per variant with its values
    const std::string csv = readFile(dir_ / "w/summary.csv");
    EXPECT_EQ(countLines(csv), 5) << csv;
    EXPECT_EQ(csv.rfind("variant,Sheet/Cloth.DRAPEON_STIFFNESS,Sheet/Cloth.DRAPEON_DAMPING,status,exit_code,frames,", 0), 0u)
        << csv;
    EXPECT_NE(csv.find("\n1,5,1.5,done,0,13,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("Sheet.lowest_y"), std::string::npos) << csv;
    const std::string page = readFile(dir_ / "w/index.html");
    size_t tiles = 0;
    for (size_t at = page.find("<svg"); at != std::string::npos; at = page.find("<svg", at + 1)) ++tiles;
    EXPECT_EQ(tiles, 4u);

    // Again on the same folder: nothing to run. After losing a result, only that variant runs.
    const auto before = fs::last_write_time(dir_ / "w/0/status.json");
    r = drapeon(command);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("4 finished before, 0 to run"), std::string::npos) << r.err;
    fs::remove(dir_ / "w/2/Sheet.pc2");
    r = drapeon(command);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("3 finished before, 1 to run"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "w/2/Sheet.pc2"));
    EXPECT_EQ(fs::last_write_time(dir_ / "w/0/status.json"), before);

    // Other values into the same folder are refused; the summary can be rebuilt alone
    r = drapeon("wedge scenes/sheet.json --vary Sheet/Cloth.DRAPEON_STIFFNESS=5,70 --out w");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("other --vary values"), std::string::npos) << r.err;
    const std::string latest = readFile(dir_ / "w/summary.csv");
    fs::remove(dir_ / "w/summary.csv");
    r = drapeon("wedge --summary w");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir_ / "w/summary.csv"), latest);
}

TEST_F(WedgeTest, FailedVariantIsReportedAndRunsAgain) {
    // A stiffness this high blows the sheet up: drapeon run stops with status 3
    write("scenes/sheet.json", sheetScene(12));
    const std::string command = "wedge scenes/sheet.json --vary Sheet/Cloth.DRAPEON_STIFFNESS=30,1e30 --out w";
    Result r = drapeon(command);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("variant 1 failed (exit status 3)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find((dir_ / "w/1/run.log").string()), std::string::npos) << r.err;
    const std::string csv = readFile(dir_ / "w/summary.csv");
    EXPECT_NE(csv.find("\n0,30,done,0,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\n1,1e+30,failed,3,"), std::string::npos) << csv;
    r = drapeon(command);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("1 finished before, 1 to run"), std::string::npos) << r.err;
}

TEST_F(WedgeTest, CtrlCStopsTheRunsAndTheNextWedgeFinishesThem) {
    write("scenes/long.json", sheetScene(3000));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir_.c_str()) != 0) _exit(99);
        const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        dup2(out, 1);
        execl(DRAPEON_PROGRAM, DRAPEON_PROGRAM, "wedge", "scenes/long.json", "--vary", "Sheet/Cloth.DRAPEON_STIFFNESS=20,40",
              "--out", "w", "--jobs", "2", static_cast<char*>(nullptr));
        _exit(98);
    }
    // Both runs are under way: Ctrl-C to the wedge alone
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const auto started = [&](int k) { return readFile(dir_ / "w" / std::to_string(k) / "run.log").find("frame 5 ") != std::string::npos; };
    while (!(started(0) && started(1)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGINT);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 130) << readFile(dir_ / "stderr.txt");
    EXPECT_NE(readFile(dir_ / "stderr.txt").find("2 of 2 variants are unfinished"), std::string::npos)
        << readFile(dir_ / "stderr.txt");
    for (int k = 0; k < 2; ++k) {
        const fs::path v = dir_ / "w" / std::to_string(k);
        EXPECT_NE(readFile(v / "status.json").find("\"interrupted\""), std::string::npos) << k;
        EXPECT_NE(readFile(v / "run.log").find("interrupted during frame"), std::string::npos) << k;
        EXPECT_FALSE(fs::exists(v / "Sheet.3000.obj"));
    }
    EXPECT_NE(readFile(dir_ / "w/summary.csv").find("\n1,40,interrupted,130,"), std::string::npos)
        << readFile(dir_ / "w/summary.csv");

    // Resumed with fewer frames to keep the test short: the scene changed, so both run again
    write("scenes/long.json", sheetScene(8));
    const Result r = drapeon("wedge scenes/long.json --vary Sheet/Cloth.DRAPEON_STIFFNESS=20,40 --out w");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "w/1/Sheet.0008.obj"));
}

TEST_F(WedgeTest, BadVaryIsRefusedBeforeAnythingRuns) {
    write("scenes/sheet.json", sheetScene(3, R"(, "animation": {"DRAPEON_BEND": [[0, 0.1], [3, 0.2]]})"));
    const std::string stiffness = "Sheet/Cloth.DRAPEON_STIFFNESS";
    struct Case {
        std::vector<std::string> vary;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{stiffness}, "expected PATH.PARAMETER=V1,V2"},
        {{"Sheet/Cloth=10"}, "is not OBJECT.PARAMETER"},
        {{"Sheet/Cloht.DRAPEON_STIFFNESS=10"}, "no object \"Sheet/Cloht\" (did you mean \"Sheet/Cloth\"?)"},
        {{"Sheet/Cloth.DRAPEON_STIFNESS=10"}, "no parameter \"DRAPEON_STIFNESS\" (did you mean \"DRAPEON_STIFFNESS\"?)"},
        {{"Sheet/Cloth.4711=10"}, "no parameter with the id \"4711\""},
        {{"Sheet.DRAPEON_STIFFNESS=10"}, "\"Sheet\" is a polygon object, which has no parameters"},
        {{"Sheet/Cloth.DRAPEON_CACHE_PATH=1"}, "only float and int32 parameters can be varied"},
        {{"Sheet/Cloth.DRAPEON_BEND=0.1,0.3"}, "is animated in the scene"},
        {{stiffness + "="}, "no values"},
        {{stiffness + "=10,,20"}, "an empty value"},
        {{stiffness + "=10,abc"}, "\"abc\" is not a finite number"},
        {{stiffness + "=1e999"}, "\"1e999\" is not a finite number"},
        {{stiffness + "=10:50"}, "is not a range A:B:COUNT"},
        {{stiffness + "=10:50:0"}, "is not a range A:B:COUNT"},
        {{stiffness + "=10:50:x"}, "is not a range A:B:COUNT"},
        {{stiffness + "=10,20,10"}, "the value 10 is given twice"},
        {{"Sheet/Cloth.DRAPEON_SETTLE_FRAME=2.5"}, "takes whole numbers"},
        {{"Sheet/Cloth.DRAPEON_SETTLE_FRAME=0:5:4"}, "takes whole numbers"},
        {{"Sheet/Cloth.DRAPEON_SETTLE_FRAME=1e10"}, "takes whole numbers"},
        {{stiffness + "=10", "Sheet/Cloth.1001=20"}, "the same parameter as --vary " + stiffness + "=10"},
    };
    for (const Case& c : cases) {
        std::string args = "wedge scenes/sheet.json --out w";
        for (const std::string& v : c.vary) args += " --vary '" + v + "'";
        const Result r = drapeon(args);
        EXPECT_EQ(r.status, 2) << args << "\n" << r.err;
        EXPECT_NE(r.err.find("--vary " + c.vary.back() + ": "), std::string::npos) << args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << args << "\n" << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "w")) << args;
    }
}
