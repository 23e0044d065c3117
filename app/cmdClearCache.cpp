// `drapeon clear-cache SCENE`: presses the cache delete button of every cloth
// object of the scene, as a user would in the host.
#include "sceneCommands.h"

#include "cacheState.h"
#include "drRegistry.h"
#include "runLock.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>

namespace {

/// The button parameter that deletes a cloth object's cache files.
constexpr Int32 kCacheDeleteButton = 1007;
/// The cloth object's cache base name.
constexpr Int32 kCachePath = 1006;

int clearCache(const std::string& file, AppContext& context) {
    SceneSession session;
    if (const int status = openScene(context, file, session); status != kExitOk) return status;
    // A run that writes a cache keeps it locked: its files are not deleted under it
    RunLocks locks;
    const std::vector<SceneCache> caches = sceneCaches(session.scene);
    for (const SceneCache& cache : caches) {
        std::string error;
        if (!locks.take(cacheLockFile(cache.base), "the cache " + cache.base + "NNNN of \"" + cache.cloth->path + "\"",
                        "stop it first", error)) {
            std::cerr << "drapeon: " << error << "\n";
            return kExitFailure;
        }
    }
    int pressed = 0;
    for (const SceneObject& so : session.scene.objects) {
        if (so.object->GetType() != ID_DRAPEON) continue;
        ++pressed;
        const Filename base = so.object->GetDataInstance()->GetFilename(kCachePath);
        DescriptionCommand command(kCacheDeleteButton);
        if (!so.object->Message(MSG_DESCRIPTION_COMMAND, &command)) {
            std::cerr << "drapeon: the cloth object \"" << so.path << "\" did not handle the cache delete button";
            for (const std::string& e : HostTakeErrors()) std::cerr << "; " << e;
            std::cerr << "\n";
            return kExitFailure;
        }
        if (base.IsEmpty())
            std::cout << so.path << ": no cache path set, nothing to delete\n";
        else
            std::cout << so.path << ": deleted the cache files " << base.GetString().GetStd() << "0000 to "
                      << base.GetString().GetStd() << "0999\n";
    }
    // The record of the settings the frames were made from goes with them
    for (const SceneCache& cache : caches) {
        std::error_code ignored;
        std::filesystem::remove(fingerprintFile(cache.base), ignored);
    }
    if (pressed == 0) std::cout << "The scene has no cloth object; nothing to delete\n";
    return kExitOk;
}

}  // namespace

void addClearCacheCommand(CLI::App& app, AppContext& context) {
    auto file = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand("clear-cache", "Delete the cache files of every cloth object of a scene");
    cmd->add_option("scene", *file, "Scene file (.json)")->required();
    cmd->callback([file, &context]() {
        const int status = clearCache(*file, context);
        if (status != kExitOk) throw CLI::RuntimeError(status);
    });
}
