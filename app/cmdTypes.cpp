// `drapeon types`: every object type the loaded plug-ins register, with the
// parameters of its description (name, id, type, default, meaning). With
// --json the same list is one JSON document, for tools that build their
// settings from it (the Blender add-on's parameter table):
//
//   {"types": [{"name": "drapeon", "id": 1038077, "label": "drapeon", "deformer": true,
//               "parameters": [{"name": "DRAPEON_MASS", "id": 1000, "type": "float",
//                               "default": 10.0, "meaning": "...", "accepts": [...]}, ...]}, ...]}
//
// "default" is absent where a parameter has none (links, buttons);
// "accepts" is given for links only; a type whose description failed to
// load has "error" in place of "parameters".
#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

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

/// The default of a parameter as a JSON value; null when it has none.
nlohmann::ordered_json jsonDefault(const DescParameter& parameter) {
    const GeData& value = parameter.defaultValue;
    switch (value.GetType()) {
    case DA::LONG: return value.GetInt32();
    case DA::REAL: return value.GetFloat();
    case DA::VECTOR: {
        const Vector v = value.GetVector();
        return nlohmann::ordered_json::array({v.x, v.y, v.z});
    }
    case DA::STRING:
    case DA::FILENAME: return value.GetString().GetStd();
    case DA::NIL:
    case DA::ALIASLINK: break;
    }
    return nullptr;
}

std::string defaultPluginFolder() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("plugins") : (self.parent_path() / "plugins").string();
}

int runTypes(const std::string& pluginOption, bool asJson) {
    const std::string folder = pluginOption.empty() ? defaultPluginFolder() : pluginOption;
    PluginHost host;
    const bool loaded = host.LoadFolder(folder);
    for (const std::string& message : host.GetErrors()) std::cerr << "drapeon types: " << message << "\n";
    const std::vector<const RegisteredType*> types = PluginRegistry::List();
    size_t listed = 0;
    std::ostringstream out;
    nlohmann::ordered_json listing = nlohmann::ordered_json::array();
    for (const RegisteredType* type : types) {
        if (type->allocator == nullptr) continue;  // menu separators
        ++listed;
        // A registered name may start with a menu order mark ("#$05Wind").
        std::string shownName = type->name.GetStd();
        if (shownName.size() > 4 && shownName.compare(0, 2, "#$") == 0 && std::isdigit(static_cast<unsigned char>(shownName[2])) &&
            std::isdigit(static_cast<unsigned char>(shownName[3])))
            shownName.erase(0, 4);
        if (asJson) {
            nlohmann::ordered_json entry = {{"name", type->descriptionName.GetStd()},
                                    {"id", type->id},
                                    {"label", shownName},
                                    {"deformer", (type->info & OBJECT_MODIFIER) != 0}};
            if (!type->description) {
                entry["error"] = type->descriptionError;
            } else {
                nlohmann::ordered_json parameters = nlohmann::ordered_json::array();
                for (const DescParameter& p : type->description->GetParameters()) {
                    nlohmann::ordered_json item = {{"name", p.name}, {"id", p.id}, {"type", DescValueTypeName(p.type)}};
                    nlohmann::ordered_json def = jsonDefault(p);
                    if (!def.is_null()) item["default"] = std::move(def);
                    item["meaning"] = p.meaning;
                    if (p.type == DescValueType::LINK) item["accepts"] = p.accepts;
                    parameters.push_back(std::move(item));
                }
                entry["parameters"] = std::move(parameters);
            }
            listing.push_back(std::move(entry));
            continue;
        }
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
    if (asJson)
        std::cout << nlohmann::ordered_json{{"types", listing}}.dump(1) << "\n";
    else
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
    auto asJson = std::make_shared<bool>(false);
    types->add_flag("--json", *asJson, "Print the list as one JSON document");
    types->callback([&context, asJson]() {
        int status = 1;
        try {
            status = runTypes(context.pluginDir, *asJson);
        } catch (const std::exception& e) {
            std::cerr << "drapeon types: " << e.what() << "\n";
        }
        if (status != 0) throw CLI::RuntimeError(status);
    });
}
