// Running the unfinished variants of a wedge: on this machine or as one
// job array of a batch scheduler. Both run every variant through the hidden
// command `drapeon wedge-task DIR K`, which records the run in
// DIR/<k>/status.json.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct WedgeRunSettings {
    std::filesystem::path dir;                 ///< absolute wedge folder
    std::vector<size_t> variants;              ///< the variants to run
    int jobs = 1;                              ///< runs at once (local)
    int threads = 1;                           ///< threads of each run
    std::string program;                       ///< absolute path of drapeon
    std::string pluginDir;                     ///< absolute plug-in folder
    std::vector<std::string> slurmOptions;     ///< passed to sbatch
    std::vector<std::string> files;            ///< files of a finished variant
};

struct WedgeOutcome {
    size_t done = 0, failed = 0;
    bool stopped = false;  ///< Ctrl-C: the runs were stopped
    bool error = false;    ///< the scheduler could not be used (message printed)
};

/// The command line of the task that runs variant k: the program, the
/// plug-in folder, "wedge-task", the folder, k (the sixth word) and the threads.
std::vector<std::string> wedgeTaskCommand(const WedgeRunSettings& settings, size_t k);

/// Runs the variants here, `jobs` at a time, with one line of progress.
WedgeOutcome runWedgeLocal(const WedgeRunSettings& settings);

/// Submits the variants as one Slurm job array and follows it until every
/// task has ended.
WedgeOutcome runWedgeSlurm(const WedgeRunSettings& settings);

/// "variant 3 failed: exit status 3 (...); log DIR/3/run.log"
std::string wedgeFailureText(const std::filesystem::path& dir, size_t k);
