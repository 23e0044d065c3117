// The fixture of the program tests: every test gets a folder of its own in
// which it writes scene files, runs the built drapeon program and reads back
// what it printed and wrote. Test files that include this define
// DRAPEON_PROGRAM (tests/app/CMakeLists.txt does).
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The lines of `text` that start with `prefix`.
inline int countLines(const std::string& text, const std::string& prefix) {
    int n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) ++n;
    return n;
}

/// How a run of the program ended and what it printed.
struct Result {
    int status = -1;  ///< exit status; -1 when a signal ended it
    std::string out, err;
};

class ProgramFolderTest : public ::testing::Test {
protected:
    /// `prefix` names the test file's folders: "<prefix>_<pid>_<test>".
    explicit ProgramFolderTest(std::string prefix) : prefix_(std::move(prefix)) {}

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() / (prefix_ + "_" + std::to_string(::getpid()) + "_" + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void write(const std::string& name, const std::string& text) {
        std::filesystem::create_directories((dir_ / name).parent_path());
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }

    /// Runs the program in the test's folder with standard output and error
    /// captured, after the shell commands `before` ("ulimit -v 100000 && ").
    Result drapeon(const std::string& args, const std::string& before = "") {
        const std::string command =
            "cd '" + dir_.string() + "' && " + before + "'" DRAPEON_PROGRAM "' " + args + " >stdout.txt 2>stderr.txt";
        const int rc = std::system(command.c_str());
        Result r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = readFile(dir_ / "stdout.txt");
        r.err = readFile(dir_ / "stderr.txt");
        return r;
    }

    std::filesystem::path dir_;

private:
    std::string prefix_;
};
