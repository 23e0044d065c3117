// The drapeon program end to end: small scenes in a temporary folder, run
// with the built program and plug-in; exit statuses, messages and files.
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

/// A scene: a plane of n x n cells 100 units up, with a cloth object and a
/// gravity object under it. `cloth` and `gravity` are extra "params" entries.
std::string sheetScene(int n, int lastFrame, const std::string& cloth = "", const std::string& gravity = "") {
    return R"({"fps": 30, "frames": [0, )" + std::to_string(lastFrame) + R"(], "objects": [
      {"type": "polygon", "name": "Sheet", "position": [0, 100, 0],
       "mesh": {"plane": {"width": 200, "height": 200, "segments": )" + std::to_string(n) + R"(}},
       "tags": [{"type": "pointSelection", "name": "corner", "points": [0]}],
       "children": [{"type": "drapeon", "name": "Cloth", "params": {)" + cloth + R"(},
                     "children": [{"type": "drGravity", "params": {)" + gravity + R"(}},
                                  {"type": "drNail", "params": {"NAIL_POINTS": {"tag": "Sheet:corner"}}}]}]}]})";
}

class ProgramTest : public ProgramFolderTest {
protected:
    ProgramTest() : ProgramFolderTest("drapeon_program") {}
};

TEST_F(ProgramTest, RunWritesOneWorldSpaceObjPerFrameAndTheExports) {
    write("sheet.json", sheetScene(4, 90));
    const Result r = drapeon("run sheet.json --frames 2:4");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"Sheet.0002.obj", "Sheet.0003.obj", "Sheet.0004.obj", "Sheet.pc2", "sheet.glb"})
        EXPECT_TRUE(fs::exists(dir_ / "out/sheet" / name)) << name;
    EXPECT_FALSE(fs::exists(dir_ / "out/sheet/Sheet.0001.obj"));
    EXPECT_FALSE(fs::exists(dir_ / "out/sheet/Sheet.0005.obj"));
    EXPECT_NE(r.out.find("out/sheet"), std::string::npos) << r.out;
    // Frames 0 and 1 are simulated first (nothing written for them); one
    // plain progress line per frame off a terminal
    EXPECT_EQ(countLines(r.err, "frame "), 5) << r.err;

    const std::string obj = readFile(dir_ / "out/sheet/Sheet.0004.obj");
    EXPECT_EQ(countLines(obj, "v "), 25);
    EXPECT_EQ(countLines(obj, "f "), 16);
    // World space: the nailed corner stays at (-100, 100, -100), the rest has fallen
    std::istringstream in(obj.substr(obj.find("v ")));
    std::string v;
    double x, y, z;
    in >> v >> x >> y >> z;
    EXPECT_NEAR(x, -100.0, 1e-3);
    EXPECT_NEAR(y, 100.0, 1e-3);
    EXPECT_NEAR(z, -100.0, 1e-3);
    for (int i = 0; i < 24; ++i) in >> v >> x >> y >> z;
    EXPECT_LT(y, 99.0);
}

TEST_F(ProgramTest, ThreadCountsRepeatTheirResults) {
    // A cloth large enough for the passes to split over the workers
    write("big.json", sheetScene(60, 3));
    ASSERT_EQ(drapeon("run big.json --threads 1 --out one --export obj").status, 0);
    ASSERT_EQ(drapeon("run big.json --threads 2 --out two --export obj").status, 0);
    ASSERT_EQ(drapeon("run big.json --threads 2 --out again --export obj").status, 0);
    for (int frame = 0; frame <= 3; ++frame) {
        const std::string name = "Sheet.000" + std::to_string(frame) + ".obj";
        const std::string one = readFile(dir_ / "one" / name), two = readFile(dir_ / "two" / name);
        ASSERT_FALSE(one.empty()) << name;
        // The same worker count gives the same text
        EXPECT_TRUE(two == readFile(dir_ / "again" / name)) << name << " differs between two runs on 2 threads";
        // Another count splits the work otherwise and adds in the same order
        EXPECT_TRUE(one == two) << name << " differs between 1 and 2 threads";
    }
}

TEST_F(ProgramTest, BadInputExitsWith2AndWritesNothing) {
    struct Case {
        std::string scene;  ///< empty: no scene file written
        std::string args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"{\"objects\": [\n  {\"type\": }]}", "run s.json", "s.json:2:12: invalid JSON"},
        {R"({"objects": [{"type": "polygon", "name": "P", "children": [{"type": "drGravty"}]}]})", "run s.json",
         "did you mean \"drGravity\""},
        {R"({"objects": [{"type": "drapeon", "name": "C", "params": {"DRAPEON_STIFFNES": 3}}]})", "info s.json",
         "object \"C\": params.DRAPEON_STIFFNES"},
        {R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"obj": "none.obj"}}]})", "clear-cache s.json", "none.obj"},
        {"", "run missing.json", "missing.json: cannot open"},
        {sheetScene(2, 1), "run s.json --frames 5:1", "--frames 5:1"},
        {sheetScene(2, 1), "run s.json --threads 0", "--threads"},
        {sheetScene(2, 1), "run s.json --export obj,fbx", "fbx"},
        {"", "run", "scene"},
    };
    for (const Case& c : cases) {
        fs::remove(dir_ / "s.json");
        if (!c.scene.empty()) write("s.json", c.scene);
        const Result r = drapeon(c.args);
        EXPECT_EQ(r.status, 2) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "\"" << c.message << "\" in: " << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "out")) << c.args;
    }
}

TEST_F(ProgramTest, NonFinitePositionsExitWith3AndNameTheFrame) {
    write("wild.json", sheetScene(4, 10, "", R"("GRAVITY_STRENGTH": 1e37)"));
    const Result r = drapeon("run wild.json --export obj");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("became unstable at frame 1"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "out/wild/Sheet.0000.obj"));
    EXPECT_FALSE(fs::exists(dir_ / "out/wild/Sheet.0001.obj"));
}

TEST_F(ProgramTest, InterruptStopsWith130AndKeepsOnlyCompleteFrames) {
    write("long.json", sheetScene(120, 100000, R"("DRAPEON_CACHE_PATH": "cache/long_")"));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir_.c_str()) != 0) _exit(99);
        const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        dup2(out, 1);
        execl(DRAPEON_PROGRAM, DRAPEON_PROGRAM, "run", "long.json", "--export", "obj", static_cast<char*>(nullptr));
        _exit(98);
    }
    // Wait until a few frames are done, then press Ctrl-C
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (countLines(readFile(dir_ / "stderr.txt"), "frame ") < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGINT);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus)) << "the program died of a signal";
    EXPECT_EQ(WEXITSTATUS(wstatus), 130);

    const std::string err = readFile(dir_ / "stderr.txt");
    const size_t at = err.find("interrupted during frame ");
    ASSERT_NE(at, std::string::npos) << err;
    const int stopped = std::atoi(err.c_str() + at + 25);
    EXPECT_GE(stopped, 3);
    EXPECT_NE(err.find("frames 0 to " + std::to_string(stopped - 1) + " are complete"), std::string::npos) << err;
    // Complete frames are written; the interrupted one is neither an OBJ nor a cache file
    char name[64];
    std::snprintf(name, sizeof name, "%04d", stopped - 1);
    EXPECT_TRUE(fs::exists(dir_ / "out/long" / ("Sheet." + std::string(name) + ".obj")));
    EXPECT_TRUE(fs::exists(dir_ / "cache" / ("long_" + std::string(name))));
    std::snprintf(name, sizeof name, "%04d", stopped);
    EXPECT_FALSE(fs::exists(dir_ / "out/long" / ("Sheet." + std::string(name) + ".obj")));
    EXPECT_FALSE(fs::exists(dir_ / "cache" / ("long_" + std::string(name))));
}

TEST_F(ProgramTest, InfoShowsTheTreeParametersAndResolvedLinks) {
    write("sheet.json", sheetScene(2, 5, R"("DRAPEON_STIFFNESS": 12.5, "DRAPEON_CACHE_PATH": "c/s_")"));
    // The global option may follow the command
    const std::string plugins = (fs::path(DRAPEON_PROGRAM).parent_path() / "plugins").string();
    const Result r = drapeon("info sheet.json --plugins '" + plugins + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string& part :
         {std::string("frames 0 to 5"), std::string("Sheet  [polygon]  9 points, 4 polygons"),
          std::string("tag \"corner\": point selection of 1 points"), std::string("Cloth  [drapeon, id 1038077]"),
          std::string("DRAPEON_STIFFNESS (1001, float) = 12.5  [default 30]"),
          "DRAPEON_CACHE_PATH (1006, filename) = \"" + (dir_ / "c/s_").string() + "\"",
          std::string("NAIL_POINTS (1003, link) = tag \"Sheet:corner\""),
          std::string("Sheet/Cloth/Nail NAIL_POINTS (1003) -> Sheet:corner"), std::string("Simulated: \"Sheet\"")})
        EXPECT_NE(r.out.find(part), std::string::npos) << "\"" << part << "\" in:\n" << r.out;
    EXPECT_FALSE(fs::exists(dir_ / "c"));

    const Result missing = drapeon("info sheet.json --plugins nowhere");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read the plug-in folder nowhere"), std::string::npos) << missing.err;
}

TEST_F(ProgramTest, ClearCacheDeletesTheFramesOfEveryClothObject) {
    write("sheet.json", sheetScene(2, 3, R"("DRAPEON_CACHE_PATH": "cache/s_")"));
    ASSERT_EQ(drapeon("run sheet.json --export obj").status, 0);
    for (const char* f : {"s_0000", "s_0001", "s_0002", "s_0003"}) EXPECT_TRUE(fs::exists(dir_ / "cache" / f)) << f;
    write("cache/s_1000", "kept");
    const Result r = drapeon("clear-cache sheet.json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Sheet/Cloth"), std::string::npos) << r.out;
    for (const char* f : {"s_0000", "s_0001", "s_0002", "s_0003"}) EXPECT_FALSE(fs::exists(dir_ / "cache" / f)) << f;
    EXPECT_TRUE(fs::exists(dir_ / "cache/s_1000"));
}

TEST_F(ProgramTest, ScenesTheClothCannotUseExitWith2NamingTheObject) {
    // Each of these used to run: into an "unstable" report with advice about
    // stiffness and mass, or quietly doing something else than asked.
    const std::string other = R"(, {"type": "polygon", "name": "Other", "mesh": {"plane": {"segments": 1}},
                                   "tags": [{"type": "pointSelection", "name": "sel", "points": [0]}]})";
    auto withChild = [](const std::string& child, const std::string& more = "") {
        std::string scene = sheetScene(2, 1);
        scene.insert(scene.rfind("]}]}]}"), ", " + child);
        return scene.substr(0, scene.size() - 2) + more + "]}";
    };
    const struct {
        std::string scene;
        std::string message;
    } cases[] = {
        {sheetScene(2, 1, R"("DRAPEON_MASS": 0)"), "object \"Sheet/Cloth\": params.DRAPEON_MASS: 0 must be above 0"},
        {sheetScene(2, 1, R"("DRAPEON_MASS": -3)"), "params.DRAPEON_MASS: -3 must be above 0"},
        {R"({"objects": [{"type": "polygon", "name": "Dot", "mesh": {"points": [[1, 2, 3], [1, 2, 3]], "polygons": [[0, 1, 1]]},
             "children": [{"type": "drapeon", "name": "Cloth"}]}]})",
         "object \"Dot\": the cloth \"Dot/Cloth\" has no extent: its 2 points all lie at one place"},
        {R"({"objects": [{"type": "polygon", "name": "Sheet", "position": [0, 1e308, 0], "mesh": {"plane": {"segments": 2}},
             "children": [{"type": "drapeon"}]}]})",
         "object \"Sheet\": \"position\"[1]: 1e+308 is beyond the range of 32-bit floats"},
        {R"({"objects": [{"type": "polygon", "name": "Sheet", "mesh": {"plane": {"segments": 2}},
             "children": [{"type": "drapeon", "name": "A"}, {"type": "drapeon", "name": "B"}]}]})",
         "object \"Sheet\" has 2 cloth objects under it (\"Sheet/A\" and \"Sheet/B\")"},
        {withChild(R"({"type": "drNail", "name": "Far", "params": {"NAIL_POINTS": {"tag": "Other:sel"}}})", other),
         "object \"Sheet/Cloth/Far\": params.NAIL_POINTS: the tag \"Other:sel\" belongs to \"Other\", not to the cloth's mesh \"Sheet\""},
        {withChild(R"({"type": "drPin", "name": "Far", "params": {"PIN_POINTS": {"tag": "Other:sel"}, "PIN_TARGET": {"object": "Other"}}})", other),
         "params.PIN_POINTS: the tag \"Other:sel\" belongs to \"Other\""},
    };
    for (const auto& c : cases) {
        write("s.json", c.scene);
        const Result r = drapeon("run s.json --export obj");
        EXPECT_EQ(r.status, 2) << c.scene << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("drapeon: s.json: object \"", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << "\"" << c.message << "\" in: " << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "out"));
    }
}

TEST_F(ProgramTest, LinksThatDoNothingAndCappedCountsAreWarnedAboutOnce) {
    std::string scene = sheetScene(2, 1);
    scene.insert(scene.rfind("]}]}]}"), R"(, {"type": "drPin", "name": "Pin", "params": {"PIN_POINTS": {"tag": "Sheet:corner"}}},
        {"type": "drCollideMesh", "name": "Mesh"},
        {"type": "drSew", "name": "Seam", "params": {"SEW_POINTS": {"tag": "Sheet:corner"}, "SEW_COUNT": 2000000000}})");
    write("s.json", scene);
    const Result r = drapeon("run s.json --export obj");
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& part :
         {std::string("warning: s.json: object \"Sheet/Cloth/Pin\": PIN_TARGET is empty"),
          std::string("warning: s.json: object \"Sheet/Cloth/Mesh\": MESH_OBJECT is empty"),
          std::string("warning: s.json: object \"Sheet/Cloth/Seam\": SEW_COUNT asks for 2000000000 stitches, more than "
                      "the 9 points of \"Sheet\" can take; it makes 9 at most")}) {
        const size_t at = r.err.find(part);
        EXPECT_NE(at, std::string::npos) << "\"" << part << "\" in: " << r.err;
        EXPECT_EQ(r.err.find(part, at + 1), std::string::npos) << "twice: " << part;
    }
}

TEST_F(ProgramTest, NamesWithControlCharactersAreShownEscaped) {
    write("s.json", R"({"objects": [{"type": "polygon", "name": "A\u001b[2J\u0007\nB\u009b",
                                      "tags": [{"type": "pointSelection", "name": "t\u001b"}]}]})");
    const Result r = drapeon("info s.json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("A\\x1b[2J\\x07\\nB\\u009b  [polygon]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tag \"t\\x1b\""), std::string::npos) << r.out;
    for (const char c : r.out) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
    EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos);

    // Messages quote names the same way
    write("s.json", R"({"objects": [{"type": "null", "name": "A\u001b[2J", "params": {"x": 1}}]})");
    const Result bad = drapeon("info s.json");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("object \"A\\x1b[2J\""), std::string::npos) << bad.err;
    EXPECT_EQ(bad.err.find('\x1b'), std::string::npos) << bad.err;
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// (Sanitizers reserve more address space than the limit allows.)
TEST_F(ProgramTest, ThreadsTheSystemRefusesLeaveARunOnThoseThatStarted) {
    // A gigabyte of address space holds the stacks of about a hundred threads.
    // The run used to report a plug-in failure and then hang in the pool's stop.
    write("s.json", sheetScene(4, 2));
    const std::string command = "cd '" + dir_.string() + "' && ulimit -v 1000000 && timeout 60 '" DRAPEON_PROGRAM
                                "' run s.json --threads 1000 --export obj >stdout.txt 2>stderr.txt";
    const int rc = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 0) << readFile(dir_ / "stderr.txt");
    const std::string err = readFile(dir_ / "stderr.txt");
    EXPECT_NE(err.find("threads could start ("), std::string::npos) << err;
    EXPECT_NE(err.find("of the 1000 threads"), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(dir_ / "out/s/Sheet.0002.obj"));
}
#endif

TEST_F(ProgramTest, ShippedScenesRun) {
    for (const fs::directory_entry& e : fs::directory_iterator(DRAPEON_SCENES)) {
        if (e.path().extension() != ".json") continue;
        const Result r = drapeon("run '" + e.path().string() + "' --frames 0:3 --out shipped --export obj");
        EXPECT_EQ(r.status, 0) << e.path() << ": " << r.err;
    }
}

}  // namespace

/// A top-level plane named `name` (a JSON string's content) with a cloth
/// object under it.
std::string clothObject(const std::string& name) {
    return R"({"type": "polygon", "name": ")" + name + R"(",
       "mesh": {"plane": {"width": 10, "height": 10, "segments": 2}},
       "children": [{"type": "drapeon", "children": [{"type": "drGravity"}]}]})";
}

TEST_F(ProgramTest, EveryObjectGetsItsOwnVisibleFilesAndTheRunSaysWhich) {
    // Names that clash once made file-safe, that would hide the files or
    // not be file names at all, and one too long for a file name; all
    // decided before any frame is simulated.
    const std::string longName(5000, 'x');
    std::vector<std::pair<std::string, std::string>> cases = {
        {"a:b", "a_b"}, {"a_b", "a_b_2"}, {".", "object"}, {"..", "object_2"},
        {"...", "object_3"}, {".hidden", "_hidden"}, {longName, ""}};
    std::string objects;
    for (const auto& [name, stem] : cases) objects += (objects.empty() ? "" : ",") + clothObject(name);
    write("names.json", R"({"fps": 30, "frames": [0, 1], "objects": [)" + objects + "]}");
    const Result r = drapeon("run names.json --export obj,pc2");
    ASSERT_EQ(r.status, 0) << r.err.substr(0, 3000);

    const fs::path out = dir_ / "out/names";
    for (const auto& e : fs::directory_iterator(out))
        if (e.path().filename().string().rfind("xxxx", 0) == 0) cases.back().second = e.path().stem().stem().string();
    ASSERT_GT(cases.back().second.size(), 100u);
    for (const auto& [name, stem] : cases) {
        for (const std::string& file : {stem + ".0000.obj", stem + ".0001.obj", stem + ".pc2", stem + ".rest.obj"})
            EXPECT_TRUE(fs::exists(out / file)) << file.substr(0, 80);
        // The object's own files hold the object
        const std::string obj = readFile(out / (stem + ".0001.obj"));
        EXPECT_EQ(obj.rfind("o " + name + "\n", 0), 0u) << stem.substr(0, 80);
        if (name != stem) {
            EXPECT_NE(r.err.find("are named " + stem + ".*"), std::string::npos) << r.err.substr(0, 3000);
        }
    }
    EXPECT_NE(r.err.find("too long for a file name"), std::string::npos);
    EXPECT_EQ(r.err.find(longName), std::string::npos) << "a long name is shortened in messages";
    size_t count = 0;
    for (const auto& e : fs::directory_iterator(out)) {
        const std::string file = e.path().filename().string();
        EXPECT_NE(file[0], '.') << file;
        EXPECT_LE(file.size(), size_t(NAME_MAX));
        ++count;
    }
    EXPECT_EQ(count, cases.size() * 4 + 1);  // and the viewer data
}

TEST_F(ProgramTest, WritesNeverFollowSymbolicLinks) {
    write("sheet.json", sheetScene(4, 3));
    write("victim.txt", "keep me");
    const fs::path out = dir_ / "out/sheet";
    fs::create_directories(out);
    // A link where a temporary file used to go, a final name that is a
    // link, and a dangling link pointing out of the folder.
    fs::create_symlink(dir_ / "victim.txt", out / "Sheet.0003.obj.partial");
    fs::create_symlink(dir_ / "victim.txt", out / "Sheet.0002.obj");
    fs::create_symlink(dir_ / "elsewhere/created", out / "Sheet.pc2");
    const Result r = drapeon("run sheet.json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir_ / "victim.txt"), "keep me");
    EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
    for (const char* name : {"Sheet.0002.obj", "Sheet.0003.obj", "Sheet.pc2"}) {
        EXPECT_FALSE(fs::is_symlink(out / name)) << name;
        EXPECT_GT(fs::file_size(out / name), 0u) << name;
    }
    EXPECT_EQ(readFile(out / "Sheet.0002.obj").rfind("o Sheet\n", 0), 0u);
    for (const auto& e : fs::directory_iterator(out))
        EXPECT_EQ(e.path().filename().string().find(".partial."), std::string::npos) << e.path();
}

TEST_F(ProgramTest, ARunThatCannotFitInMemoryIsRefusedBeforeItStarts) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit this test sets";
#endif
    // A million frames of a glTF animation need more than the 1 GB this
    // process may take.
    write("long.json", sheetScene(4, 1000000));
    const Result r = drapeon("run long.json --export glb --threads 1", "ulimit -v 1000000 && ");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("this run needs about 3.8 GB of memory and 977 MB are available"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out")) << "nothing is written";

    // Without the glTF file, memory does not grow with the frames: the
    // same run starts (stopped after its first frames by --frames).
    const Result small = drapeon("run long.json --export pc2 --threads 1 --frames 0:2", "ulimit -v 1000000 && ");
    EXPECT_EQ(small.status, 0) << small.err;
}
