// `drapeon types`.
#include "commands.h"

#include <CLI/CLI.hpp>

void addTypesCommand(CLI::App& app, AppContext&) {
    app.add_subcommand("types", "List every object type with its parameters");
}
