#include "runLock.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// This process as "pid 123: drapeon run scene.json", for the holder's file.
std::string thisRun() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string command, argument;
    while (std::getline(in, argument, '\0')) {
        if (!command.empty()) command += ' ';
        command += argument;
    }
    if (command.empty()) command = "drapeon";
    return "pid " + std::to_string(::getpid()) + ": " + command;
}

/// What the holder wrote into the lock file, on one line; a holder that has
/// not written yet gives a general text.
std::string holderOf(int fd) {
    char text[512];
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    std::string holder = got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string();
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\r')) holder.pop_back();
    for (char& c : holder)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return holder.empty() ? "another drapeon run" : holder;
}

}  // namespace

std::string outputLockFile(const std::string& folder) { return folder + "/.drapeon-run.lock"; }

std::string cacheLockFile(const std::string& base) { return base + ".lock"; }

bool RunLocks::take(const std::string& file, const std::string& what, const std::string& elsewhere,
                    std::string& error) {
    for (const Held& h : held_)
        if (h.file == file) return true;
    // The holder removes the file before it lets go of the lock, so a lock
    // won on a file that is no longer the one at that name is worthless:
    // try again with the new file.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = "cannot create the lock file " + file + " of " + what + ": " + std::strerror(errno);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int reason = errno;
            if (reason == EWOULDBLOCK)
                error = what + " is being written by another run (" + holderOf(fd) +
                        "); wait for it to end, or " + elsewhere;
            else
                error = "cannot lock " + file + " of " + what + ": " + std::strerror(reason);
            ::close(fd);
            return false;
        }
        struct stat opened {}, named {};
        if (::fstat(fd, &opened) != 0 || ::lstat(file.c_str(), &named) != 0 || opened.st_dev != named.st_dev ||
            opened.st_ino != named.st_ino) {
            ::close(fd);
            continue;
        }
        const std::string holder = thisRun() + "\n";
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, holder.data(), holder.size(), 0) < 0) {
            // The lock holds all the same; only the other run's message is poorer
        }
        held_.push_back({file, fd});
        return true;
    }
    error = "cannot lock " + file + " of " + what + ": it keeps being replaced";
    return false;
}

RunLocks::~RunLocks() {
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
        ::unlink(it->file.c_str());
        ::close(it->fd);
    }
}
