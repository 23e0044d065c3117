// `drapeon types`: every object type the loaded plug-ins register, with the
// parameters of its description (name, id, type, default, meaning).
#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>

#include <CLI/CLI.hpp>

#include "host.h"

namespace {

std::string formatNumber(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

/// The default of a parameter as a scene file would write it.
std::string formatDefault(const DescParameter& parameter) {
    const GeData& value = parameter.defaultValue;
    switch (value.GetType()) {
    case DA::NIL: return "-";
    case DA::LONG: return std::to_string(value.GetInt32());
    case DA::REAL: return formatNumber(value.GetFloat());
    case DA::VECTOR: {
        const Vector v = value.GetVector();
        return "[" + formatNumber(v.x) + ", " + formatNumber(v.y) + ", " + formatNumber(v.z) + "]";
    }
    case DA::STRING:
    case DA::FILENAME: return "\"" + value.GetString().GetStd() + "\"";
    case DA::ALIASLINK: return "(link)";
    }
    return "-";
}

std::string defaultPluginFolder() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("plugins") : (self.parent_path() / "plugins").string();
}

int runTypes(const std::string& pluginOption) {
    const std::string folder = pluginOption.empty() ? defaultPluginFolder() : pluginOption;
    PluginHost host;
    const bool loaded = host.LoadFolder(folder);
    for (const std::string& message : host.GetErrors()) std::cerr << "drapeon types: " << message << "\n";
    const std::vector<const RegisteredType*> types = PluginRegistry::List();
    size_t listed = 0;
    std::ostringstream out;
    for (const RegisteredType* type : types) {
        if (type->allocator == nullptr) continue;  // menu separators
        ++listed;
        // A registered name may start with a menu order mark ("#$05Wind").
        std::string shownName = type->name.GetStd();
        if (shownName.size() > 4 && shownName.compare(0, 2, "#$") == 0 && std::isdigit(static_cast<unsigned char>(shownName[2])) &&
            std::isdigit(static_cast<unsigned char>(shownName[3])))
            shownName.erase(0, 4);
        out << type->descriptionName.GetStd() << "  (id " << type->id << ", \"" << shownName << "\"";
        if (type->info & OBJECT_MODIFIER) out << ", deformer";
        out << ")\n";
        if (!type->description) {
            out << "    no parameter description: " << type->descriptionError << "\n\n";
            continue;
        }
        const auto& parameters = type->description->GetParameters();
        if (parameters.empty()) out << "    no parameters\n";
        size_t nameWidth = 4, defaultWidth = 7;
        for (const DescParameter& p : parameters) {
            nameWidth = std::max(nameWidth, p.name.size());
            defaultWidth = std::max(defaultWidth, formatDefault(p).size());
        }
        for (const DescParameter& p : parameters) {
            std::string name = p.name, def = formatDefault(p), typeName = DescValueTypeName(p.type);
            name.resize(nameWidth, ' ');
            def.resize(defaultWidth, ' ');
            typeName.resize(8, ' ');
            char id[16];
            std::snprintf(id, sizeof id, "%-6d", p.id);
            out << "    " << name << "  " << id << "  " << typeName << "  " << def << "  " << p.meaning << "\n";
        }
        out << "\n";
    }
    std::cout << out.str();
    host.Shutdown();
    if (listed == 0) {
        std::cerr << "drapeon types: no object type was registered from " << folder
                  << "; give the folder of the plug-in module with --plugins\n";
        return 1;
    }
    return loaded ? 0 : 1;
}

}  // namespace

void addTypesCommand(CLI::App& app, AppContext& context) {
    CLI::App* types = app.add_subcommand("types", "List every object type with its parameters (name, id, type, "
                                                  "default, meaning)");
    types->callback([&context]() {
        int status = 1;
        try {
            status = runTypes(context.pluginDir);
        } catch (const std::exception& e) {
            std::cerr << "drapeon types: " << e.what() << "\n";
        }
        if (status != 0) throw CLI::RuntimeError(status);
    });
}
