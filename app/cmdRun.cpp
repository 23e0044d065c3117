// `drapeon run SCENE`: evaluates the scene frame by frame and writes, for
// every deformed object, one OBJ per frame in world space, then the exports.
#include "sceneCommands.h"

#include "abort.h"
#include "cache.h"
#include "drRegistry.h"
#include "export.h"
#include "objWriter.h"
#include "pool.h"
#include "progress.h"
#include "runClaim.h"
#include "stopSignals.h"

#include <CLI/CLI.hpp>

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

/// One object whose frames are written as OBJ files.
struct Output {
    const SceneObject* source;
    std::string fileStem;  ///< "<name>" made file-safe and unique
};

/// "<stem>.<frame with at least four digits>.obj", like the cache's numbering.
std::string frameFileName(const std::string& stem, Int32 frame) {
    char digits[32];
    std::snprintf(digits, sizeof digits, frame < 0 ? "-%04d" : "%04d", frame < 0 ? -frame : frame);
    return stem + "." + digits + ".obj";
}

/// The points as shown at this frame (the deform cache when there is one), in world space.
std::vector<Vector> worldPoints(BaseObject* op) {
    const BaseObject* shown = op->GetDeformCache() != nullptr ? op->GetDeformCache() : op;
    std::vector<Vector> out;
    if (!shown->IsInstanceOf(Opoint)) return out;
    const PointObject* po = ToPoint(shown);
    const Matrix worldFromObject = op->GetMg();
    const Vector* p = po->GetPointR();
    out.reserve(static_cast<size_t>(po->GetPointCount()));
    for (Int32 i = 0; i < po->GetPointCount(); ++i) out.push_back(worldFromObject * p[i]);
    return out;
}

std::vector<CPolygon> polygonsOf(const BaseObject* op) {
    if (!op->IsInstanceOf(Opolygon)) return {};
    const PolygonObject* po = ToPoly(op);
    if (po->GetPolygonCount() == 0) return {};
    return std::vector<CPolygon>(po->GetPolygonR(), po->GetPolygonR() + po->GetPolygonCount());
}

bool allFinite(const std::vector<Vector>& points) {
    for (const Vector& p : points)
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return false;
    return true;
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

    // Deformed objects and their file names (two objects of one name get "_2", "_3", ...)
    std::vector<Output> outputs;
    std::set<std::string> stems;
    for (const SceneObject* so : deformedObjects(scene)) {
        const std::string base = fileSafeName(so->object->GetName().GetStd());
        std::string stem = base;
        for (int k = 2; !stems.insert(stem).second; ++k) stem = base + "_" + std::to_string(k);
        outputs.push_back({so, stem});
    }
    if (outputs.empty())
        std::cerr << "drapeon: note: no object of " << scene.file.string()
                  << " has a cloth object under it; only the exports are written\n";

    // The recording: every polygon object of the scene
    Recording recording;
    recording.sceneName = scene.name;
    recording.fps = scene.fps;
    recording.firstFrame = first;
    std::map<const BaseObject*, size_t> meshIndex;
    std::map<const BaseObject*, std::string> typeOf;
    const std::vector<const SceneObject*> deformed = deformedObjects(scene);
    for (const SceneObject& so : scene.objects) {
        typeOf[so.object] = so.typeName;
        if (!so.object->IsInstanceOf(Opolygon)) continue;
        RecordedMesh mesh;
        mesh.name = so.object->GetName().GetStd();
        mesh.path = so.path;
        mesh.simulated = std::find(deformed.begin(), deformed.end(), &so) != deformed.end();
        meshIndex[so.object] = recording.meshes.size();
        recording.meshes.push_back(std::move(mesh));
    }

    // Frames
    // The simulation starts at frame 0, where the cloth resets and the
    // constraints gather their points: a run that shows later frames only
    // evaluates the frames before them first, without writing them.
    const Int32 start = first > 0 ? 0 : first;
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
        std::vector<std::vector<Vector>> framePoints;
        bool stable = true;
        for (const Output& o : outputs) {
            framePoints.push_back(worldPoints(o.source->object));
            if (!allFinite(framePoints.back())) {
                progress.end();
                std::cerr << "drapeon: the simulation of \"" << o.source->path << "\" became unstable at frame "
                          << frame << ": some positions are not finite numbers. Lower the stiffness or the forces, "
                          << "or raise the mass, and run again\n";
                stable = false;
                break;
            }
        }
        if (!stable) {
            status = kExitUnstable;
            break;
        }
        if (frame < first) {
            progress.frameDone(frame, std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count());
            continue;
        }
        if (writeObjFiles) {
            for (size_t k = 0; k < outputs.size(); ++k) {
                const Output& o = outputs[k];
                std::string error;
                if (!writeObj(outDir / frameFileName(o.fileStem, frame), o.source->object->GetName().GetStd(),
                              framePoints[k], polygonsOf(o.source->object), error)) {
                    progress.end();
                    std::cerr << "drapeon: " << error << "\n";
                    return kExitFailure;
                }
            }
        }

        // Recording: meshes as shown and the guides the objects draw
        for (const auto& [object, index] : meshIndex) {
            RecordedMesh& mesh = recording.meshes[index];
            BaseObject* op = const_cast<BaseObject*>(object);
            if (recording.frameCount == 0) {
                mesh.polygons = polygonsOf(op);
                const PointObject* po = ToPoint(op);
                if (po->GetPointCount() > 0)
                    mesh.restPoints.assign(po->GetPointR(), po->GetPointR() + po->GetPointCount());
            }
            mesh.worldPoints.push_back(worldPoints(op));
            mesh.worldFromObject.push_back(op->GetMg());
        }
        BaseDraw draw;
        doc->Draw(&draw);
        std::vector<RecordedGuide> guides;
        for (const DrawRecord& r : draw.GetRecords()) {
            RecordedGuide g;
            g.kind = r.kind == DrawRecord::Kind::HANDLE ? RecordedGuide::Handle : RecordedGuide::Line;
            g.a = r.a;
            g.b = r.b;
            g.color = r.color;
            g.object = scene.PathOf(r.object);
            const auto t = typeOf.find(r.object);
            if (t != typeOf.end()) g.type = t->second;
            guides.push_back(std::move(g));
        }
        recording.guides.push_back(std::move(guides));
        ++recording.frameCount;

        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        progress.frameDone(frame, seconds);
    }
    progress.end();

    if (interrupted) {
        // The stopped advance stored nothing for this frame, and every cache
        // file already there is a complete frame: the caches are left as they are
        const std::string stopped = StopSignals::stoppedText();
        if (interruptedAt > first && recording.frameCount > 0)
            std::cerr << "drapeon: " << stopped << " during frame " << interruptedAt << "; frames " << first << " to "
                      << interruptedAt - 1 << " are complete\n";
        else
            std::cerr << "drapeon: " << stopped << " during frame " << interruptedAt << "; no frame is complete\n";
        status = StopSignals::exitStatus();
    }

    // Exports of the recorded frames
    if (recording.frameCount > 0) {
        std::string error;
        const auto exported = [&](bool ok) {
            if (!ok) {
                std::cerr << "drapeon: " << error << "\n";
                if (status == kExitOk) status = kExitFailure;
            }
        };
        for (const std::string& kind : options.exports) {
            if (kind == "pc2") exported(exportPc2(recording, outDir, error));
            if (kind == "glb") exported(exportGlb(recording, outDir / (scene.name + ".glb"), error));
        }
        exported(exportViewerData(recording, outDir, error));
        std::cout << "Results of frames " << first << " to " << first + recording.frameCount - 1 << " are in "
                  << outDir.string() << "\n";
    }
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
