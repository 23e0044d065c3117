// Starting and following the processes of a wedge: the runs of its
// variants and the scheduler's commands.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

/// The absolute path of the running program.
std::string selfProgram();

/// The machine's host name.
std::string hostName();

/// Starts argv[0] (a path, or a name searched on PATH) with `argv`, standard
/// input from /dev/null and standard output and error into `log` (created;
/// appended to when `append`), or the caller's when `log` is empty. Returns
/// the process id, or -1 with `error` set.
pid_t startProcess(const std::vector<std::string>& argv, const std::filesystem::path& log, bool append,
                   std::string& error);

/// Runs argv (searched on PATH), waits for it and returns its exit status
/// with its standard output (and standard error) in `output`; -1 with
/// `error` when it cannot start.
int captureProcess(const std::vector<std::string>& argv, std::string& output, std::string& error);

/// Ctrl-C (SIGINT) and SIGTERM while installed set a flag instead of ending
/// the program, so the wedge can stop its runs and write what it has.
class WedgeStopGuard {
public:
    WedgeStopGuard();
    ~WedgeStopGuard();
    WedgeStopGuard(const WedgeStopGuard&) = delete;
    WedgeStopGuard& operator=(const WedgeStopGuard&) = delete;
    /// The signal that asked to stop (SIGINT or SIGTERM), 0 while none did.
    static int Requested();
};

/// Sleeps `seconds`, or less when a signal arrives.
void napSeconds(double seconds);

/// A line of progress on standard error that updates in place on a
/// terminal; elsewhere (logs) it is printed again only when `key` (the
/// counts, not the clock) changes.
class WedgeProgressLine {
public:
    WedgeProgressLine();
    void show(const std::string& line, const std::string& key);
    /// Ends the updating line before another message is printed.
    void end();

private:
    bool interactive_;
    bool open_ = false;
    std::string last_;
};
