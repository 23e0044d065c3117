// One run per output: a run holds a lock file on its output folder and on
// each of its caches for as long as it writes them, so that a second run
// that would write the same files is refused instead of mixing its frames
// with the first one's.
#pragma once

#include <string>
#include <vector>

/// Locks taken with flock on files the run creates; they are released, and
/// the files removed, when the object goes (or when the process ends in any
/// way, since the system drops the locks of a closed file).
class RunLocks {
public:
    RunLocks() = default;
    ~RunLocks();
    RunLocks(const RunLocks&) = delete;
    RunLocks& operator=(const RunLocks&) = delete;

    /// Takes the lock file `file` without waiting. `what` names what it
    /// guards in messages ("the output folder out/sheet"), `elsewhere` how
    /// to write somewhere else ("give this run another --out"). False when
    /// another process holds it or it cannot be made; `error` then says which
    /// run holds it (its process id and command line) or what went wrong.
    /// Taking a file this object already holds succeeds.
    bool take(const std::string& file, const std::string& what, const std::string& elsewhere, std::string& error);

private:
    struct Held {
        std::string file;
        int fd;
    };
    std::vector<Held> held_;
};

/// The lock file of an output folder: "<folder>/.drapeon-run.lock".
std::string outputLockFile(const std::string& folder);
/// The lock file of a cache: "<base name>.lock", beside its frames.
std::string cacheLockFile(const std::string& base);
