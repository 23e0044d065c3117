// Sub-commands of the drapeon program. main.cpp creates the command-line
// parser and lets each command add itself.
#pragma once

#include <string>

namespace CLI {
class App;
}

/// Settings shared by every command.
struct AppContext {
    std::string pluginDir;  ///< folder with the plug-in modules (--plugins)
};

/// `drapeon view OUT_DIR`: gives the user a page that plays a run's results.
void addViewCommand(CLI::App& app, AppContext& context);
/// `drapeon types`: every object type with its parameters.
void addTypesCommand(CLI::App& app, AppContext& context);
/// `drapeon wedge`: runs a scene with parameters varied; and its hidden `wedge-task`.
void addWedgeCommands(CLI::App& app, AppContext& context);
