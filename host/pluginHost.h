// Loading of plug-in modules: shared libraries exporting the entry
//   extern "C" Int32 c4d_main(Int32 action, void* p1, void* p2, void* p3);
#pragma once

#include "hostTypes.h"

#include <string>
#include <vector>

/// Actions passed to a plug-in's entry.
enum PLUGIN_ACTION : Int32 {
    PLUGIN_ACTION_INIT_SYS = 1,  ///< p1: HostInterfaceTable*, p3: plug-in folder (text)
    PLUGIN_ACTION_START = 2,     ///< register types; 1 = success
    PLUGIN_ACTION_END = 3,       ///< shutting down
    PLUGIN_ACTION_QUERY = 4,
    PLUGIN_ACTION_MESSAGE = 6,   ///< p1: message id as an integer, p2: data
};

/// Message id 1 of PLUGIN_ACTION_MESSAGE: load your string resources.
constexpr Int32 PLUGIN_MESSAGE_INIT_SYS = 1;
/// Interface version this host offers by default.
constexpr Int32 HOST_INTERFACE_VERSION = 20017;
/// Result of PLUGIN_ACTION_INIT_SYS when the host's version is too old.
constexpr Int32 PLUGIN_RESULT_VERSION_TOO_OLD = -3;

/// The table passed in p1 of PLUGIN_ACTION_INIT_SYS. Its first member, an
/// Int32, is the host's interface version.
struct HostInterfaceTable {
    Int32 version = HOST_INTERFACE_VERSION;
    Int32 reserved = 0;
};

/// The entry point's type.
using PluginEntry = Int32 (*)(Int32 action, void* p1, void* p2, void* p3);

/// Loads plug-in modules and drives their entry:
///   action 1 (interface table in p1, plug-in folder path in p3),
///   action 6 with message 1 (the plug-in loads its string resource),
///   action 2 (the plug-in registers its types),
/// and at Shutdown (or destruction) action 3 and unloading, in reverse
/// order of loading. Modules without the entry are skipped. Errors are
/// collected as sentences naming the file, what failed and what to do.
/// Destroy every document holding plug-in objects before Shutdown.
class PluginHost {
public:
    PluginHost() = default;
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;
    /// Shuts down.
    ~PluginHost();

    /// The interface version given to plug-ins (default 20017; for tests).
    void SetInterfaceVersion(Int32 version) { version_ = version; }
    /// Loads every shared library (*.so) of `folder` that exports the entry,
    /// in name order, with `folder` as its plug-in folder. False when the
    /// folder cannot be read, holds no plug-in, or any plug-in failed.
    Bool LoadFolder(const std::string& folder);
    /// Loads one library with the given plug-in folder (its resources live
    /// in pluginFolder/res). False when it cannot be opened, has no entry,
    /// refuses action 1, or action 2 fails (its registered types stay; the
    /// module stays loaded until Shutdown).
    Bool LoadModule(const std::string& libraryPath, const std::string& pluginFolder);
    /// Calls action 3 of every started module (reverse order), unregisters
    /// their types, frees the string resources and unloads them.
    void Shutdown();

    /// Number of modules currently loaded.
    Int32 GetModuleCount() const { return static_cast<Int32>(modules_.size()); }
    /// Error sentences collected so far.
    const std::vector<std::string>& GetErrors() const { return errors_; }

private:
    struct Module {
        std::string path;
        std::string folder;
        void* handle = nullptr;
        PluginEntry entry = nullptr;
        std::vector<Int32> typeIds;  ///< types it registered
    };
    Int32 CallEntry(Module& m, Int32 action, void* p1, void* p2, void* p3);
    /// LoadModule once the library is open (`handle`, closed on failure).
    Bool StartModule(const std::string& libraryPath, const std::string& pluginFolder, void* handle);
    std::vector<Module> modules_;
    std::vector<std::string> errors_;
    Int32 version_ = HOST_INTERFACE_VERSION;
};
