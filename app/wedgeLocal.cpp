// The local scheduler: N variants at a time on this machine.
#include "progress.h"
#include "wedge.h"
#include "wedgeProcess.h"
#include "wedgeRun.h"

#include <chrono>
#include <csignal>
#include <iostream>
#include <map>
#include <sys/wait.h>

namespace fs = std::filesystem;

std::vector<std::string> wedgeTaskCommand(const WedgeRunSettings& settings, size_t k) {
    return {settings.program, "--plugins", settings.pluginDir, "wedge-task", settings.dir.string(), std::to_string(k),
            "--threads", std::to_string(settings.threads)};
}

std::string wedgeFailureText(const fs::path& dir, size_t k) {
    WedgeStatus status;
    readWedgeStatus(variantDir(dir, k), status);
    std::string text = "variant " + std::to_string(k) + " ";
    text += status.status.empty() || status.status == "running" ? "failed" : status.status;
    if (status.exitCode >= 0) text += " (exit status " + std::to_string(status.exitCode) + ")";
    if (!status.message.empty()) text += ": " + status.message;
    return text + "; log " + (variantDir(dir, k) / "run.log").string();
}

WedgeOutcome runWedgeLocal(const WedgeRunSettings& settings) {
    WedgeOutcome outcome;
    WedgeStopGuard stop;
    WedgeProgressLine line;
    std::map<pid_t, size_t> running;
    size_t next = 0, interrupted = 0;
    double runSeconds = 0.0;
    bool forwarded = false;
    const auto started = std::chrono::steady_clock::now();
    const size_t total = settings.variants.size();

    while (next < total || !running.empty()) {
        if (WedgeStopGuard::Requested() != 0 && !forwarded) {
            // The runs stop between two sub-steps and keep their complete frames
            for (const auto& [pid, k] : running) kill(pid, SIGINT);
            forwarded = true;
            outcome.stopped = true;
        }
        while (!outcome.stopped && next < total && running.size() < static_cast<size_t>(settings.jobs)) {
            const size_t k = settings.variants[next++];
            std::string error;
            const pid_t pid = startProcess(wedgeTaskCommand(settings, k), {}, false, error);
            if (pid < 0) {
                line.end();
                std::cerr << "drapeon wedge: variant " << k << ": " << error << "\n";
                ++outcome.failed;
                continue;
            }
            running[pid] = k;
        }
        int wstatus = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &wstatus, WNOHANG)) > 0) {
            const auto it = running.find(pid);
            if (it == running.end()) continue;
            const size_t k = it->second;
            running.erase(it);
            WedgeStatus status;
            readWedgeStatus(variantDir(settings.dir, k), status);
            if (status.status.empty() || status.status == "running") {
                // The task ended before it could record its run (killed early)
                status.status = outcome.stopped ? "interrupted" : "failed";
                status.message = WIFSIGNALED(wstatus) ? "the wedge task was killed by signal " +
                                                            std::to_string(WTERMSIG(wstatus))
                                                      : "the wedge task ended without a result";
                std::string ignored;
                writeWedgeStatus(variantDir(settings.dir, k), status, ignored);
            }
            runSeconds += status.seconds;
            if (variantFinished(variantDir(settings.dir, k), settings.files)) {
                ++outcome.done;
            } else if (status.status == "interrupted" && outcome.stopped) {
                ++interrupted;
            } else {
                ++outcome.failed;
                line.end();
                std::cerr << "drapeon wedge: " << wedgeFailureText(settings.dir, k) << "\n";
            }
        }

        const size_t ended = outcome.done + outcome.failed + interrupted;
        std::string counts = std::to_string(outcome.done) + " of " + std::to_string(total) + " variants done, " +
                             std::to_string(running.size()) + " running, " + std::to_string(outcome.failed) + " failed";
        if (outcome.stopped) counts += ", stopping";
        std::string text = "wedge: " + counts;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        text += ", " + Progress::duration(elapsed);
        if (ended > 0 && ended < total && !outcome.stopped) {
            const double perRun = runSeconds / double(ended);
            const double left = perRun * double(total - ended) / double(std::max(1, settings.jobs));
            text += ", about " + Progress::duration(left) + " left";
        }
        line.show(text, counts);
        if (next < total || !running.empty()) napSeconds(0.1);
    }
    line.end();
    return outcome;
}
