#include "wedge.h"

#include "fileWrite.h"
#include "objWriter.h"
#include "runOutputs.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string wedgeNumber(double value) {
    // The shortest text that reads back as the same number
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

namespace {

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return std::string();
    const size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

/// A whole finite number; false when the text is anything else.
bool readNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && errno != ERANGE && std::isfinite(value);
}

bool readCount(const std::string& text, long& count) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 6) return false;
    count = std::stol(text);
    return true;
}

/// Every object item of the scene's JSON, depth first in file order: the
/// order in which the loader creates them, so index i is scene.objects[i].
template <typename Json>
void collectItems(Json& list, std::vector<Json*>& out) {
    if (!list.is_array()) return;
    for (auto& item : list) {
        out.push_back(&item);
        if (item.is_object() && item.contains("children")) collectItems(item["children"], out);
    }
}

template <typename Json>
std::vector<Json*> objectItems(Json& root) {
    std::vector<Json*> out;
    if (root.is_object() && root.contains("objects")) collectItems(root["objects"], out);
    return out;
}

/// True when `key` of a "params" or "animation" object names the parameter.
bool namesParameter(const std::string& key, const WedgeAxis& axis) {
    return key == axis.parameterName || key == std::to_string(axis.parameterId);
}

/// The error of the scene loader without the file name it starts with.
std::string withoutFileName(const std::string& error, const fs::path& file) {
    const std::string prefix = file.string() + ": ";
    return error.rfind(prefix, 0) == 0 ? error.substr(prefix.size()) : error;
}

}  // namespace

bool parseVary(const std::string& option, std::string& path, std::string& parameter, std::vector<double>& values,
               std::string& error) {
    // Object names may hold '.' and '=' ("Sheet.001"); values never do, nor parameter names
    const size_t equals = option.rfind('=');
    if (equals == std::string::npos) {
        error = "expected PATH.PARAMETER=V1,V2,... or PATH.PARAMETER=A:B:COUNT";
        return false;
    }
    const std::string target = trim(option.substr(0, equals));
    const size_t dot = target.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == target.size()) {
        error = "\"" + target + "\" is not OBJECT.PARAMETER; give the object's path as \"drapeon info\" shows it, "
                "a dot and the parameter's name or id, e.g. Sheet/Cloth.DRAPEON_STIFFNESS";
        return false;
    }
    path = target.substr(0, dot);
    parameter = target.substr(dot + 1);
    values.clear();
    const std::string list = option.substr(equals + 1);
    if (trim(list).empty()) {
        error = "no values after '='";
        return false;
    }
    std::stringstream items(list);
    for (std::string raw; std::getline(items, raw, ',');) {
        const std::string item = trim(raw);
        if (item.empty()) {
            error = "an empty value in \"" + list + "\"";
            return false;
        }
        if (item.find(':') == std::string::npos) {
            double v = 0.0;
            if (!readNumber(item, v)) {
                error = "\"" + item + "\" is not a finite number";
                return false;
            }
            values.push_back(v);
            continue;
        }
        // A range A:B:COUNT, both ends included
        std::vector<std::string> parts;
        std::stringstream range(item);
        for (std::string p; std::getline(range, p, ':');) parts.push_back(trim(p));
        double a = 0.0, b = 0.0;
        long count = 0;
        if (parts.size() != 3 || item.back() == ':' || !readNumber(parts[0], a) || !readNumber(parts[1], b) ||
            !readCount(parts[2], count) || count < 1) {
            error = "\"" + item + "\" is not a range A:B:COUNT (two numbers and a count of at least 1, e.g. 10:50:5)";
            return false;
        }
        for (long i = 0; i < count; ++i)
            values.push_back(count == 1 ? a : (i + 1 == count ? b : a + (b - a) * double(i) / double(count - 1)));
    }
    std::set<double> seen;
    for (const double v : values)
        if (!seen.insert(v).second) {
            error = "the value " + wedgeNumber(v) + " is given twice; every variant would run twice";
            return false;
        }
    return true;
}

bool resolveAxes(const std::vector<std::string>& varyOptions, const Scene& scene, const json& root,
                 std::vector<WedgeAxis>& axes, std::string& error) {
    const std::vector<const json*> items = objectItems(root);
    if (items.size() != scene.objects.size()) {
        error = "cannot match the scene's objects to its file";
        return false;
    }
    std::vector<std::string> allPaths;
    for (const SceneObject& so : scene.objects) allPaths.push_back(so.path);
    axes.clear();
    for (const std::string& option : varyOptions) {
        const std::string named = "--vary " + option + ": ";
        WedgeAxis axis;
        axis.option = option;
        std::string parameter;
        if (!parseVary(option, axis.objectPath, parameter, axis.values, error)) {
            error = named + error;
            return false;
        }
        size_t found = scene.objects.size(), matches = 0;
        for (size_t i = 0; i < scene.objects.size(); ++i)
            if (scene.objects[i].path == axis.objectPath) found = i, ++matches;
        if (matches == 0) {
            const std::string near = nearestName(axis.objectPath, allPaths);
            error = named + "the scene has no object \"" + axis.objectPath + "\"" +
                    (near.empty() ? std::string() : " (did you mean \"" + near + "\"?)") +
                    "; \"drapeon info " + scene.file.string() + "\" shows the object paths";
            return false;
        }
        if (matches > 1) {
            error = named + std::to_string(matches) + " objects have the path \"" + axis.objectPath +
                    "\"; give them different names in the scene";
            return false;
        }
        const SceneObject& so = scene.objects[found];
        const Description* d = so.object->GetNodeData() != nullptr ? Description::ForType(so.object->GetType()) : nullptr;
        if (d == nullptr) {
            error = named + "\"" + axis.objectPath + "\" is a " + so.typeName + " object, which has no parameters";
            return false;
        }
        const bool numeric = !parameter.empty() && parameter.size() < 10 &&
                             parameter.find_first_not_of("0123456789") == std::string::npos;
        const DescParameter* dp = numeric ? d->Find(std::stoi(parameter)) : d->Find(parameter);
        if (dp == nullptr) {
            std::vector<std::string> names;
            for (const DescParameter& q : d->GetParameters()) names.push_back(q.name);
            const std::string near = numeric ? std::string() : nearestName(parameter, names);
            error = named + "\"" + d->GetName() + "\" has no parameter " + (numeric ? "with the id " : "") + "\"" +
                    parameter + "\"" + (near.empty() ? std::string() : " (did you mean \"" + near + "\"?)") +
                    "; see \"drapeon types\" for its parameters";
            return false;
        }
        if (dp->type != DescValueType::FLOAT && dp->type != DescValueType::INT32) {
            error = named + dp->name + " is a " + DescValueTypeName(dp->type) +
                    " parameter; only float and int32 parameters can be varied";
            return false;
        }
        axis.parameterName = dp->name;
        axis.parameterId = dp->id;
        axis.integer = dp->type == DescValueType::INT32;
        for (const WedgeAxis& other : axes)
            if (other.objectPath == axis.objectPath && other.parameterId == axis.parameterId) {
                error = named + "the same parameter as --vary " + other.option + "; give all its values in one --vary";
                return false;
            }
        const json& item = *items[found];
        if (item.contains("animation") && item["animation"].is_object())
            for (const auto& [key, track] : item["animation"].items()) {
                (void)track;
                if (namesParameter(key, axis)) {
                    error = named + dp->name + " of \"" + axis.objectPath +
                            "\" is animated in the scene; its keys would override every value. Remove its "
                            "animation or vary another parameter";
                    return false;
                }
            }
        for (const double v : axis.values) {
            if (axis.integer && (v != std::floor(v) || v < -2147483648.0 || v > 2147483647.0)) {
                error = named + dp->name + " takes whole numbers from -2147483648 to 2147483647; " + wedgeNumber(v) +
                        " is not one";
                return false;
            }
            axis.texts.push_back(wedgeNumber(v));
        }
        // Each value in a scene of its own: the loader checks it as it checks a scene file
        for (size_t i = 0; i < axis.values.size(); ++i) {
            const std::vector<WedgeAxis> one{axis};
            const json text = variantScene(root, scene, one, {i}, scene.folder);
            Scene check;
            std::string loadError;
            if (!loadSceneText(text.dump(), scene.file, check, loadError)) {
                error = named + "the value " + axis.texts[i] + ": " + withoutFileName(loadError, scene.file);
                return false;
            }
        }
        axes.push_back(std::move(axis));
    }
    return true;
}

size_t variantCount(const std::vector<WedgeAxis>& axes) {
    size_t n = 1;
    for (const WedgeAxis& a : axes) n *= a.values.size();
    return n;
}

std::vector<size_t> variantChoice(const std::vector<WedgeAxis>& axes, size_t k) {
    std::vector<size_t> choice(axes.size());
    for (size_t i = axes.size(); i-- > 0;) {
        choice[i] = k % axes[i].values.size();
        k /= axes[i].values.size();
    }
    return choice;
}

json variantScene(const json& root, const Scene& scene, const std::vector<WedgeAxis>& axes,
                  const std::vector<size_t>& choice, const fs::path& baseFolder) {
    json out = root;
    std::vector<json*> items = objectItems(out);
    const auto input = [&](json& name) {
        if (!name.is_string()) return;
        const fs::path p(name.get<std::string>());
        if (!p.empty() && p.is_relative()) name = (baseFolder / p).lexically_normal().string();
    };
    for (size_t i = 0; i < items.size() && i < scene.objects.size(); ++i) {
        json& item = *items[i];
        if (!item.is_object()) continue;
        if (item.contains("mesh") && item["mesh"].is_object() && item["mesh"].contains("obj")) input(item["mesh"]["obj"]);
        if (item.contains("animation") && item["animation"].is_object() && item["animation"].contains("points") &&
            item["animation"]["points"].is_array())
            for (json& key : item["animation"]["points"])
                if (key.is_array() && key.size() == 2) input(key[1]);
        // File-name parameters are outputs (the cache): each variant keeps its own
        const BaseObject* op = scene.objects[i].object;
        const Description* d = op->GetNodeData() != nullptr ? Description::ForType(op->GetType()) : nullptr;
        if (d == nullptr || !item.contains("params") || !item["params"].is_object()) continue;
        for (auto& [key, value] : item["params"].items()) {
            const bool numeric = !key.empty() && key.size() < 10 && key.find_first_not_of("0123456789") == std::string::npos;
            const DescParameter* dp = numeric ? d->Find(std::stoi(key)) : d->Find(key);
            if (dp == nullptr || dp->type != DescValueType::FILENAME || !value.is_string()) continue;
            const fs::path p(value.get<std::string>());
            if (p.empty()) continue;
            const fs::path normal = p.lexically_normal();
            const bool inside = p.is_relative() && !normal.empty() && *normal.begin() != "..";
            value = ((inside ? fs::path() : fs::path("cache")) / (inside ? normal : p.filename())).string();
        }
    }
    for (size_t a = 0; a < axes.size(); ++a) {
        const WedgeAxis& axis = axes[a];
        for (size_t i = 0; i < scene.objects.size() && i < items.size(); ++i) {
            if (scene.objects[i].path != axis.objectPath) continue;
            json& params = (*items[i])["params"];
            if (!params.is_object()) params = json::object();
            for (auto it = params.begin(); it != params.end();)
                it = namesParameter(it.key(), axis) ? params.erase(it) : std::next(it);
            const double v = axis.values[choice[a]];
            if (axis.integer)
                params[axis.parameterName] = static_cast<std::int64_t>(v);
            else
                params[axis.parameterName] = v;
        }
    }
    return out;
}

std::vector<std::string> finishedFiles(const Scene& scene) {
    // The names drapeon run gives its files, by the same plan
    std::vector<std::string> files;
    const RunOutputs outputs = planOutputs(scene, scene.firstFrame, scene.lastFrame);
    for (const ExportObject& o : outputs.objects) {
        if (!o.simulated) continue;
        files.push_back(frameFileName(o.fileStem, scene.lastFrame));
        if (o.polygonObject) {
            files.push_back(o.fileStem + ".pc2");
            files.push_back(o.fileStem + ".rest.obj");
        }
    }
    files.push_back("scene.glb");  // every variant's scene file is scene.json
    files.push_back("viewer-data.bin");
    return files;
}

bool readWedgeStatus(const fs::path& variantDir, WedgeStatus& status) {
    status = WedgeStatus();
    std::ifstream in(variantDir / "status.json");
    if (!in) return false;
    try {
        const json j = json::parse(in);
        status.status = j.value("status", "");
        status.exitCode = j.value("exitCode", -1);
        status.seconds = j.value("seconds", 0.0);
        status.peakMemoryKiB = j.value("peakMemoryKiB", 0L);
        status.host = j.value("host", "");
        status.message = j.value("message", "");
        return true;
    } catch (const std::exception&) {
        status = WedgeStatus();
        return false;
    }
}

bool writeWedgeStatus(const fs::path& variantDir, const WedgeStatus& status, std::string& error) {
    json j;
    j["status"] = status.status;
    j["exitCode"] = status.exitCode;
    j["seconds"] = status.seconds;
    j["peakMemoryKiB"] = status.peakMemoryKiB;
    j["host"] = status.host;
    if (!status.message.empty()) j["message"] = status.message;
    const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    return writeFileAtomically(variantDir / "status.json", {text}, error);
}

bool variantFinished(const fs::path& variantDir, const std::vector<std::string>& files) {
    WedgeStatus status;
    if (!readWedgeStatus(variantDir, status) || status.status != "done" || status.exitCode != 0) return false;
    std::error_code ec;
    for (const std::string& f : files)
        if (!fs::is_regular_file(variantDir / f, ec)) return false;
    return true;
}

bool readWedgeFile(const fs::path& dir, json& wedge, std::string& error) {
    const fs::path file = dir / "wedge.json";
    std::ifstream in(file);
    if (!in) {
        error = "cannot read " + file.string() + "; is " + dir.string() + " the --out folder of a wedge?";
        return false;
    }
    try {
        wedge = json::parse(in);
        if (!wedge.is_object() || !wedge.contains("variants") || !wedge["variants"].is_array() ||
            !wedge.contains("vary") || !wedge["vary"].is_array())
            throw std::runtime_error("\"variants\" or \"vary\" is missing");
    } catch (const std::exception& e) {
        error = file.string() + " is not a wedge file of drapeon (" + e.what() + ")";
        return false;
    }
    return true;
}
