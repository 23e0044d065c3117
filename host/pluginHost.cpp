#include "pluginHost.h"

#include "registry.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>
#include <system_error>

namespace {

std::set<Int32> registeredIds() {
    std::set<Int32> ids;
    for (const RegisteredType* t : PluginRegistry::List()) ids.insert(t->id);
    return ids;
}

}  // namespace

PluginHost::~PluginHost() { Shutdown(); }

Int32 PluginHost::CallEntry(Module& m, Int32 action, void* p1, void* p2, void* p3) {
    PluginRegistry::SetCurrentPluginFolder(Filename(m.folder));
    Int32 result = -1;
    try {
        result = m.entry(action, p1, p2, p3);
    } catch (const std::exception& e) {
        errors_.push_back("plug-in " + m.path + " threw during action " + std::to_string(action) + ": " + e.what());
    } catch (...) {
        errors_.push_back("plug-in " + m.path + " threw an unknown exception during action " + std::to_string(action));
    }
    PluginRegistry::SetCurrentPluginFolder(Filename());
    return result;
}

Bool PluginHost::LoadFolder(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::string> libraries;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        if (p.extension() == ".so" && it->is_regular_file(ec)) libraries.push_back(p.string());
    }
    if (ec) {
        errors_.push_back("cannot read the plug-in folder " + folder + ": " + ec.message() +
                          "; give the folder that holds the plug-in module and its res folder");
        return false;
    }
    std::sort(libraries.begin(), libraries.end());
    Bool ok = true;
    Int32 found = 0;
    for (const std::string& path : libraries) {
        // Libraries without the entry (the host library itself, helpers) are not plug-ins.
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            errors_.push_back("cannot load " + path + ": " + (why ? why : "unknown error") +
                              "; check that it was built for this machine and that its libraries can be found");
            ok = false;
            continue;
        }
        if (dlsym(handle, "c4d_main") == nullptr) {
            dlclose(handle);
            continue;
        }
        // A plug-in: started from the handle just opened, not loaded again.
        ++found;
        if (!StartModule(path, folder, handle)) ok = false;
    }
    if (found == 0) {
        errors_.push_back("no plug-in module in " + folder +
                          ": expected a shared library (.so) exporting c4d_main; build the plug-in first");
        return false;
    }
    return ok;
}

Bool PluginHost::LoadModule(const std::string& libraryPath, const std::string& pluginFolder) {
    void* handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        errors_.push_back("cannot load plug-in " + libraryPath + ": " + (why ? why : "unknown error") +
                          "; check that the file exists, was built for this machine and that its libraries can be found");
        return false;
    }
    return StartModule(libraryPath, pluginFolder, handle);
}

Bool PluginHost::StartModule(const std::string& libraryPath, const std::string& pluginFolder, void* handle) {
    Module m;
    m.path = libraryPath;
    m.folder = pluginFolder;
    m.handle = handle;
    m.entry = reinterpret_cast<PluginEntry>(dlsym(m.handle, "c4d_main"));
    if (m.entry == nullptr) {
        errors_.push_back(libraryPath + " is not a plug-in: it does not export c4d_main (declare it extern \"C\")");
        dlclose(m.handle);
        return false;
    }

    // Action 1: interface table and plug-in folder.
    HostInterfaceTable table;
    table.version = version_;
    const Int32 init = CallEntry(m, PLUGIN_ACTION_INIT_SYS, &table, nullptr, const_cast<char*>(m.folder.c_str()));
    if (init != 1) {
        if (init == PLUGIN_RESULT_VERSION_TOO_OLD)
            errors_.push_back("plug-in " + libraryPath + " refused to start (action 1 returned -3): it needs host " +
                              "interface version 20017 or above and this host offers " + std::to_string(version_) +
                              "; run it with a newer host");
        else
            errors_.push_back("plug-in " + libraryPath + " failed to initialise (action 1 returned " +
                              std::to_string(init) + "); it is not loaded");
        dlclose(m.handle);
        return false;
    }

    // Message 1: the plug-in loads its string resource (the answer is not looked at).
    const std::set<Int32> before = registeredIds();
    CallEntry(m, PLUGIN_ACTION_MESSAGE, reinterpret_cast<void*>(static_cast<intptr_t>(PLUGIN_MESSAGE_INIT_SYS)),
              nullptr, nullptr);

    // Action 2: registration.
    const Int32 start = CallEntry(m, PLUGIN_ACTION_START, nullptr, nullptr, nullptr);
    for (const Int32 id : registeredIds())
        if (before.count(id) == 0) m.typeIds.push_back(id);
    modules_.push_back(m);
    if (start != 1) {
        std::string detail;
        for (const std::string& e : HostTakeErrors()) detail += "; " + e;
        errors_.push_back("plug-in " + libraryPath + " failed to start (action 2 returned " + std::to_string(start) +
                          "): not all of its object types could be registered" + detail);
        return false;
    }
    return true;
}

void PluginHost::Shutdown() {
    if (modules_.empty()) return;
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
        CallEntry(*it, PLUGIN_ACTION_END, nullptr, nullptr, nullptr);
        for (const Int32 id : it->typeIds) PluginRegistry::Unregister(id);
        dlclose(it->handle);
    }
    modules_.clear();
    FreeStringResource();
}
