#include "description.h"

#include "baseList2D.h"
#include "registry.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

const struct {
    DescValueType type;
    const char* name;
} kTypeNames[] = {
    {DescValueType::FLOAT, "float"},       {DescValueType::INT32, "int32"}, {DescValueType::VECTOR, "vector"},
    {DescValueType::LINK, "link"},         {DescValueType::FILENAME, "filename"},
    {DescValueType::BUTTON, "button"},
};

DescValueType parseType(const std::string& text) {
    for (const auto& t : kTypeNames)
        if (text == t.name) return t.type;
    throw std::runtime_error("unknown type \"" + text + "\" (use float, int32, vector, link, filename or button)");
}

GeData parseDefault(const nlohmann::json& value, DescValueType type) {
    if (value.is_null()) return GeData();
    switch (type) {
        case DescValueType::FLOAT:
            if (!value.is_number()) throw std::runtime_error("the default of a float must be a number");
            return GeData(value.get<double>());
        case DescValueType::INT32:
            if (!value.is_number_integer()) throw std::runtime_error("the default of an int32 must be an integer");
            return GeData(static_cast<Int32>(value.get<int64_t>()));
        case DescValueType::VECTOR:
            if (!value.is_array() || value.size() != 3 || !value[0].is_number() || !value[1].is_number() ||
                !value[2].is_number())
                throw std::runtime_error("the default of a vector must be an array of three numbers");
            return GeData(Vector(value[0].get<double>(), value[1].get<double>(), value[2].get<double>()));
        case DescValueType::FILENAME:
            if (!value.is_string()) throw std::runtime_error("the default of a filename must be a text");
            return GeData(Filename(value.get<std::string>()));
        case DescValueType::LINK:
        case DescValueType::BUTTON:
            throw std::runtime_error("a link or a button has no default");
    }
    return GeData();
}

}  // namespace

const char* DescValueTypeName(DescValueType type) {
    for (const auto& t : kTypeNames)
        if (t.type == type) return t.name;
    return "?";
}

Bool DescParameter::Accepts(Int32 nodeType) const {
    if (accepts.empty()) return true;
    // Instance test without a node: a polygon object is also a point object.
    for (const Int32 a : accepts)
        if (a == nodeType || (a == Opoint && nodeType == Opolygon)) return true;
    return false;
}

const DescParameter* Description::Find(Int32 id) const {
    for (const DescParameter& p : parameters_)
        if (p.id == id) return &p;
    return nullptr;
}

const DescParameter* Description::Find(const std::string& name) const {
    for (const DescParameter& p : parameters_)
        if (p.name == name) return &p;
    return nullptr;
}

Bool Description::Parse(const std::string& name, const std::string& jsonText, Description& out, std::string& error) {
    Description d;
    d.name_ = name;
    std::string where = "description \"" + name + "\"";
    try {
        const nlohmann::json j = nlohmann::json::parse(jsonText);
        if (!j.is_object() || !j.contains("parameters") || !j["parameters"].is_array())
            throw std::runtime_error("expected an object with a \"parameters\" array");
        std::set<Int32> ids;
        std::set<std::string> names;
        size_t index = 0;
        for (const nlohmann::json& p : j["parameters"]) {
            where = "description \"" + name + "\", parameter " + std::to_string(index++);
            if (!p.is_object()) throw std::runtime_error("a parameter must be an object");
            DescParameter dp;
            if (!p.contains("id") || !p["id"].is_number_integer()) throw std::runtime_error("\"id\" must be an integer");
            dp.id = static_cast<Int32>(p["id"].get<int64_t>());
            if (!p.contains("name") || !p["name"].is_string()) throw std::runtime_error("\"name\" must be a text");
            dp.name = p["name"].get<std::string>();
            where += " (" + dp.name + ")";
            if (!p.contains("type") || !p["type"].is_string()) throw std::runtime_error("\"type\" must be a text");
            dp.type = parseType(p["type"].get<std::string>());
            if (p.contains("default")) dp.defaultValue = parseDefault(p["default"], dp.type);
            if (p.contains("meaning")) {
                if (!p["meaning"].is_string()) throw std::runtime_error("\"meaning\" must be a text");
                dp.meaning = p["meaning"].get<std::string>();
            }
            if (p.contains("accepts")) {
                if (dp.type != DescValueType::LINK) throw std::runtime_error("only a link may list \"accepts\"");
                if (!p["accepts"].is_array()) throw std::runtime_error("\"accepts\" must be an array of type ids");
                for (const nlohmann::json& a : p["accepts"]) {
                    if (!a.is_number_integer()) throw std::runtime_error("\"accepts\" must hold integer type ids");
                    dp.accepts.push_back(static_cast<Int32>(a.get<int64_t>()));
                }
            }
            if (!ids.insert(dp.id).second) throw std::runtime_error("the id " + std::to_string(dp.id) + " is repeated");
            if (!names.insert(dp.name).second) throw std::runtime_error("the name is repeated");
            d.parameters_.push_back(std::move(dp));
        }
    } catch (const std::exception& e) {
        error = where + ": " + e.what();
        return false;
    }
    out = std::move(d);
    return true;
}

Bool Description::Load(const std::string& name, const Filename& file, Description& out, std::string& error) {
    std::ifstream in(file.GetString().GetStd(), std::ios::binary);
    if (!in) {
        error = "cannot read the description file " + file.GetString().GetStd();
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!Parse(name, text.str(), out, error)) {
        error = file.GetString().GetStd() + ": " + error;
        return false;
    }
    return true;
}

const Description* Description::ForType(Int32 typeId) {
    const RegisteredType* t = PluginRegistry::Find(typeId);
    return t ? t->description.get() : nullptr;
}

const Description* Description::ForName(const std::string& descriptionName) {
    const RegisteredType* t = PluginRegistry::FindByDescription(descriptionName);
    return t ? t->description.get() : nullptr;
}
