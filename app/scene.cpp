#include "scene.h"

#include "sceneCheck.h"
#include "sceneMesh.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <set>
#include <stdexcept>

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string Scene::PathOf(const BaseList2D* node) const {
    const auto it = paths.find(node);
    return it == paths.end() ? std::string() : it->second;
}

std::string nearestName(const std::string& word, const std::vector<std::string>& candidates) {
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    // Edit distance in half units: a change of case alone costs 1, any other
    // edit 2, so "drgravity" is nearer to "drGravity" than to anything else.
    auto distance = [&](const std::string& a, const std::string& b) {
        const std::string la = lower(a), lb = lower(b);
        std::vector<size_t> row(b.size() + 1), next(b.size() + 1);
        for (size_t j = 0; j <= b.size(); ++j) row[j] = 2 * j;
        for (size_t i = 1; i <= a.size(); ++i) {
            next[0] = 2 * i;
            for (size_t j = 1; j <= b.size(); ++j) {
                const size_t change = a[i - 1] == b[j - 1] ? 0 : (la[i - 1] == lb[j - 1] ? 1 : 2);
                next[j] = std::min({row[j] + 2, next[j - 1] + 2, row[j - 1] + change});
            }
            std::swap(row, next);
        }
        return row[b.size()];
    };
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const std::string& c : candidates) {
        const size_t d = distance(word, c);
        if (d < bestDistance) {
            bestDistance = d;
            best = c;
        }
    }
    // Close enough: at most a third of the longer word wrong (two edits at least)
    const size_t allowed = 2 * std::max<size_t>(2, std::max(word.size(), best.size()) / 3);
    return bestDistance <= allowed ? best : std::string();
}

namespace {

/// A problem in the scene: the message without the file name.
struct SceneError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& message) { throw SceneError(message); }

std::string suggestion(const std::string& word, const std::vector<std::string>& candidates) {
    const std::string near = nearestName(word, candidates);
    return near.empty() ? std::string() : " (did you mean \"" + near + "\"?)";
}

std::string kindOf(const json& v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "a boolean";
        case json::value_t::string: return "a text";
        case json::value_t::array: return "an array";
        case json::value_t::object: return "an object";
        case json::value_t::number_float: return "a number with a fraction";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned: return "an integer";
        default: return "an unsupported value";
    }
}

double number(const json& v, const std::string& where) {
    if (!v.is_number()) fail(where + ": expected a number, got " + kindOf(v));
    const double d = v.get<double>();
    if (!std::isfinite(d)) fail(where + ": the number is not finite");
    // The simulation holds positions, parameters and times as 32-bit floats
    if (std::fabs(d) > static_cast<double>(FLT_MAX))
        fail(where + ": " + v.dump() + " is beyond the range of 32-bit floats (-3.4e38 to 3.4e38) in which the " +
             "simulation holds its numbers");
    return d;
}

Int64 integer(const json& v, const std::string& where, Int64 lo, Int64 hi) {
    if (!v.is_number_integer()) fail(where + ": expected an integer, got " + kindOf(v));
    if (v.is_number_unsigned() && v.get<UInt64>() > static_cast<UInt64>(hi))
        fail(where + ": " + std::to_string(v.get<UInt64>()) + " is above " + std::to_string(hi));
    const Int64 i = v.get<Int64>();
    if (i < lo || i > hi)
        fail(where + ": " + std::to_string(i) + " is outside " + std::to_string(lo) + " to " + std::to_string(hi));
    return i;
}

Vector vec3(const json& v, const std::string& where) {
    if (!v.is_array() || v.size() != 3) fail(where + ": expected an array of three numbers, got " + kindOf(v));
    return Vector(number(v[0], where + "[0]"), number(v[1], where + "[1]"), number(v[2], where + "[2]"));
}

const std::string& text(const json& v, const std::string& where) {
    if (!v.is_string()) fail(where + ": expected a text, got " + kindOf(v));
    return v.get_ref<const std::string&>();
}

const json& objectValue(const json& v, const std::string& where) {
    if (!v.is_object()) fail(where + ": expected an object, got " + kindOf(v));
    return v;
}

const json& arrayValue(const json& v, const std::string& where) {
    if (!v.is_array()) fail(where + ": expected an array, got " + kindOf(v));
    return v;
}

/// Refuses keys outside `allowed`, naming the nearest allowed one.
void checkKeys(const json& o, const std::vector<std::string>& allowed, const std::string& where) {
    for (const auto& [key, value] : o.items()) {
        (void)value;
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end())
            fail(where + ": unknown key \"" + key + "\"" + suggestion(key, allowed));
    }
}

const char* typeText(Int32 type) {
    switch (type) {
        case Opolygon: return "polygon object";
        case Opoint: return "point object";
        case Onull: return "null object";
        case Tpointselection: return "point selection tag";
        case Tvertexmap: return "vertex map tag";
        case Obase: return "object";
        case Tbase: return "tag";
        default: return nullptr;
    }
}

std::string describeType(Int32 type) {
    if (const char* t = typeText(type)) return t;
    if (const RegisteredType* rt = PluginRegistry::Find(type)) return "\"" + rt->descriptionName.GetStd() + "\" object";
    return "type " + std::to_string(type);
}

/// Builds one scene; throws SceneError with a message naming the place.
class Loader {
public:
    Loader(Scene& scene, const SceneLimits& limits) : scene_(scene), limits_(limits) {}

    void build(const json& root) {
        objectValue(root, "the scene");
        checkKeys(root, {"fps", "frames", "objects", "comment"}, "the scene");
        if (root.contains("fps")) scene_.fps = static_cast<Int32>(integer(root["fps"], "\"fps\"", 1, 1000));
        if (root.contains("frames")) {
            const json& f = root["frames"];
            if (!f.is_array() || f.size() != 2) fail("\"frames\": expected [first, last], got " + kindOf(f));
            scene_.firstFrame = static_cast<Int32>(integer(f[0], "\"frames\"[0]", -1000000, 1000000));
            scene_.lastFrame = static_cast<Int32>(integer(f[1], "\"frames\"[1]", -1000000, 1000000));
            if (scene_.lastFrame < scene_.firstFrame)
                fail("\"frames\": the last frame " + std::to_string(scene_.lastFrame) + " comes before the first " +
                     std::to_string(scene_.firstFrame));
        }
        scene_.document.reset(BaseDocument::Alloc());
        scene_.document->SetFps(scene_.fps);
        scene_.document->SetTime(BaseTime(static_cast<Float>(scene_.firstFrame), static_cast<Float>(scene_.fps)));

        // First the tree with meshes and tags, then what may refer to any
        // object: parameters (links) and animation.
        if (root.contains("objects")) {
            const json& objects = arrayValue(root["objects"], "\"objects\"");
            for (size_t i = 0; i < objects.size(); ++i) create(objects[i], nullptr, "", i, 0);
        }
        for (const Pending& p : pending_) setParameters(p);
        for (const Pending& p : pending_) setAnimation(p);

        for (BaseObject* op : scene_.document->GetObjectsDepthFirst()) {
            const auto it = typeNames_.find(op);
            scene_.objects.push_back({op, scene_.PathOf(op), it == typeNames_.end() ? "" : it->second});
        }
    }

private:
    struct Pending {
        const json* item;
        BaseObject* object;
        std::string path;
        std::string where;  ///< "object "path""
        bool placedByMatrix;
    };

    static constexpr Int32 kMaxDepth = 256;

    // --- Types --------------------------------------------------------------

    /// The type id of a "type" value, and the name the scene knows it by.
    Int32 resolveType(const json& v, const std::string& where, std::string& typeName) {
        if (v.is_string()) {
            const std::string& name = v.get_ref<const std::string&>();
            if (name == "polygon") { typeName = name; return Opolygon; }
            if (name == "points") { typeName = name; return Opoint; }
            if (name == "null") { typeName = name; return Onull; }
            if (const RegisteredType* rt = PluginRegistry::FindByDescription(name); rt && rt->allocator) {
                typeName = name;
                return rt->id;
            }
            // A plug-in id given as text
            if (!name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                name.size() < 10)
                return pluginById(std::stoi(name), where, typeName);
            std::vector<std::string> known = {"polygon", "points", "null"};
            for (const RegisteredType* rt : PluginRegistry::List())
                if (rt->allocator) known.push_back(rt->descriptionName.GetStd());
            fail(where + ": unknown type \"" + name + "\"" + suggestion(name, known) +
                 "; the types are polygon, points, null and the plug-in types (see \"drapeon types\")");
        }
        if (v.is_number_integer()) return pluginById(static_cast<Int32>(integer(v, where + ": type", 1, INT32_MAX)), where, typeName);
        fail(where + ": \"type\" must be a type name or a plug-in id, got " + kindOf(v));
    }

    Int32 pluginById(Int32 id, const std::string& where, std::string& typeName) {
        const RegisteredType* rt = PluginRegistry::Find(id);
        if (rt == nullptr)
            fail(where + ": no plug-in type has the id " + std::to_string(id) +
                 "; check the id or load the plug-in that registers it (--plugins)");
        if (rt->allocator == nullptr) fail(where + ": the plug-in id " + std::to_string(id) + " is not an object type");
        typeName = rt->descriptionName.GetStd();
        return id;
    }

    // --- Tree -----------------------------------------------------------------

    void create(const json& item, BaseObject* parent, const std::string& parentPath, size_t index, Int32 depth) {
        const std::string slot = (parentPath.empty() ? std::string("\"objects\"") : "the children of \"" + parentPath + "\"") +
                                 "[" + std::to_string(index) + "]";
        if (depth >= kMaxDepth) fail(slot + ": objects are nested deeper than " + std::to_string(kMaxDepth) + " levels");
        objectValue(item, slot);
        countNode(slot);
        checkKeys(item, {"type", "name", "position", "rotation", "scale", "matrix", "mesh", "params", "tags",
                         "animation", "children", "comment"},
                  slot);
        if (!item.contains("type")) fail(slot + ": the object has no \"type\"");
        std::string typeName;
        const Int32 type = resolveType(item["type"], slot, typeName);

        // Name and path
        std::string name;
        if (item.contains("name")) {
            name = text(item["name"], slot + ": \"name\"");
            if (name.empty()) fail(slot + ": \"name\" is empty");
            if (name.find('/') != std::string::npos)
                fail(slot + ": the name \"" + name + "\" contains '/', which separates the names of a path");
        } else if (type == Opolygon) {
            name = "Polygon";
        } else if (type == Opoint) {
            name = "Points";
        } else if (type == Onull) {
            name = "Null";
        } else {
            // The display name, without the menu's ordering prefix ("#$00Cloth")
            std::string display = PluginRegistry::Find(type)->name.GetStd();
            if (display.size() > 4 && display.compare(0, 2, "#$") == 0 && std::isdigit(static_cast<unsigned char>(display[2])) &&
                std::isdigit(static_cast<unsigned char>(display[3])))
                display = display.substr(4);
            name = display.empty() || display.find('/') != std::string::npos ? typeName : display;
        }
        const std::string path = parentPath.empty() ? name : parentPath + "/" + name;
        const std::string where = "object \"" + path + "\"";

        BaseObject* op = makeObject(item, type, typeName, where);
        op->SetName(String(name));
        scene_.document->InsertObject(op, parent);
        scene_.paths[op] = path;
        typeNames_[op] = typeName;
        byPath_[path].push_back(op);
        // Created as from the menu: a deformer switches its deform mode on here
        if (op->GetNodeData() != nullptr) op->Message(MSG_MENUPREPARE);

        const bool placedByMatrix = place(item, op, where);
        if (item.contains("tags")) makeTags(item["tags"], op, path, where);
        pending_.push_back({&item, op, path, where, placedByMatrix});

        if (item.contains("children")) {
            const json& children = arrayValue(item["children"], where + ": \"children\"");
            for (size_t i = 0; i < children.size(); ++i) create(children[i], op, path, i, depth + 1);
        }
    }

    BaseObject* makeObject(const json& item, Int32 type, const std::string& typeName, const std::string& where) {
        if (type == Opolygon || type == Opoint) {
            SceneMesh mesh;
            if (item.contains("mesh")) mesh = readMesh(item["mesh"], where + ": \"mesh\"");
            if (type == Opoint && !mesh.polygons.empty())
                fail(where + ": a \"points\" object has no polygons, but its mesh has " +
                     std::to_string(mesh.polygons.size()) + "; use the type \"polygon\"");
            const Int32 n = static_cast<Int32>(mesh.points.size());
            if (type == Opoint) {
                PointObject* po = PointObject::Alloc(n);
                if (n > 0) std::copy(mesh.points.begin(), mesh.points.end(), po->GetPointW());
                return po;
            }
            PolygonObject* po = PolygonObject::Alloc(n, 0);
            if (n > 0) std::copy(mesh.points.begin(), mesh.points.end(), po->GetPointW());
            po->SetPolygons(mesh.polygons);
            return po;
        }
        if (item.contains("mesh")) fail(where + ": only \"polygon\" and \"points\" objects have a \"mesh\"");
        if (type == Onull) return BaseObject::Alloc(Onull);
        BaseObject* op = BaseObject::Alloc(type);
        if (op == nullptr) {
            std::string detail;
            for (const std::string& e : HostTakeErrors()) detail += "; " + e;
            fail(where + ": the plug-in could not create a \"" + typeName + "\" object (its allocator or Init failed" +
                 detail + ")");
        }
        return op;
    }

    SceneMesh readMesh(const json& m, const std::string& where) {
        objectValue(m, where);
        checkKeys(m, {"points", "polygons", "obj", "plane", "sphere"}, where);
        const int forms = (m.contains("points") || m.contains("polygons")) + m.contains("obj") + m.contains("plane") +
                          m.contains("sphere");
        if (forms != 1) fail(where + ": give exactly one of \"points\" (with \"polygons\"), \"obj\", \"plane\" or \"sphere\"");
        SceneMesh mesh;
        if (m.contains("obj")) {
            const fs::path file = resolve(text(m["obj"], where + ".obj"));
            std::string error;
            if (!readObj(file.string(), mesh, error)) fail(where + ": " + error);
            spendPoints(static_cast<Int64>(mesh.points.size()), where + ".obj");
        } else if (m.contains("plane")) {
            const std::string w = where + ".plane";
            const json& p = objectValue(m["plane"], w);
            checkKeys(p, {"width", "height", "segments"}, w);
            const double width = p.contains("width") ? number(p["width"], w + ".width") : 200.0;
            const double height = p.contains("height") ? number(p["height"], w + ".height") : 200.0;
            if (!(width > 0.0) || !(height > 0.0)) fail(w + ": the width and height must be above 0");
            Int64 sx = 10, sz = 10;
            if (p.contains("segments")) {
                const json& s = p["segments"];
                if (s.is_array() && s.size() == 2) {
                    sx = integer(s[0], w + ".segments[0]", 1, kSceneMaxPoints);
                    sz = integer(s[1], w + ".segments[1]", 1, kSceneMaxPoints);
                } else {
                    sx = sz = integer(s, w + ".segments", 1, kSceneMaxPoints);
                }
            }
            if ((sx + 1) * (sz + 1) > kSceneMaxPoints)
                fail(w + ": " + std::to_string((sx + 1) * (sz + 1)) + " points are more than the " +
                     std::to_string(kSceneMaxPoints) + " a mesh may have");
            spendPoints((sx + 1) * (sz + 1), w);
            mesh = makePlane(width, height, static_cast<Int32>(sx), static_cast<Int32>(sz));
        } else if (m.contains("sphere")) {
            const std::string w = where + ".sphere";
            const json& s = objectValue(m["sphere"], w);
            checkKeys(s, {"radius", "segments"}, w);
            const double radius = s.contains("radius") ? number(s["radius"], w + ".radius") : 100.0;
            if (!(radius > 0.0)) fail(w + ": the radius must be above 0");
            const Int64 segments = s.contains("segments") ? integer(s["segments"], w + ".segments", 3, kSceneMaxPoints) : 24;
            if (spherePointCount(static_cast<Int32>(segments)) > kSceneMaxPoints)
                fail(w + ": " + std::to_string(segments) + " segments give more than the " +
                     std::to_string(kSceneMaxPoints) + " points a mesh may have");
            spendPoints(spherePointCount(static_cast<Int32>(segments)), w);
            mesh = makeSphere(radius, static_cast<Int32>(segments));
        } else {
            if (!m.contains("points")) fail(where + ": \"polygons\" without \"points\"");
            const json& points = arrayValue(m["points"], where + ".points");
            if (points.size() > static_cast<size_t>(kSceneMaxPoints))
                fail(where + ".points: more than " + std::to_string(kSceneMaxPoints) + " points");
            spendPoints(static_cast<Int64>(points.size()), where + ".points");
            for (size_t i = 0; i < points.size(); ++i)
                mesh.points.push_back(vec3(points[i], where + ".points[" + std::to_string(i) + "]"));
            if (m.contains("polygons")) {
                const json& polygons = arrayValue(m["polygons"], where + ".polygons");
                const Int64 n = static_cast<Int64>(mesh.points.size());
                for (size_t i = 0; i < polygons.size(); ++i) {
                    const std::string w = where + ".polygons[" + std::to_string(i) + "]";
                    const json& p = polygons[i];
                    if (!p.is_array() || (p.size() != 3 && p.size() != 4))
                        fail(w + ": a polygon is an array of 3 or 4 point indices, got " + kindOf(p));
                    Int32 c[4];
                    for (size_t k = 0; k < p.size(); ++k) {
                        if (!p[k].is_number_integer()) fail(w + ": expected point indices, got " + kindOf(p[k]));
                        const Int64 v = p[k].is_number_unsigned() && p[k].get<UInt64>() > INT32_MAX ? INT64_MAX : p[k].get<Int64>();
                        if (v < 0 || v >= n)
                            fail(w + ": the point index " + p[k].dump() + " is outside the " + std::to_string(n) +
                                 " points (0 to " + std::to_string(n - 1) + ")");
                        c[k] = static_cast<Int32>(v);
                    }
                    mesh.polygons.push_back(p.size() == 3 ? CPolygon(c[0], c[1], c[2]) : CPolygon(c[0], c[1], c[2], c[3]));
                }
            }
        }
        return mesh;
    }

    /// Sets the local matrix; true when it was given as "matrix".
    bool place(const json& item, BaseObject* op, const std::string& where) {
        const bool srt = item.contains("position") || item.contains("rotation") || item.contains("scale");
        if (item.contains("matrix")) {
            if (srt) fail(where + ": give either \"matrix\" or \"position\"/\"rotation\"/\"scale\", not both");
            const std::string w = where + ": \"matrix\"";
            const json& m = objectValue(item["matrix"], w);
            checkKeys(m, {"offset", "x", "y", "z"}, w);
            Matrix ml;
            if (m.contains("offset")) ml.off = vec3(m["offset"], w + ".offset");
            if (m.contains("x")) ml.v1 = vec3(m["x"], w + ".x");
            if (m.contains("y")) ml.v2 = vec3(m["y"], w + ".y");
            if (m.contains("z")) ml.v3 = vec3(m["z"], w + ".z");
            op->SetMl(ml);
            return true;
        }
        Animation& a = op->GetAnimation();
        if (item.contains("position")) a.restPosition = vec3(item["position"], where + ": \"position\"");
        if (item.contains("rotation")) a.restRotation = vec3(item["rotation"], where + ": \"rotation\"");
        if (item.contains("scale")) a.restScale = vec3(item["scale"], where + ": \"scale\"");
        op->SetMl(restMatrix(a));
        return false;
    }

    /// The local matrix of the rest values: scale, then rotate about X, Y, Z (degrees), then move.
    static Matrix restMatrix(const Animation& a) {
        constexpr double degrees = 3.14159265358979323846 / 180.0;
        const Vector r = a.restRotation * degrees;
        return MatrixMove(a.restPosition) * MatrixRotZ(r.z) * MatrixRotY(r.y) * MatrixRotX(r.x) * MatrixScale(a.restScale);
    }

    void makeTags(const json& tags, BaseObject* op, const std::string& path, const std::string& where) {
        arrayValue(tags, where + ": \"tags\"");
        if (!op->IsInstanceOf(Opoint) && !tags.empty())
            fail(where + ": only \"polygon\" and \"points\" objects have tags (they select points)");
        const Int32 n = op->IsInstanceOf(Opoint) ? ToPoint(op)->GetPointCount() : 0;
        std::set<std::string> names;
        for (size_t t = 0; t < tags.size(); ++t) {
            const std::string w = where + ": \"tags\"[" + std::to_string(t) + "]";
            const json& tag = objectValue(tags[t], w);
            countNode(w);
            checkKeys(tag, {"type", "name", "points", "weights", "comment"}, w);
            if (!tag.contains("type")) fail(w + ": the tag has no \"type\" (pointSelection or vertexMap)");
            const std::string& type = text(tag["type"], w + ".type");
            std::string name = type;
            if (tag.contains("name")) {
                name = text(tag["name"], w + ".name");
                if (name.empty() || name.find(':') != std::string::npos)
                    fail(w + ": a tag name must be non-empty and must not contain ':'");
            }
            if (!names.insert(name).second)
                fail(w + ": the object already has a tag named \"" + name + "\"; links could not tell them apart");
            BaseTag* made = nullptr;
            if (type == "pointSelection") {
                if (tag.contains("weights")) fail(w + ": a point selection has \"points\", not \"weights\"");
                auto* sel = static_cast<SelectionTag*>(BaseTag::Alloc(Tpointselection));
                made = sel;
                op->InsertTag(sel);
                if (tag.contains("points")) {
                    const json& points = arrayValue(tag["points"], w + ".points");
                    for (size_t i = 0; i < points.size(); ++i) {
                        const std::string wi = w + ".points[" + std::to_string(i) + "]";
                        const json& e = points[i];
                        Int64 a = 0, b = 0;
                        if (e.is_array()) {
                            if (e.size() != 2) fail(wi + ": a range is [first, last]");
                            a = pointIndex(e[0], n, wi + "[0]");
                            b = pointIndex(e[1], n, wi + "[1]");
                            if (b < a) fail(wi + ": the range ends before it starts");
                        } else {
                            a = b = pointIndex(e, n, wi);
                        }
                        sel->GetBaseSelect()->SelectRange(static_cast<Int32>(a), static_cast<Int32>(b));
                    }
                }
            } else if (type == "vertexMap") {
                if (tag.contains("points")) fail(w + ": a vertex map has \"weights\", not \"points\"");
                spendPoints(n, w);
                auto* map = static_cast<VariableTag*>(BaseTag::Alloc(Tvertexmap));
                made = map;
                op->InsertTag(map);
                map->Resize(n);
                if (tag.contains("weights")) {
                    const json& weights = arrayValue(tag["weights"], w + ".weights");
                    if (static_cast<Int64>(weights.size()) != n)
                        fail(w + ".weights: " + std::to_string(weights.size()) + " weights for " + std::to_string(n) +
                             " points; give one weight per point");
                    for (Int32 i = 0; i < n; ++i)
                        map->GetDataAddressW()[i] =
                            static_cast<Float32>(number(weights[static_cast<size_t>(i)], w + ".weights[" + std::to_string(i) + "]"));
                }
            } else {
                fail(w + ": unknown tag type \"" + type + "\"" + suggestion(type, {"pointSelection", "vertexMap"}));
            }
            made->SetName(String(name));
            const std::string tagPath = path + ":" + name;
            scene_.paths[made] = tagPath;
            tagsByPath_[tagPath] = made;
        }
    }

    static Int64 pointIndex(const json& v, Int32 n, const std::string& where) {
        if (!v.is_number_integer()) fail(where + ": expected a point index, got " + kindOf(v));
        const Int64 i = v.is_number_unsigned() && v.get<UInt64>() > INT32_MAX ? INT64_MAX : v.get<Int64>();
        if (i < 0 || i >= n)
            fail(where + ": the point index " + v.dump() + " is outside the " + std::to_string(n) + " points" +
                 (n > 0 ? " (0 to " + std::to_string(n - 1) + ")" : ""));
        return i;
    }

    // --- Parameters -------------------------------------------------------

    /// The described parameter a "params" or "animation" key names.
    const DescParameter& parameter(const Pending& p, const std::string& key, const std::string& where) {
        const Int32 type = p.object->GetType();
        if (p.object->GetNodeData() == nullptr)
            fail(where + ": a " + describeType(type) + " has no parameters; only plug-in objects have them");
        const Description* d = Description::ForType(type);
        if (d == nullptr) {
            const RegisteredType* rt = PluginRegistry::Find(type);
            fail(where + ": the type \"" + rt->descriptionName.GetStd() + "\" has no parameter description (" +
                 rt->descriptionError + "), so its parameters cannot be set");
        }
        const DescParameter* dp = nullptr;
        const bool numeric = !key.empty() && key.size() < 10 &&
                             std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
        dp = numeric ? d->Find(std::stoi(key)) : d->Find(key);
        if (dp == nullptr) {
            std::vector<std::string> names;
            for (const DescParameter& q : d->GetParameters()) names.push_back(q.name);
            fail(where + ": \"" + d->GetName() + "\" has no parameter " + (numeric ? "with the id " : "") + "\"" + key +
                 "\"" + (numeric ? std::string() : suggestion(key, names)) + "; see \"drapeon types\" for its parameters");
        }
        return *dp;
    }

    void setParameters(const Pending& p) {
        const json& item = *p.item;
        if (!item.contains("params")) return;
        const json& params = objectValue(item["params"], p.where + ": \"params\"");
        BaseContainer* bc = p.object->GetDataInstance();
        for (const auto& [key, value] : params.items()) {
            const std::string w = p.where + ": params." + key;
            const DescParameter& dp = parameter(p, key, w);
            switch (dp.type) {
                case DescValueType::FLOAT: bc->SetFloat(dp.id, number(value, w)); break;
                case DescValueType::INT32: bc->SetInt32(dp.id, int32Value(value, w)); break;
                case DescValueType::VECTOR: bc->SetVector(dp.id, vec3(value, w)); break;
                case DescValueType::FILENAME: {
                    const std::string& name = text(value, w);
                    bc->SetFilename(dp.id, Filename(name.empty() ? std::string() : resolve(name).string()));
                    break;
                }
                case DescValueType::LINK: bc->SetLink(dp.id, link(value, dp, p, w)); break;
                case DescValueType::BUTTON:
                    fail(w + ": " + dp.name + " is a button and holds no value" +
                         (dp.id == 1007 ? "; to delete the cache files use \"drapeon clear-cache\"" : ""));
            }
        }
    }

    static Int32 int32Value(const json& v, const std::string& where) {
        if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
        return static_cast<Int32>(integer(v, where, INT32_MIN, INT32_MAX));
    }

    const BaseList2D* link(const json& v, const DescParameter& dp, const Pending& p, const std::string& where) {
        if (v.is_null()) {
            scene_.links.push_back({p.path, dp.id, dp.name, ""});
            return nullptr;
        }
        objectValue(v, where);
        checkKeys(v, {"object", "tag"}, where);
        if (v.size() != 1) fail(where + ": a link is {\"object\": \"Path/To/Object\"} or {\"tag\": \"Path/To/Object:tagName\"}");
        const BaseList2D* target = nullptr;
        std::string path;
        if (v.contains("object")) {
            path = text(v["object"], where + ".object");
            const auto it = byPath_.find(path);
            if (it == byPath_.end()) {
                std::vector<std::string> all;
                for (const auto& [k, objects] : byPath_) all.push_back(k);
                fail(where + ": no object has the path \"" + path + "\"" + suggestion(path, all) +
                     "; a path names objects from the top, e.g. \"Table/Top\"");
            }
            if (it->second.size() > 1)
                fail(where + ": " + std::to_string(it->second.size()) + " objects have the path \"" + path +
                     "\"; give them different names");
            target = it->second.front();
        } else {
            path = text(v["tag"], where + ".tag");
            const auto it = tagsByPath_.find(path);
            if (it == tagsByPath_.end()) {
                std::vector<std::string> all;
                for (const auto& [k, tag] : tagsByPath_) all.push_back(k);
                fail(where + ": no tag has the path \"" + path + "\"" + suggestion(path, all) +
                     "; a tag path is \"Object/Path:tagName\"");
            }
            const std::string objectPath = path.substr(0, path.rfind(':'));
            if (byPath_[objectPath].size() > 1)
                fail(where + ": " + std::to_string(byPath_[objectPath].size()) + " objects have the path \"" + objectPath +
                     "\"; give them different names");
            target = it->second;
        }
        if (!dp.accepts.empty()) {
            bool ok = false;
            for (const Int32 a : dp.accepts) ok = ok || target->IsInstanceOf(a);
            if (!ok) {
                std::string accepted;
                for (const Int32 a : dp.accepts) accepted += (accepted.empty() ? "" : " or ") + describeType(a);
                fail(where + ": \"" + path + "\" is a " + describeType(target->GetType()) + ", but " + dp.name +
                     " accepts a " + accepted);
            }
        }
        // An object that links a mesh (a collider, a pin) builds its own copy of it
        if (const auto* linked = dynamic_cast<const BaseObject*>(target); linked && linked->IsInstanceOf(Opoint))
            spendPoints(ToPoint(linked)->GetPointCount(), where);
        scene_.links.push_back({p.path, dp.id, dp.name, path});
        return target;
    }

    // --- Animation ----------------------------------------------------------

    void setAnimation(const Pending& p) {
        const json& item = *p.item;
        if (!item.contains("animation")) return;
        const std::string wa = p.where + ": \"animation\"";
        const json& anim = objectValue(item["animation"], wa);
        Animation& a = p.object->GetAnimation();
        for (const auto& [key, track] : anim.items()) {
            const std::string w = wa + "." + key;
            arrayValue(track, w);
            if (track.empty()) fail(w + ": a track needs at least one [frame, value] key");
            if (static_cast<Int64>(track.size()) > limits_.keys)
                fail(w + ": " + std::to_string(track.size()) + " keys, more than the " + std::to_string(limits_.keys) +
                     " a track may have");
            if ((key == "rotation" || key == "scale") && p.placedByMatrix)
                fail(w + ": an object placed with \"matrix\" can only animate its position; use "
                         "\"position\"/\"rotation\"/\"scale\" to animate the others");
            const DescParameter* dp = nullptr;
            const bool vectorTrack = key == "position" || key == "rotation" || key == "scale";
            if (key == "points") {
                if (!p.object->IsInstanceOf(Opoint)) fail(w + ": only \"polygon\" and \"points\" objects have points to animate");
            } else if (!vectorTrack) {
                dp = &parameter(p, key, w);
                if (dp->type != DescValueType::FLOAT && dp->type != DescValueType::INT32)
                    fail(w + ": " + dp->name + " is a " + DescValueTypeName(dp->type) +
                         " parameter; only float and int32 parameters can be animated");
                a.parameters[dp->id].integer = dp->type == DescValueType::INT32;
            }
            for (size_t i = 0; i < track.size(); ++i) {
                const std::string wk = w + "[" + std::to_string(i) + "]";
                const json& k = track[i];
                if (!k.is_array() || k.size() != 2) fail(wk + ": a key is [frame, value], got " + kindOf(k));
                const Float frame = number(k[0], wk + "[0]");
                const json& value = k[1];
                if (key == "position") a.position.push_back({frame, vec3(value, wk + "[1]")});
                else if (key == "rotation") a.rotation.push_back({frame, vec3(value, wk + "[1]")});
                else if (key == "scale") a.scale.push_back({frame, vec3(value, wk + "[1]")});
                else if (key == "points") a.points.push_back({frame, pointsKey(value, p.object, wk + "[1]")});
                else if (dp->type == DescValueType::INT32)
                    a.parameters[dp->id].keys.push_back({frame, static_cast<Float>(int32Value(value, wk + "[1]"))});
                else
                    a.parameters[dp->id].keys.push_back({frame, number(value, wk + "[1]")});
            }
        }
    }

    std::vector<Vector> pointsKey(const json& value, BaseObject* op, const std::string& where) {
        const Int32 n = ToPoint(op)->GetPointCount();
        spendPoints(n, where);
        std::vector<Vector> points;
        if (value.is_string()) {
            SceneMesh mesh;
            std::string error;
            if (!readObj(resolve(value.get<std::string>()).string(), mesh, error)) fail(where + ": " + error);
            points = std::move(mesh.points);
        } else {
            const json& list = arrayValue(value, where);
            if (list.size() != static_cast<size_t>(n))
                fail(where + ": " + std::to_string(list.size()) + " points for an object of " + std::to_string(n) +
                     " points; every key needs one point per point of the object");
            for (size_t i = 0; i < list.size(); ++i) points.push_back(vec3(list[i], where + "[" + std::to_string(i) + "]"));
        }
        if (points.size() != static_cast<size_t>(n))
            fail(where + ": " + std::to_string(points.size()) + " points for an object of " + std::to_string(n) +
                 " points; every key needs one point per point of the object");
        return points;
    }

    // --- Files ----------------------------------------------------------------

    fs::path resolve(const std::string& name) const {
        const fs::path p(name);
        return (p.is_absolute() ? p : scene_.folder / p).lexically_normal();
    }

    // --- Limits ---------------------------------------------------------------

    /// Counts one more object or tag against the scene's limit.
    void countNode(const std::string& where) {
        if (++nodes_ > limits_.nodes)
            fail(where + ": the scene has more than " + std::to_string(limits_.nodes) +
                 " objects and tags, the limit of a scene");
    }

    /// Counts `n` more points against the scene's limit, before they are made.
    void spendPoints(Int64 n, const std::string& where) {
        points_ += n;
        if (points_ > limits_.points)
            fail(where + ": the scene's meshes, point keys, vertex maps and linked meshes hold more than " +
                 std::to_string(limits_.points) + " points in all, the limit of a scene");
    }

    Scene& scene_;
    const SceneLimits& limits_;
    Int64 nodes_ = 0;
    Int64 points_ = 0;
    std::vector<Pending> pending_;
    std::map<std::string, std::vector<BaseObject*>> byPath_;
    std::map<std::string, BaseTag*> tagsByPath_;
    std::map<const BaseObject*, std::string> typeNames_;
};

/// "line:column" of a byte offset of text (1-based).
std::string lineColumn(const std::string& text, size_t offset) {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return std::to_string(line) + ":" + std::to_string(column);
}

}  // namespace

bool loadSceneText(const std::string& text, const fs::path& file, Scene& out, std::string& error,
                   const SceneLimits& limits) {
    const std::string shown = file.string();
    Scene scene;
    scene.file = file;
    scene.name = file.stem().string();
    std::error_code ec;
    const fs::path absolute = fs::absolute(file, ec);
    scene.folder = (ec ? file : absolute).parent_path();

    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        // The library's text repeats the position; keep its explanation only
        std::string what = e.what();
        const size_t colon = what.find(": ", what.find("column"));
        if (colon != std::string::npos) what = what.substr(colon + 2);
        const size_t offset = e.byte > 0 ? e.byte - 1 : 0;
        error = shown + ":" + lineColumn(text, offset) + ": invalid JSON: " + what;
        return false;
    } catch (const json::exception& e) {
        // A number too large for a double ("1e999"): not a finite number
        std::string what = e.what();
        const size_t bracket = what.find("] ");
        if (bracket != std::string::npos) what = what.substr(bracket + 2);
        error = shown + ": invalid JSON: " + what + "; every number must be finite";
        return false;
    }
    try {
        Loader(scene, limits).build(root);
        const std::string problem = checkScene(scene);
        if (!problem.empty()) throw SceneError(problem);
        for (std::string& w : scene.warnings) w = shown + ": " + w;
    } catch (const SceneError& e) {
        error = shown + ": " + e.what();
        return false;
    } catch (const std::bad_alloc&) {
        error = shown + ": out of memory while building the scene";
        return false;
    } catch (const std::exception& e) {
        error = shown + ": cannot build the scene: " + e.what();
        return false;
    }
    out = std::move(scene);
    return true;
}

bool loadScene(const fs::path& file, Scene& out, std::string& error, const SceneLimits& limits) {
    std::string text;
    // A scene may come from a pipe (drapeon run <(make-scene)); its size is
    // limited all the same
    if (!readFileText(file.string(), limits.fileBytes, false, "the scene file", text, error)) {
        if (error.find("is a folder") != std::string::npos) error = file.string() + ": is a folder; give the scene's .json file";
        if (error.find("larger than") != std::string::npos) error += "; put large meshes in OBJ files";
        return false;
    }
    return loadSceneText(text, file, out, error, limits);
}
