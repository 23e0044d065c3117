// The caches of a scene's cloth objects as files on disk: which frames are
// stored, whether they were made from the scene's present settings (the
// fingerprint file beside them), and what a run does with them.
#pragma once

#include "scene.h"

#include <iosfwd>
#include <string>
#include <vector>

/// One cloth object with a cache.
struct SceneCache {
    const SceneObject* cloth = nullptr;
    std::string base;         ///< base name as the plug-in composes file names from it
    std::string fingerprint;  ///< of the scene as loaded
};

/// Every cloth object of the scene whose cache base name is set.
std::vector<SceneCache> sceneCaches(const Scene& scene);

/// The fingerprint file of a cache: "<base name>.fingerprint".
std::string fingerprintFile(const std::string& base);

/// What is on disk for one cache.
struct CacheState {
    std::vector<Int32> frames;  ///< stored frames, ascending
    enum class Record {
        None,       ///< no fingerprint file
        Same,       ///< made from the scene's present settings
        Different   ///< made from other settings
    } record = Record::None;

    /// Frames stored and their record agrees with the scene.
    bool fresh() const { return !frames.empty() && record == Record::Same; }
};

/// Reads the folder of the cache and its fingerprint file; changes nothing.
CacheState inspectCache(const SceneCache& cache);

/// "4 frames (0 to 3)", "1 frame (7)" or "no frames".
std::string framesText(const std::vector<Int32>& frames);

/// Gets a cache ready for a run. Frames of these settings are played back.
/// Frames of other settings, or with no record, are deleted so that the run
/// simulates them afresh and stores its own (unless `reuse`: then they are
/// played back all the same). Says on `notes` what it found and does.
/// False when stale frames cannot be deleted; `error` says why.
bool prepareCache(const SceneCache& cache, bool reuse, std::ostream& notes, std::string& error);
