#include "runClaim.h"

#include "cacheState.h"
#include "sceneCommands.h"

#include <iostream>

int claimRunOutputs(const Scene& scene, const std::filesystem::path& outDir, bool reuseCaches, RunLocks& locks) {
    std::string error;
    if (!locks.take(outputLockFile(outDir.string()), "the output folder " + outDir.string(),
                    "give this run another folder with --out", error)) {
        std::cerr << "drapeon: " << error << "\n";
        return kExitFailure;
    }
    const std::vector<SceneCache> caches = sceneCaches(scene);
    for (const SceneCache& cache : caches) {
        if (!locks.take(cacheLockFile(cache.base), "the cache " + cache.base + "NNNN of \"" + cache.cloth->path + "\"",
                        "give the cloth another DRAPEON_CACHE_PATH", error)) {
            std::cerr << "drapeon: " << error << "\n";
            return kExitFailure;
        }
    }
    for (const SceneCache& cache : caches) {
        if (!prepareCache(cache, reuseCaches, std::cerr, error)) {
            std::cerr << "drapeon: " << error << "\n";
            return kExitFailure;
        }
    }
    return kExitOk;
}
