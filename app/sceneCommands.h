// The commands that work on a scene file (run, info, clear-cache) and what
// they share: loading the plug-ins and the scene, and the exit statuses.
#pragma once

#include "commands.h"
#include "scene.h"

#include <string>

/// Exit statuses of the program.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailure = 1,      ///< anything else that went wrong
    kExitBadInput = 2,     ///< bad scene or command line
    kExitUnstable = 3,     ///< the simulation produced non-finite positions
    kExitInterrupted = 130 ///< stopped with Ctrl-C
};

/// The loaded plug-ins with a scene built from their types. The scene goes
/// first: its objects must be destroyed before the plug-ins are unloaded.
struct SceneSession {
    PluginHost plugins;
    Scene scene;
    SceneSession() = default;
    SceneSession(const SceneSession&) = delete;
    SceneSession& operator=(const SceneSession&) = delete;
    ~SceneSession();
};

/// Loads the plug-ins of context.pluginDir, then the scene. Prints what went
/// wrong to standard error and returns the exit status (kExitOk on success).
int openScene(const AppContext& context, const std::string& file, SceneSession& session);

/// The plug-in folder used when --plugins is not given: "plugins" next to
/// the executable.
std::string defaultPluginDir();

/// The point objects of a scene that are deformed: those with a child whose
/// type is a deformer (the cloth object) and whose deform mode is on.
std::vector<const SceneObject*> deformedObjects(const Scene& scene);

/// `drapeon run SCENE`: simulates the scene and writes the results.
void addRunCommand(CLI::App& app, AppContext& context);
/// `drapeon info SCENE`: prints the object tree, parameters and links.
void addInfoCommand(CLI::App& app, AppContext& context);
/// `drapeon clear-cache SCENE`: presses every cloth object's cache delete button.
void addClearCacheCommand(CLI::App& app, AppContext& context);
