#include "sceneCommands.h"

#include "pool.h"
#include "printable.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <system_error>

SceneSession::~SceneSession() {
    scene.document.reset();
    plugins.Shutdown();
}

std::string defaultPluginDir() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "plugins";
    return (exe.parent_path() / "plugins").string();
}

int openScene(const AppContext& context, const std::string& file, SceneSession& session) {
    if (!session.plugins.LoadFolder(context.pluginDir)) {
        for (const std::string& e : session.plugins.GetErrors()) std::cerr << "drapeon: " << e << "\n";
        std::cerr << "drapeon: cannot load the plug-ins from " << context.pluginDir
                  << "; give their folder with --plugins\n";
        return kExitFailure;
    }
    HostTakeErrors();
    // The plug-in started the pool; the system may have refused some threads
    const int32_t asked = poolRequestedWorkerCount();
    if (asked > 1 && poolWorkerCount() < asked)
        std::cerr << "drapeon: only " << std::max(poolWorkerCount(), 1) << " of the " << asked
                  << " threads could start (" << poolStartError() << "); the simulation runs on "
                  << std::max(poolWorkerCount(), 1) << "\n";
    std::string error;
    if (!loadScene(file, session.scene, error)) {
        std::cerr << "drapeon: " << printable(error) << "\n";
        return kExitBadInput;
    }
    for (const std::string& w : session.scene.warnings) std::cerr << "drapeon: warning: " << printable(w) << "\n";
    return kExitOk;
}

std::vector<const SceneObject*> deformedObjects(const Scene& scene) {
    std::vector<const SceneObject*> out;
    for (const SceneObject& so : scene.objects) {
        if (!so.object->IsInstanceOf(Opoint)) continue;
        for (BaseObject* c = so.object->GetDown(); c != nullptr; c = c->GetNext()) {
            const RegisteredType* rt = PluginRegistry::Find(c->GetType());
            if (rt != nullptr && (rt->info & OBJECT_MODIFIER) != 0 && c->GetDeformMode()) {
                out.push_back(&so);
                break;
            }
        }
    }
    return out;
}
