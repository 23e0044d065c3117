#include "wedgeProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

std::string selfProgram() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("drapeon") : exe.string();
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "?";
    return name;
}

namespace {

std::vector<char*> argvOf(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const std::string& a : argv) out.push_back(const_cast<char*>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

/// Spawn attributes: signals back to their defaults and none blocked, so a
/// child may be stopped with Ctrl-C whatever its parent does with it.
struct SpawnAttributes {
    posix_spawnattr_t attr;
    SpawnAttributes() {
        posix_spawnattr_init(&attr);
        sigset_t defaults, none;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGPIPE);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
};

struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

pid_t spawn(const std::vector<std::string>& argv, FileActions& files, std::string& error) {
    SpawnAttributes attributes;
    std::vector<char*> args = argvOf(argv);
    pid_t pid = -1;
    const bool path = argv[0].find('/') != std::string::npos;
    const int rc = path ? posix_spawn(&pid, args[0], &files.actions, &attributes.attr, args.data(), environ)
                        : posix_spawnp(&pid, args[0], &files.actions, &attributes.attr, args.data(), environ);
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    return pid;
}

}  // namespace

pid_t startProcess(const std::vector<std::string>& argv, const fs::path& log, bool append, std::string& error) {
    FileActions files;
    posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!log.empty()) {
        // Checked here: the child could only report a failure by its exit status
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
        if (fd < 0) {
            error = "cannot create " + log.string() + ": " + std::strerror(errno);
            return -1;
        }
        close(fd);
        posix_spawn_file_actions_addopen(&files.actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&files.actions, STDOUT_FILENO, STDERR_FILENO);
    }
    return spawn(argv, files, error);
}

int captureProcess(const std::vector<std::string>& argv, std::string& output, std::string& error) {
    output.clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return -1;
    }
    FileActions files;
    posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files.actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&files.actions, fds[1], STDERR_FILENO);
    const pid_t pid = spawn(argv, files, error);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) output.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

namespace {

volatile std::sig_atomic_t gStopSignal = 0;

extern "C" void onWedgeStop(int signal) { gStopSignal = signal; }

struct sigaction gPreviousInt {}, gPreviousTerm {};

}  // namespace

WedgeStopGuard::WedgeStopGuard() {
    gStopSignal = 0;
    struct sigaction action {};
    action.sa_handler = onWedgeStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &gPreviousInt);
    sigaction(SIGTERM, &action, &gPreviousTerm);
}

WedgeStopGuard::~WedgeStopGuard() {
    sigaction(SIGINT, &gPreviousInt, nullptr);
    sigaction(SIGTERM, &gPreviousTerm, nullptr);
}

int WedgeStopGuard::Requested() { return gStopSignal; }

void napSeconds(double seconds) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - double(t.tv_sec)) * 1e9);
    nanosleep(&t, nullptr);
}

WedgeProgressLine::WedgeProgressLine() : interactive_(isatty(STDERR_FILENO) == 1) {}

void WedgeProgressLine::show(const std::string& line, const std::string& key) {
    if (interactive_) {
        std::cerr << "\r\033[K" << line << std::flush;
        open_ = true;
    } else if (key != last_) {
        std::cerr << line << "\n" << std::flush;
    }
    last_ = key;
}

void WedgeProgressLine::end() {
    if (open_) std::cerr << "\n" << std::flush;
    open_ = false;
}
