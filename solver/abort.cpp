#include "abort.h"

#include <atomic>

namespace {
std::atomic<bool> abortFlag{false};
std::atomic<bool> cutShort{false};
}

void drRaiseAbort() { abortFlag.store(true); }
void drClearAbort() {
    abortFlag.store(false);
    cutShort.store(false);
}
bool drAbortRaised() { return abortFlag.load(); }
void drNoteCutShort() { cutShort.store(true); }
bool drCutShort() { return cutShort.load(); }
