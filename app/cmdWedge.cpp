// `drapeon wedge SCENE --vary PATH.PARAM=V1,V2 ... --out DIR`: runs the scene
// once for every combination of the values, here or on a Slurm cluster, and
// sums the results up in DIR/summary.csv and DIR/index.html.
//
// `drapeon wedge-task DIR K` (hidden) runs variant K: drapeon run on its
// scene, then drapeon view, and records how it went in DIR/<k>/status.json.
// The local scheduler and the Slurm job array both run it, so every variant
// is recorded the same way wherever it ran.
#include "sceneCommands.h"
#include "wedge.h"
#include "wedgeProcess.h"
#include "wedgeRun.h"

#include "fileWrite.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

struct WedgeOptions {
    std::string scene;
    std::vector<std::string> vary;
    std::string out;
    int jobs = 0;     ///< 0: processors / threads
    int threads = 1;
    std::string scheduler = "local";
    std::vector<std::string> slurmOptions;
    std::string summary;  ///< --summary DIR: only rebuild the summary
};

constexpr size_t kMaxVariants = 100000;

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int summarize(const fs::path& dir) {
    std::string error;
    if (!writeWedgeSummary(dir, selfProgram(), error)) {
        std::cerr << "drapeon wedge: " << error << "\n";
        return kExitFailure;
    }
    std::cout << "Summary: " << (dir / "summary.csv").string() << "\nContact sheet: " << (dir / "index.html").string()
              << "\n";
    return kExitOk;
}

/// The wedge file's description of the varied parameters; a second wedge
/// into the same folder must give the same ones.
json varyJson(const std::vector<WedgeAxis>& axes) {
    json vary = json::array();
    for (const WedgeAxis& a : axes)
        vary.push_back({{"option", a.option}, {"object", a.objectPath}, {"parameter", a.parameterName},
                        {"id", a.parameterId}, {"integer", a.integer}, {"values", a.values}});
    return vary;
}

bool sameVariants(const json& stored, const json& fresh) {
    if (!stored.is_array() || stored.size() != fresh.size()) return false;
    for (size_t i = 0; i < fresh.size(); ++i) {
        const json& s = stored[i];
        if (!s.is_object() || s.value("object", "") != fresh[i]["object"] || s.value("id", -1) != fresh[i]["id"] ||
            !s.contains("values") || s["values"] != fresh[i]["values"])
            return false;
    }
    return true;
}

int wedge(WedgeOptions options, AppContext& context) {
    if (!options.summary.empty()) return summarize(fs::absolute(options.summary).lexically_normal());
    if (options.scene.empty() || options.vary.empty() || options.out.empty()) {
        std::cerr << "drapeon wedge: give a scene, at least one --vary and --out DIR (or --summary DIR); see "
                     "drapeon wedge --help\n";
        return kExitBadInput;
    }
    if (options.scheduler == "local" && !options.slurmOptions.empty()) {
        std::cerr << "drapeon wedge: --slurm-option needs --scheduler slurm\n";
        return kExitBadInput;
    }
    const fs::path dir = fs::absolute(options.out).lexically_normal();
    WedgeRunSettings settings;
    settings.dir = dir;
    settings.threads = options.threads;
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    settings.jobs = options.jobs > 0 ? options.jobs : std::max(1, int(processors) / options.threads);
    settings.program = selfProgram();
    settings.pluginDir = fs::absolute(context.pluginDir).lexically_normal().string();
    for (std::string o : options.slurmOptions) settings.slurmOptions.push_back(o.rfind('-', 0) == 0 ? o : "--" + o);

    size_t count = 0;
    {
        SceneSession session;
        if (const int status = openScene(context, options.scene, session); status != kExitOk) return status;
        const Scene& scene = session.scene;
        const json root = json::parse(readText(options.scene), nullptr, false);
        std::vector<WedgeAxis> axes;
        std::string error;
        if (root.is_discarded() || !resolveAxes(options.vary, scene, root, axes, error)) {
            std::cerr << "drapeon wedge: " << (root.is_discarded() ? options.scene + ": cannot read it again" : error)
                      << "\n";
            return kExitBadInput;
        }
        count = variantCount(axes);
        if (count > kMaxVariants) {
            std::cerr << "drapeon wedge: the --vary options make " << count << " variants, more than the "
                      << kMaxVariants << " a wedge may have; give fewer values\n";
            return kExitBadInput;
        }
        settings.files = finishedFiles(scene);

        // A folder that holds a wedge resumes it, if it is the same wedge
        const json vary = varyJson(axes);
        std::error_code ec;
        if (fs::exists(dir / "wedge.json", ec)) {
            json stored;
            if (!readWedgeFile(dir, stored, error)) {
                std::cerr << "drapeon wedge: " << error << "\n";
                return kExitBadInput;
            }
            if (!sameVariants(stored["vary"], vary)) {
                std::cerr << "drapeon wedge: " << dir.string()
                          << " holds a wedge with other --vary values; give the same --vary options to resume it, "
                             "or choose another --out folder\n";
                return kExitBadInput;
            }
        } else if (fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
            std::cerr << "drapeon wedge: " << dir.string()
                      << " exists and is not a wedge folder; choose a new or empty --out folder\n";
            return kExitBadInput;
        }
        fs::create_directories(dir, ec);
        if (ec) {
            std::cerr << "drapeon wedge: cannot create " << dir.string() << ": " << ec.message() << "\n";
            return kExitFailure;
        }

        // The variants' scenes; one whose scene changed (the scene file was
        // edited since) loses its status and runs again
        json variants = json::array();
        for (size_t k = 0; k < count; ++k) {
            const std::vector<size_t> choice = variantChoice(axes, k);
            const fs::path vdir = variantDir(dir, k);
            const std::string text = variantScene(root, scene, axes, choice, scene.folder).dump(2) + "\n";
            if (readText(vdir / "scene.json") != text) {
                fs::create_directories(vdir, ec);
                fs::remove(vdir / "status.json", ec);
                if (!writeFileAtomically(vdir / "scene.json", {text}, error)) {
                    std::cerr << "drapeon wedge: " << error << "\n";
                    return kExitFailure;
                }
            }
            json values = json::array();
            for (size_t a = 0; a < axes.size(); ++a) values.push_back(axes[a].values[choice[a]]);
            variants.push_back({{"variant", k}, {"folder", std::to_string(k)}, {"values", values}});
        }
        json wedgeFile;
        wedgeFile["scene"] = fs::absolute(options.scene).lexically_normal().string();
        wedgeFile["frames"] = {scene.firstFrame, scene.lastFrame};
        wedgeFile["fps"] = scene.fps;
        wedgeFile["threads"] = options.threads;
        wedgeFile["vary"] = vary;
        wedgeFile["files"] = settings.files;
        wedgeFile["variants"] = variants;
        if (!writeFileAtomically(dir / "wedge.json", {wedgeFile.dump(2) + "\n"}, error)) {
            std::cerr << "drapeon wedge: " << error << "\n";
            return kExitFailure;
        }
    }

    for (size_t k = 0; k < count; ++k)
        if (!variantFinished(variantDir(dir, k), settings.files)) settings.variants.push_back(k);
    std::cerr << "drapeon wedge: " << count << " variants in " << dir.string();
    if (settings.variants.size() < count)
        std::cerr << "; " << count - settings.variants.size() << " finished before, " << settings.variants.size()
                  << " to run";
    std::cerr << "\n";

    WedgeOutcome outcome;
    if (!settings.variants.empty())
        outcome = options.scheduler == "slurm" ? runWedgeSlurm(settings) : runWedgeLocal(settings);
    if (summarize(dir) != kExitOk) return kExitFailure;
    if (outcome.error) return kExitFailure;
    size_t unfinished = 0;
    for (size_t k = 0; k < count; ++k) unfinished += variantFinished(variantDir(dir, k), settings.files) ? 0 : 1;
    if (outcome.stopped) {
        std::cerr << "drapeon wedge: stopped; " << unfinished << " of " << count
                  << " variants are unfinished. Run the same command again to run only those\n";
        return kExitInterrupted;
    }
    if (unfinished > 0) {
        std::cerr << "drapeon wedge: " << unfinished << " of " << count
                  << " variants did not finish; run the same command again to run only those\n";
        return kExitFailure;
    }
    return kExitOk;
}

// --- wedge-task -------------------------------------------------------------

volatile std::sig_atomic_t gRunPid = 0;
volatile std::sig_atomic_t gTaskSignal = 0;

/// Ctrl-C or the scheduler's SIGTERM: the run stops cleanly between two
/// sub-steps, which keeps its complete frames and removes a partial cache file.
extern "C" void onTaskStop(int signal) {
    gTaskSignal = signal;
    if (gRunPid > 0) kill(static_cast<pid_t>(gRunPid), SIGINT);
}

std::string lastLine(const fs::path& file) {
    std::istringstream in(readText(file));
    std::string last;
    for (std::string line; std::getline(in, line);)
        if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
    return last;
}

int wedgeTask(const std::string& dirText, size_t k, int threads, AppContext& context) {
    const fs::path dir = fs::absolute(dirText).lexically_normal();
    json wedgeFile;
    std::string error;
    if (!readWedgeFile(dir, wedgeFile, error)) {
        std::cerr << "drapeon wedge-task: " << error << "\n";
        return kExitBadInput;
    }
    const fs::path vdir = variantDir(dir, k);
    if (!fs::is_regular_file(vdir / "scene.json")) {
        std::cerr << "drapeon wedge-task: " << (vdir / "scene.json").string() << " does not exist\n";
        return kExitBadInput;
    }
    std::vector<std::string> files;
    try {
        files = wedgeFile.value("files", std::vector<std::string>());
    } catch (const std::exception&) {
    }

    // Results of an earlier run would mix with this one's
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(vdir, ec))
        if (e.path().filename() != "scene.json") fs::remove_all(e.path(), ec);

    WedgeStatus status;
    status.status = "running";
    status.host = hostName();
    if (!writeWedgeStatus(vdir, status, error)) {
        std::cerr << "drapeon wedge-task: " << error << "\n";
        return kExitFailure;
    }

    struct sigaction action {}, previousInt {}, previousTerm {};
    action.sa_handler = onTaskStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);

    const std::string program = selfProgram();
    const std::string plugins = fs::absolute(context.pluginDir).lexically_normal().string();
    const fs::path log = vdir / "run.log";
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = startProcess({program, "--plugins", plugins, "run", (vdir / "scene.json").string(), "--out",
                                    vdir.string(), "--threads", std::to_string(threads)},
                                   log, false, error);
    int wstatus = 0;
    rusage usage{};
    if (pid > 0) {
        gRunPid = pid;
        if (gTaskSignal != 0) kill(pid, SIGINT);
        while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
        }
        gRunPid = 0;
    }
    status.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    status.peakMemoryKiB = usage.ru_maxrss;
    if (pid < 0) {
        status.status = "failed";
        status.message = error;
    } else {
        status.exitCode = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        // The page that plays the variant, from whatever frames it has
        if (fs::is_regular_file(vdir / "viewer-data.bin") && gTaskSignal == 0) {
            std::string viewError;
            const pid_t view = startProcess({program, "view", vdir.string()}, log, true, viewError);
            int viewStatus = 0;
            while (view > 0 && waitpid(view, &viewStatus, 0) < 0 && errno == EINTR) {
            }
        }
        bool complete = status.exitCode == 0;
        for (const std::string& f : files) complete = complete && fs::is_regular_file(vdir / f, ec);
        if (gTaskSignal == SIGTERM) {
            status.status = "cancelled";
            status.message = "stopped by SIGTERM (cancelled)";
        } else if (complete) {
            status.status = "done";
        } else if (status.exitCode == kExitInterrupted && gTaskSignal == SIGINT) {
            status.status = "interrupted";
            status.message = "stopped with Ctrl-C";
        } else {
            status.status = "failed";
            status.message = WIFSIGNALED(wstatus) ? "drapeon run was killed by signal " + std::to_string(WTERMSIG(wstatus))
                                                  : lastLine(log);
            if (status.exitCode == 0) status.message = "drapeon run ended well but left no " + files.front();
        }
    }
    if (!writeWedgeStatus(vdir, status, error)) std::cerr << "drapeon wedge-task: " << error << "\n";
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    if (status.status == "done") return kExitOk;
    return status.exitCode > 0 ? status.exitCode : kExitFailure;
}

}  // namespace

void addWedgeCommands(CLI::App& app, AppContext& context) {
    auto options = std::make_shared<WedgeOptions>();
    CLI::App* cmd = app.add_subcommand("wedge", "Run a scene with parameters varied (every combination), here or "
                                                "on a Slurm cluster, and sum up the results");
    cmd->add_option("scene", options->scene, "Scene file (.json)");
    cmd->add_option("--vary", options->vary,
                    "PATH.PARAM=V1,V2,... or PATH.PARAM=A:B:COUNT: an object path as drapeon info shows it, a "
                    "parameter name or id and its values; repeat for more parameters")
        ->take_all()
        ->allow_extra_args(false);
    cmd->add_option("--out", options->out, "Folder of the wedge: one sub-folder per variant, summary.csv, index.html");
    cmd->add_option("--jobs", options->jobs, "Runs at once with --scheduler local (default: processors / threads)")
        ->check(CLI::Range(1, 4096));
    cmd->add_option("--threads", options->threads, "Threads of each run (default: 1)")->check(CLI::Range(1, 1024));
    cmd->add_option("--scheduler", options->scheduler, "local (this machine) or slurm (one job array)")
        ->check(CLI::IsMember({"local", "slurm"}));
    cmd->add_option("--slurm-option", options->slurmOptions,
                    "An sbatch option for every task, e.g. partition=short, time=30, cpus-per-task=2; repeat for more")
        ->take_all()
        ->allow_extra_args(false);
    cmd->add_option("--summary", options->summary, "Only rebuild DIR/summary.csv and DIR/index.html");
    cmd->callback([options, &context]() {
        const int status = wedge(*options, context);
        if (status != kExitOk) throw CLI::RuntimeError(status);
    });

    auto taskDir = std::make_shared<std::string>();
    auto taskVariant = std::make_shared<size_t>(0);
    auto taskThreads = std::make_shared<int>(1);
    CLI::App* task = app.add_subcommand("wedge-task", "Run one variant of a wedge (used by drapeon wedge)");
    task->group("");
    task->add_option("dir", *taskDir)->required();
    task->add_option("variant", *taskVariant)->required();
    task->add_option("--threads", *taskThreads)->check(CLI::Range(1, 1024));
    task->callback([taskDir, taskVariant, taskThreads, &context]() {
        const int status = wedgeTask(*taskDir, *taskVariant, *taskThreads, context);
        if (status != kExitOk) throw CLI::RuntimeError(status);
    });
}
