// `drapeon run SCENE`: evaluates the scene frame by frame and writes, for
// every deformed object, one OBJ per frame in world space, then the exports.
#include "sceneCommands.h"

#include "abort.h"
#include "cache.h"
#include "drRegistry.h"
#include "exportStream.h"
#include "exportWriter.h"
#include "pool.h"
#include "progress.h"
#include "runClaim.h"
#include "runOutputs.h"
#include "stopSignals.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct RunOptions {
    std::string scene;
    std::string frames;  ///< "A:B"; empty: the scene's
    std::string out;     ///< empty: out/<scene name>
    int threads = 0;     ///< 0: one per processor
    std::vector<std::string> exports{"obj", "pc2", "glb"};
    bool reuseCache = false;  ///< play back cache frames made from other settings
};

/// Parses "A:B" into first and last; false when malformed.
bool parseFrames(const std::string& text, Int32& first, Int32& last) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    try {
        size_t used = 0;
        const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
        const long long fa = std::stoll(a, &used);
        if (used != a.size()) return false;
        const long long fb = std::stoll(b, &used);
        if (used != b.size()) return false;
        if (fa < -1000000 || fb > 1000000 || fb < fa) return false;
        first = static_cast<Int32>(fa);
        last = static_cast<Int32>(fb);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

/// The cache base names of the scene's cloth objects (empty ones left out).
std::vector<std::string> cacheBases(const Scene& scene) {
    std::vector<std::string> out;
    for (const SceneObject& so : scene.objects) {
        if (so.object->GetType() != ID_DRAPEON) continue;
        const Filename base = so.object->GetDataInstance()->GetFilename(1006);
        if (base.IsEmpty()) continue;
        char buffer[kCacheNameSize];
        base.GetCString(buffer, kCacheNameSize, STRINGENCODING::BIT7HEX);
        out.emplace_back(buffer);
    }
    return out;
}

int run(const RunOptions& options, AppContext& context) {
    // The pool is started by the plug-in, so its size is set before loading
    if (options.threads > 0) poolSetProcessorCount(options.threads);
    SceneSession session;
    if (const int status = openScene(context, options.scene, session); status != kExitOk) return status;
    Scene& scene = session.scene;
    BaseDocument* doc = scene.document.get();

    Int32 first = scene.firstFrame, last = scene.lastFrame;
    if (!options.frames.empty() && !parseFrames(options.frames, first, last)) {
        std::cerr << "drapeon: --frames " << options.frames
                  << ": expected FIRST:LAST, two whole frames with FIRST not after LAST (e.g. 0:90)\n";
        return kExitBadInput;
    }
    const bool writeObjFiles = std::find(options.exports.begin(), options.exports.end(), "obj") != options.exports.end();

    // What is written, and under which names, is decided before any work
    const RunOutputs outputs = planOutputs(scene, first, last);
    for (const std::string& note : outputs.notes) std::cerr << "drapeon: note: " << note << "\n";
    if (std::none_of(outputs.objects.begin(), outputs.objects.end(), [](const ExportObject& o) { return o.simulated; }))
        std::cerr << "drapeon: note: no object of " << scene.file.string()
                  << " has a cloth object under it; only the exports are written\n";
    const Int32 start = first > 0 ? 0 : first;
    constexpr size_t kQueuedFrames = 2;
    const bool writeGlb = std::find(options.exports.begin(), options.exports.end(), "glb") != options.exports.end();
    const uint64_t needed = estimateRunMemory(outputs, Int64(last) - first + 1, kQueuedFrames, writeGlb);
    if (const uint64_t available = availableMemory(); available > 0 && needed > available) {
        std::cerr << "drapeon: " << scene.file.string() << ": this run needs about " << memoryText(needed)
                  << " of memory and " << memoryText(available)
                  << " are available; simulate fewer points or frames (--frames), leave glb out of --export, "
                  << "or free memory\n";
        return kExitBadInput;
    }

    // Output folder and the folders of the cache files
    const fs::path outDir = options.out.empty() ? fs::path("out") / scene.name : fs::path(options.out);
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec) {
        std::cerr << "drapeon: cannot create the output folder " << outDir.string() << ": " << ec.message() << "\n";
        return kExitFailure;
    }
    const std::vector<std::string> caches = cacheBases(scene);
    for (const std::string& base : caches) {
        const fs::path folder = fs::path(base).parent_path();
        if (folder.empty()) continue;
        fs::create_directories(folder, ec);
        if (ec) {
            std::cerr << "drapeon: cannot create the cache folder " << folder.string() << ": " << ec.message() << "\n";
            return kExitFailure;
        }
    }

    RunLocks locks;
    if (const int status = claimRunOutputs(scene, outDir, options.reuseCache, locks); status != kExitOk) return status;

    // The exports are written by a thread of their own while the next frame
    // simulates; a second Ctrl-C (or the first, once the simulation is over)
    // stops them.
    std::atomic<bool> exportsOnly{false};
    ExportSettings settings;
    settings.dir = outDir;
    settings.obj = writeObjFiles;
    settings.pc2 = std::find(options.exports.begin(), options.exports.end(), "pc2") != options.exports.end();
    settings.viewer = true;
    if (writeGlb) settings.glb = outDir / (scene.name + ".glb");
    settings.sceneName = scene.name;
    settings.fps = scene.fps;
    settings.stopRequested = [&exportsOnly] { return exportsOnly.load() && drAbortRaised(); };
    ExportStream stream(settings, outputs.objects);
    ExportWriter writer(stream, kQueuedFrames);

    // Frames
    // The simulation starts at frame 0, where the cloth resets and the
    // constraints gather their points: a run that shows later frames only
    // evaluates the frames before them first, without writing them.
    Progress progress(stderr, isatty(STDERR_FILENO) == 1);
    progress.begin(start, last);
    drClearAbort();
    StopSignals stopSignals;
    int status = kExitOk;
    Int32 interruptedAt = 0;
    bool interrupted = false;
    for (Int32 frame = start; frame <= last; ++frame) {
        const auto begun = std::chrono::steady_clock::now();
        // Stopped between two frames (or while frames played back from a
        // cache), or during this one: the frames before it are complete
        if (drAbortRaised()) {
            interrupted = true;
            interruptedAt = frame;
            break;
        }
        const bool evaluated = doc->EvaluateFrame(frame);
        if (drCutShort()) {
            interrupted = true;
            interruptedAt = frame;
            break;
        }
        if (!evaluated) {
            progress.end();
            std::cerr << "drapeon: the evaluation of frame " << frame << " failed";
            for (const std::string& e : HostTakeErrors()) std::cerr << "; " << e;
            std::cerr << "\n";
            status = kExitFailure;
            break;
        }

        // Positions of this frame; a non-finite one ends the run
        ExportFrame captured = writer.spareFrame();
        size_t unstable = 0;
        if (!captureFrame(outputs, frame, frame == first, captured, unstable)) {
            progress.end();
            std::cerr << "drapeon: the simulation of \"" << outputs.objects[unstable].path
                      << "\" became unstable at frame " << frame
                      << ": some positions are not finite numbers. Lower the stiffness or the forces, "
                      << "or raise the mass, and run again\n";
            status = kExitUnstable;
            break;
        }
        if (frame < first) {
            progress.frameDone(frame, std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
            continue;
        }
        captured.guides = captureGuides(scene);
        if (!writer.push(std::move(captured))) break;  // the writer's error is reported below
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        progress.frameDone(frame, seconds);
    }
    progress.end();

    if (interrupted) {
        // The stopped advance stored nothing for this frame, and every cache
        // file already there is a complete frame: the caches are left as they are
        const std::string stopped = StopSignals::stoppedText();
        if (interruptedAt > first)
            std::cerr << "drapeon: " << stopped << " during frame " << interruptedAt << "; frames " << first << " to "
                      << interruptedAt - 1 << " are complete\n";
        else
            std::cerr << "drapeon: " << stopped << " during frame " << interruptedAt << "; no frame is complete\n";
        status = StopSignals::exitStatus();
    }

    // The frames simulated are written out whatever stopped the run; from
    // here a Ctrl-C stops the exports. A stop that came after the last
    // frame was simulated stops them at once.
    if (interrupted) drClearAbort();
    exportsOnly = true;
    std::string error;
    bool written = writer.drain(error) && stream.finish(error);
    for (const std::string& note : stream.notes()) std::cerr << "drapeon: note: " << note << "\n";
    const Int32 frames = stream.frameCount();
    if (stream.stopped()) {
        std::cerr << "drapeon: " << StopSignals::stoppedText() << " while writing the exports; ";
        if (frames > 0 && writeObjFiles)
            std::cerr << "the OBJ files of frames " << first << " to " << first + frames - 1 << " are complete";
        else
            std::cerr << "no OBJ file was written";
        const std::vector<std::string>& done = stream.completedFiles();
        for (size_t k = 0; k < done.size(); ++k) std::cerr << (k == 0 ? ", and so are " : ", ") << done[k];
        size_t missing = 0;
        for (const std::string& f : stream.finalFiles())
            if (std::find(done.begin(), done.end(), f) == done.end())
                std::cerr << (missing++ == 0 ? "; not written: " : ", ") << f;
        std::cerr << "\n";
        status = StopSignals::exitStatus();
        written = true;
    }
    if (!written) {
        std::cerr << "drapeon: " << error << "\n";
        if (status == kExitOk) status = kExitFailure;
    }
    if (frames > 0 && written && !stream.stopped())
        std::cout << "Results of frames " << first << " to " << first + frames - 1 << " are in " << outDir.string()
                  << "\n";
    for (const std::string& base : caches) std::cout << "Cache files: " << base << "NNNN\n";
    return status;
}

}  // namespace

void addRunCommand(CLI::App& app, AppContext& context) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* cmd = app.add_subcommand("run", "Simulate a scene and write its frames");
    cmd->add_option("scene", options->scene, "Scene file (.json)")->required();
    cmd->add_option("--frames", options->frames, "Frames to evaluate, FIRST:LAST (default: the scene's)");
    cmd->add_option("--out", options->out, "Output folder (default: out/<scene name>)");
    cmd->add_option("--threads", options->threads, "Number of processors the simulation uses (default: all)")
        ->check(CLI::Range(1, 1024));
    cmd->add_option("--export", options->exports, "Results to write: obj, pc2, glb, comma-separated (default: all)")
        ->delimiter(',')
        ->check(CLI::IsMember({"obj", "pc2", "glb"}));
    cmd->add_flag("--reuse-cache", options->reuseCache,
                  "Play back cache frames even when they were made from other settings of the scene");
    cmd->callback([options, &context]() {
        const int status = run(*options, context);
        if (status != kExitOk) throw CLI::RuntimeError(status);
    });
}
