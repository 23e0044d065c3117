// What `drapeon run` writes, decided before any work: the objects whose
// frames are exported, their file names (one rule for every output of an
// object), the memory the run will need, and how each frame is captured
// from the document for the writer thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exportStream.h"
#include "sceneCommands.h"

struct RunOutputs {
    std::vector<ExportObject> objects;
    std::vector<BaseObject*> sources;  ///< the scene objects, in the same order
    std::vector<std::string> notes;    ///< file names that differ from the object names
};

/// Every polygon object of the scene (the glTF file and the viewer show
/// them) and every other object a cloth deforms, with the file stems of the
/// deformed ones. Frames run from `first` to `last`.
RunOutputs planOutputs(const Scene& scene, Int32 first, Int32 last);

/// Captures one frame: the points as shown (the deform cache when there is
/// one) in world space and the world matrix of every object; on the first
/// frame also the polygons and the objects' own points. False when a
/// deformed object has a position that is not a finite number; `unstable`
/// is then that object's index.
bool captureFrame(const RunOutputs& outputs, Int32 frame, bool first, ExportFrame& out, size_t& unstable);

/// The guides the scene's objects draw at the current frame.
std::vector<RecordedGuide> captureGuides(const Scene& scene);

/// A rough figure of the memory a run of `frames` exported frames takes at
/// its peak: the solver's data of every cloth point, the scene's meshes, the
/// frames waiting for the writer and what the exports keep per frame (the
/// glTF file's structure most of all).
uint64_t estimateRunMemory(const RunOutputs& outputs, int64_t frames, size_t queuedFrames, bool glb);

/// The memory a run may take: MemAvailable of /proc/meminfo, or the
/// process's address space limit (ulimit -v) when that is lower; 0 when
/// unknown.
uint64_t availableMemory();

/// "1.2 GB", "350 MB".
std::string memoryText(uint64_t bytes);
