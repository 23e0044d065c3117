// The Slurm scheduler: one job array (sbatch --array), one task per variant
// to run, followed with squeue (and sacct where the cluster keeps
// accounting) until every task has ended. The wedge folder must be shared
// between the submitting machine and the compute nodes, as clusters do;
// every path handed to the tasks is absolute.
#include "wedge.h"
#include "wedgeProcess.h"
#include "wedgeRun.h"

#include "fileWrite.h"

#include <ctime>
#include <iostream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

constexpr double kPollSeconds = 2.0;
/// Polls a task may be gone from the queue without a final status before it
/// counts as failed: its status file may reach a shared folder late.
constexpr int kGraceAfterQueue = 3;

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string firstLine(const std::string& text) {
    const size_t end = text.find_first_of("\r\n");
    std::string line = text.substr(0, end);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
    return line;
}

/// The place of the variant number in wedgeTaskCommand.
constexpr size_t kVariantWord = 5;

enum class TaskState { Pending, Running, Done, Failed };

}  // namespace

WedgeOutcome runWedgeSlurm(const WedgeRunSettings& settings) {
    WedgeOutcome outcome;
    const fs::path slurmDir = settings.dir / "slurm";
    std::error_code ec;
    fs::create_directories(slurmDir, ec);
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);

    // The task list and the batch script: task i runs the variant on line i + 1
    std::string list;
    for (const size_t k : settings.variants) list += std::to_string(k) + "\n";
    const fs::path listFile = slurmDir / (std::string("tasks-") + stamp + ".txt");
    const fs::path script = slurmDir / (std::string("array-") + stamp + ".sh");
    std::string command;
    const std::vector<std::string> words = wedgeTaskCommand(settings, 0);
    for (size_t i = 0; i < words.size(); ++i)
        command += (i == 0 ? "" : " ") + (i == kVariantWord ? std::string("\"$k\"") : shellQuoted(words[i]));
    const std::string text = "#!/bin/sh\n# One task of a drapeon wedge: runs the variant on line SLURM_ARRAY_TASK_ID + 1 of\n# " +
                             listFile.string() + "\nk=$(sed -n \"$((SLURM_ARRAY_TASK_ID + 1))p\" " +
                             shellQuoted(listFile.string()) + ")\nexec " + command + "\n";
    std::string error;
    if (!writeFileAtomically(listFile, {list}, error) || !writeFileAtomically(script, {text}, error)) {
        std::cerr << "drapeon wedge: " << error << "\n";
        outcome.error = true;
        return outcome;
    }
    // An earlier attempt's status must not be taken for this one's
    for (const size_t k : settings.variants) fs::remove(variantDir(settings.dir, k) / "status.json", ec);

    std::vector<std::string> sbatch = {"sbatch", "--parsable",
                                       "--array=0-" + std::to_string(settings.variants.size() - 1),
                                       "--job-name=drapeon-wedge",
                                       "--output=" + (slurmDir / "task-%A_%a.log").string(),
                                       "--chdir=" + settings.dir.string()};
    bool cpusGiven = false;
    for (const std::string& o : settings.slurmOptions)
        cpusGiven = cpusGiven || o.rfind("--cpus-per-task", 0) == 0 || o.rfind("-c", 0) == 0;
    if (!cpusGiven) sbatch.push_back("--cpus-per-task=" + std::to_string(settings.threads));
    sbatch.insert(sbatch.end(), settings.slurmOptions.begin(), settings.slurmOptions.end());
    sbatch.push_back(script.string());
    std::string output;
    const int rc = captureProcess(sbatch, output, error);
    if (rc != 0) {
        if (rc < 0)
            std::cerr << "drapeon wedge: " << error
                      << "; --scheduler slurm needs Slurm's commands (sbatch, squeue) on the PATH\n";
        else
            std::cerr << "drapeon wedge: sbatch refused the job array (exit status " << rc << "): " << firstLine(output)
                      << "\n";
        outcome.error = true;
        return outcome;
    }
    const std::string job = firstLine(output).substr(0, firstLine(output).find(';'));
    if (job.empty() || job.find_first_not_of("0123456789") != std::string::npos) {
        std::cerr << "drapeon wedge: sbatch did not give a job id (it said \"" << firstLine(output) << "\")\n";
        outcome.error = true;
        return outcome;
    }
    std::cerr << "drapeon wedge: submitted Slurm job array " << job << " (" << settings.variants.size()
              << " tasks); Slurm's logs go to " << slurmDir.string() << "\n";

    std::string ignored;
    const bool accounting = captureProcess({"sacct", "-n", "-X", "-j", job, "-o", "State"}, ignored, ignored) == 0;

    const size_t count = settings.variants.size();
    std::vector<TaskState> state(count, TaskState::Pending);
    std::vector<int> goneFor(count, 0);
    WedgeStopGuard stop;
    WedgeProgressLine line;
    bool cancelled = false, warned = false;
    const auto slurmLog = [&](size_t i) { return slurmDir / ("task-" + job + "_" + std::to_string(i) + ".log"); };
    for (;;) {
        if (WedgeStopGuard::Requested() != 0 && !cancelled) {
            line.end();
            std::cerr << "drapeon wedge: stopping; cancelling job array " << job << "\n";
            captureProcess({"scancel", job}, ignored, ignored);
            cancelled = true;
            outcome.stopped = true;
        }
        std::string queue;
        const int q = captureProcess({"squeue", "-h", "-r", "-j", job, "-o", "%K %t"}, queue, error);
        std::map<size_t, std::string> queued;
        if (q != 0 && queue.find("Invalid job id") == std::string::npos) {
            // The controller may be busy or restarting: try again
            if (!warned) {
                line.end();
                std::cerr << "drapeon wedge: squeue failed (" << (q < 0 ? error : firstLine(queue))
                          << "); trying again\n";
                warned = true;
            }
            napSeconds(kPollSeconds);
            continue;
        }
        warned = false;
        if (q == 0) {
            std::istringstream in(queue);
            for (std::string index, code; in >> index >> code;)
                if (index.find_first_not_of("0123456789") == std::string::npos) queued[std::stoul(index)] = code;
        }
        size_t pending = 0, running = 0, ended = 0;
        for (size_t i = 0; i < count; ++i) {
            if (state[i] == TaskState::Done || state[i] == TaskState::Failed) {
                ++ended;
                continue;
            }
            const size_t k = settings.variants[i];
            const auto it = queued.find(i);
            if (it != queued.end()) {
                state[i] = it->second == "PD" ? TaskState::Pending : TaskState::Running;
                (state[i] == TaskState::Pending ? pending : running) += 1;
                continue;
            }
            WedgeStatus status;
            readWedgeStatus(variantDir(settings.dir, k), status);
            const bool final = !status.status.empty() && status.status != "running";
            if (final && variantFinished(variantDir(settings.dir, k), settings.files)) {
                state[i] = TaskState::Done;
            } else if (final || ++goneFor[i] > kGraceAfterQueue) {
                state[i] = TaskState::Failed;
                if (!final) {
                    // Killed before it could say how it went (cancelled while
                    // pending, out of time, node lost): record it for the summary
                    std::string how = "the Slurm task ended without a result";
                    std::string sacct;
                    if (accounting &&
                        captureProcess({"sacct", "-n", "-X", "-P", "-j", job + "_" + std::to_string(i), "-o", "State"},
                                       sacct, ignored) == 0 &&
                        !firstLine(sacct).empty())
                        how += " (" + firstLine(sacct) + ")";
                    status.status = "failed";
                    status.message = how;
                    writeWedgeStatus(variantDir(settings.dir, k), status, ignored);
                }
                line.end();
                std::cerr << "drapeon wedge: " << wedgeFailureText(settings.dir, k) << " and " << slurmLog(i).string()
                          << "\n";
            } else {
                ++running;  // gone from the queue; its status is on its way
                continue;
            }
            ++ended;
            (state[i] == TaskState::Done ? outcome.done : outcome.failed) += 1;
        }
        const std::string counts = "slurm job " + job + ": " + std::to_string(pending) + " pending, " +
                                   std::to_string(running) + " running, " + std::to_string(outcome.done) + " done, " +
                                   std::to_string(outcome.failed) + " failed";
        line.show(counts, counts);
        if (ended == count) break;
        napSeconds(kPollSeconds);
    }
    line.end();
    return outcome;
}
