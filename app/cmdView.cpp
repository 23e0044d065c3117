// `drapeon view`.
#include "commands.h"

#include <CLI/CLI.hpp>

void addViewCommand(CLI::App& app, AppContext&) {
    app.add_subcommand("view", "Write a page that plays a run's results");
}
