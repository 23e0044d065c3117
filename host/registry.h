// Registration of plug-in object types, string resources and the plug-in
// folder the host is currently talking to.
#pragma once

#include "baseBitmap.h"
#include "description.h"
#include "nodeData.h"

#include <memory>
#include <string>
#include <vector>

/// One registered object type.
struct RegisteredType {
    Int32 id = 0;                        ///< plug-in id (the objects' type id)
    String name;                         ///< display name given at registration
    Int32 info = 0;                      ///< info flags (OBJECT_MODIFIER, ...)
    DataAllocator* allocator = nullptr;  ///< null: not creatable (separators)
    String descriptionName;              ///< e.g. "drapeon"
    Int32 diskLevel = 0;
    Filename pluginFolder;               ///< folder of the registering plug-in
    Bool iconLoaded = false;             ///< the icon bitmap was a loaded PNG
    Filename iconPath;                   ///< the icon's file
    Int32 iconWidth = 0, iconHeight = 0; ///< the icon's size in pixels
    std::shared_ptr<Description> description;  ///< null when missing/invalid
    std::string descriptionError;        ///< why the description is missing
};

/// Registers an object type. False when the id is already registered, the
/// registration hook refuses it (PluginRegistry::RefuseRegistration), or
/// the arguments are unusable. The icon is copied (the caller keeps its
/// bitmap); the description is read from <plug-in folder>/res/description/
/// <description>.json when the file exists.
Bool RegisterObjectPlugin(Int32 id, const String& name, Int32 info, DataAllocator* allocator,
                          const String& description, BaseBitmap* icon, Int32 disklevel);

/// The text with this id from the loaded string resources; empty if missing.
String GeLoadString(Int32 id);
/// Reads <pluginFolder>/res/strings.json, an object of id -> text, e.g.
/// { "1000": "Cloth", "1001": "Gravity" }, and adds its texts (replacing
/// texts of the same ids). False when the file is missing or invalid.
Bool LoadStringResource(const Filename& pluginFolder);
/// Forgets every loaded text.
void FreeStringResource();
/// The folder of the plug-in the host is currently calling (set while the
/// plug-in's entry runs); empty outside.
Filename GeGetPluginPath();
/// GeGetPluginPath() + "res".
Filename GeGetPluginResourcePath();

/// The host's table of registered types.
class PluginRegistry {
public:
    /// The type with this id, or null.
    static const RegisteredType* Find(Int32 id);
    /// The type with this description name, or null.
    static const RegisteredType* FindByDescription(const std::string& descriptionName);
    /// Every registered type in registration order.
    static std::vector<const RegisteredType*> List();
    /// Removes every type registered from this plug-in folder.
    static void Unregister(const Filename& pluginFolder);
    /// Removes the type with this id.
    static void Unregister(Int32 id);
    /// Removes every type (tests).
    static void Clear();
    /// Test hook: the n-th registration call from now on (1 = the next one)
    /// is refused; 0 switches the hook off.
    static void RefuseRegistration(Int32 n);
    /// Sets the folder GeGetPluginPath reports (the plug-in loader does it
    /// around every call into a plug-in).
    static void SetCurrentPluginFolder(const Filename& folder);
};

/// Reports a problem the host met (a callback threw, a resource is invalid).
void HostReportError(const std::string& message);
/// The reported problems since the last call, oldest first; clears them.
std::vector<std::string> HostTakeErrors();
