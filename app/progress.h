// Progress of a run on standard error: a line that updates in place on a
// terminal, one plain line per frame otherwise (logs, pipes).
#pragma once

#include <cstdio>
#include <string>

class Progress {
public:
    /// Reports to `out`; `interactive` chooses the updating line.
    Progress(std::FILE* out, bool interactive) : out_(out), interactive_(interactive) {}
    /// A run of frames first..last begins.
    void begin(int first, int last);
    /// Frame `frame` took `seconds`.
    void frameDone(int frame, double seconds);
    /// Ends the updating line (before other messages are printed).
    void end();

    /// "1.5 s", "2 min 05 s", "1 h 02 min".
    static std::string duration(double seconds);

private:
    std::FILE* out_;
    bool interactive_;
    int first_ = 0, last_ = 0, done_ = 0;
    double total_ = 0.0;
    bool lineOpen_ = false;
};
