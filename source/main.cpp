// The module's entry: the host calls c4d_main with an action code; start
// registers the thirteen object types and the menu separators and starts
// the job pool, end stops it.
#include "drRegistry.h"
#include "host.h"
#include "pool.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

/// Oldest host interface version this module works with.
constexpr Int32 kMinimumInterfaceVersion = 20017;

/// Calls of action 1 not yet matched by an action 3.
Int32 initCount = 0;
/// The plug-in folder the host gave at the first action 1 (C allocator);
/// null when none was given or its copy could not be allocated.
char* pluginPath = nullptr;

/// One row of the registration table.
struct TypeRow {
    const char* description;  ///< description and class name
    Int32 id;                 ///< plug-in id
    Int32 nameId;             ///< string id of the display name
    Int32 info;               ///< info flags
    DataAllocator* allocator;
};

/// The object types in the order in which they are registered.
constexpr TypeRow kTypes[] = {
    {"drapeon", ID_DRAPEON, 1000, OBJECT_MODIFIER, AllocDrapeon},
    {"drGravity", ID_DRGRAVITY, 1001, OBJECT_HELPER, AllocDrGravity},
    {"drNail", ID_DRNAIL, 1002, OBJECT_HELPER, AllocDrNail},
    {"drPin", ID_DRPIN, 1003, OBJECT_HELPER, AllocDrPin},
    {"drDamp", ID_DRDAMP, 1004, OBJECT_HELPER, AllocDrDamp},
    {"drCollideMesh", ID_DRCOLLIDEMESH, 1005, OBJECT_HELPER, AllocDrCollideMesh},
    {"drCollidePlane", ID_DRCOLLIDEPLANE, 1006, OBJECT_HELPER, AllocDrCollidePlane},
    {"drCollideSphere", ID_DRCOLLIDESPHERE, 1007, OBJECT_HELPER, AllocDrCollideSphere},
    {"drCollideCapsule", ID_DRCOLLIDECAPSULE, 1008, OBJECT_HELPER, AllocDrCollideCapsule},
    {"drCollideSelf", ID_DRCOLLIDESELF, 1009, OBJECT_HELPER, AllocDrCollideSelf},
    {"drVolume", ID_DRVOLUME, 1010, OBJECT_HELPER, AllocDrVolume},
    {"drSew", ID_DRSEW, 1011, OBJECT_HELPER, AllocDrSew},
    {"drWind", ID_DRWIND, 1012, OBJECT_HELPER, AllocDrWind},
};

/// One menu separator: "#$NN" places it at menu position NN, "--" draws a line.
struct SeparatorRow {
    Int32 id;
    const char* name;
    const char* description;
};

constexpr SeparatorRow kSeparators[] = {
    {1038116, "#$01--", "--1"},
    {1038117, "#$06--", "--2"},
    {1038118, "#$09--", "--3"},
    {1038119, "#$15--", "--4"},
};

Bool PluginStart() {
    // The object types; a refused one ends the start, the earlier ones stay
    for (const TypeRow& row : kTypes) {
        AutoBitmap icon(String("drapeon.png"), 1.0);
        if (!RegisterObjectPlugin(row.id, GeLoadString(row.nameId), row.info, row.allocator, String(row.description),
                                  icon, 0))
            return false;
    }

    // The separators; a refused one only costs a line in the menu
    for (const SeparatorRow& row : kSeparators)
        RegisterObjectPlugin(row.id, String(row.name), 0, nullptr, String(row.description), nullptr, 0);

    poolStart();
    return true;
}

void PluginEnd() { poolStop(); }

Bool PluginMessage(Int32 id, void* data) {
    (void)data;
    if (id == PLUGIN_MESSAGE_INIT_SYS) {
        // Whether the texts were found is not looked at: missing ones give empty names
        LoadStringResource(pluginPath != nullptr ? Filename(pluginPath) : GeGetPluginPath());
    }
    return false;
}

/// Action 1: checks the host's interface version and keeps the plug-in folder.
Int32 initSystem(const void* table, const char* folder) {
    if (initCount > 0) {
        ++initCount;
        return 1;
    }
    // A refused start is not counted, so that a later, valid one does the work
    if (table == nullptr || folder == nullptr) return -3;
    Int32 version = 0;
    std::memcpy(&version, table, sizeof version);
    if (version < kMinimumInterfaceVersion) return -3;
    initCount = 1;
    const size_t size = std::strlen(folder) + 1;
    pluginPath = static_cast<char*>(std::malloc(size));
    if (pluginPath != nullptr) std::memcpy(pluginPath, folder, size);
    return 1;
}

/// Action 3: the last one stops the module and releases what action 1 kept.
void endSystem() {
    if (initCount == 0) return;
    if (--initCount > 0) return;
    PluginEnd();
    FreeStringResource();
    std::free(pluginPath);
    pluginPath = nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) Int32 c4d_main(Int32 action, void* p1, void* p2, void* p3) {
    // Nothing may escape into the host: a failure is an answer of failure
    try {
        switch (action) {
            case PLUGIN_ACTION_INIT_SYS:
                return initSystem(p1, static_cast<const char*>(p3));
            case PLUGIN_ACTION_START:
                return PluginStart() ? 1 : 0;
            case PLUGIN_ACTION_END:
                endSystem();
                return 1;
            case PLUGIN_ACTION_QUERY:
                return 5;
            case PLUGIN_ACTION_MESSAGE:
                return PluginMessage(static_cast<Int32>(reinterpret_cast<intptr_t>(p1)), p2) ? 1 : -1;
            default:
                return -1;
        }
    } catch (...) {
        return action == PLUGIN_ACTION_START ? 0 : -1;
    }
}
