#include "abort.h"

#include <atomic>

namespace {
std::atomic<bool> abortFlag{false};
}

void drRaiseAbort() { abortFlag.store(true); }
void drClearAbort() { abortFlag.store(false); }
bool drAbortRaised() { return abortFlag.load(); }
