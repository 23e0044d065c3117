#include "progress.h"

#include <cmath>

void Progress::begin(int first, int last) {
    first_ = first;
    last_ = last;
    done_ = 0;
    total_ = 0.0;
}

std::string Progress::duration(double seconds) {
    char text[64];
    if (!(seconds >= 0.0)) seconds = 0.0;
    if (seconds < 60.0) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else if (seconds < 3600.0) {
        const long s = std::lround(seconds);
        std::snprintf(text, sizeof text, "%ld min %02ld s", s / 60, s % 60);
    } else {
        const long m = std::lround(seconds / 60.0);
        std::snprintf(text, sizeof text, "%ld h %02ld min", m / 60, m % 60);
    }
    return text;
}

void Progress::frameDone(int frame, double seconds) {
    ++done_;
    total_ += seconds;
    const int count = last_ - first_ + 1;
    const double left = total_ / done_ * (count - done_);
    if (interactive_) {
        std::fprintf(out_, "\r\033[Kframe %d (%d of %d)  %.3f s/frame  about %s left", frame, done_, count,
                     total_ / done_, duration(left).c_str());
        lineOpen_ = true;
    } else {
        std::fprintf(out_, "frame %d (%d of %d) %.3f s, about %s left\n", frame, done_, count, seconds,
                     duration(left).c_str());
    }
    std::fflush(out_);
}

void Progress::end() {
    if (lineOpen_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        lineOpen_ = false;
    }
}
