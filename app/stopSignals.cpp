#include "stopSignals.h"

#include "abort.h"

#include <csignal>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[3];
volatile std::sig_atomic_t firstSignal = 0;

extern "C" void onStopSignal(int signal) {
    if (firstSignal == 0) firstSignal = signal;
    drRaiseAbort();
}

}  // namespace

StopSignals::StopSignals() {
    firstSignal = 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int k = 0; k < 3; ++k) sigaction(kStopSignals[k], &action, &previous[k]);
}

StopSignals::~StopSignals() {
    for (int k = 0; k < 3; ++k) sigaction(kStopSignals[k], &previous[k], nullptr);
}

int StopSignals::received() { return firstSignal; }

int StopSignals::exitStatus() { return firstSignal != 0 ? 128 + firstSignal : 128 + SIGINT; }

const char* StopSignals::stoppedText() {
    switch (firstSignal) {
        case SIGTERM: return "stopped by SIGTERM";
        case SIGHUP: return "stopped by SIGHUP";
        default: return "interrupted";
    }
}
