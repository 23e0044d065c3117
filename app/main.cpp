// The drapeon program: simulates scene files with the plug-in outside the
// host application, and writes the results for other tools.
#include "commands.h"
#include "sceneCommands.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    AppContext context;
    context.pluginDir = defaultPluginDir();

    CLI::App app{"drapeon: cloth simulation of scene files"};
    app.require_subcommand(1);
    // Global options may also follow the command: "drapeon run s.json --plugins DIR"
    app.fallthrough();
    app.add_option("--plugins", context.pluginDir, "Folder of the plug-in modules (default: plugins next to the program)");
    addRunCommand(app, context);
    addInfoCommand(app, context);
    addClearCacheCommand(app, context);
    addViewCommand(app, context);
    addTypesCommand(app, context);
    addWedgeCommands(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& e) {
        return e.get_exit_code();
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        // Help and version end well; every other command-line problem is a usage error
        return code == 0 ? 0 : kExitBadInput;
    } catch (const std::bad_alloc&) {
        std::cerr << "drapeon: out of memory\n";
        return kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "drapeon: " << e.what() << "\n";
        return kExitFailure;
    }
    return kExitOk;
}
