// The signals that stop a run: Ctrl-C (SIGINT), SIGTERM (what kill, service
// managers and cluster schedulers send before they kill at a time limit)
// and SIGHUP (the terminal went away). Each one only raises the abort flag:
// the solver stops between two sub-steps, the frames complete so far are
// kept and exported, and the run ends with 128 plus the signal's number.
#pragma once

/// Installs the handlers for the lifetime of the object and restores the
/// earlier ones when it goes.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    /// The first stop signal received, or 0.
    static int received();
    /// The exit status for the signal received: 128 plus its number (130
    /// for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP); 130 when the abort
    /// flag was raised without a signal.
    static int exitStatus();
    /// How the run ended, for its last message: "interrupted" (Ctrl-C, or
    /// the abort flag alone), "stopped by SIGTERM" or "stopped by SIGHUP".
    static const char* stoppedText();
};
