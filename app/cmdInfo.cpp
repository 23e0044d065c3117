// `drapeon info SCENE`: the object tree with every parameter and the
// resolved links, to check a scene before a long run.
#include "printable.h"
#include "sceneCommands.h"

#include "cacheState.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <sstream>

namespace {

std::string number(Float v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

std::string vectorText(const Vector& v) { return "(" + number(v.x) + ", " + number(v.y) + ", " + number(v.z) + ")"; }

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return printable(out) + "\"";
}

/// A stored or default value as text; links show the path of their target.
std::string valueText(const Scene& scene, const GeData* value, DescValueType type) {
    if (type == DescValueType::BUTTON) return "(button)";
    if (value == nullptr || value->GetType() == DA::NIL) return type == DescValueType::LINK ? "(empty link)" : "(none)";
    switch (value->GetType()) {
        case DA::LONG: return std::to_string(value->GetInt32());
        case DA::REAL: return number(value->GetFloat());
        case DA::VECTOR: return vectorText(value->GetVector());
        case DA::STRING:
        case DA::FILENAME: return quoted(value->GetString().GetStd());
        case DA::ALIASLINK: {
            const BaseList2D* target = value->GetLink(scene.document.get());
            if (target == nullptr) return "(link to nothing)";
            const std::string path = scene.PathOf(target);
            const bool tag = path.find(':') != std::string::npos && dynamic_cast<const BaseTag*>(target) != nullptr;
            return std::string(tag ? "tag " : "object ") + quoted(path.empty() ? target->GetName().GetStd() : path);
        }
        default: return "?";
    }
}

std::string objectSummary(const SceneObject& so) {
    std::ostringstream s;
    s << printable(so.object->GetName().GetStd()) << "  [" << printable(so.typeName);
    if (so.object->GetNodeData() != nullptr) s << ", id " << so.object->GetType();
    s << "]";
    if (so.object->IsInstanceOf(Opoint)) s << "  " << ToPoint(so.object)->GetPointCount() << " points";
    if (so.object->IsInstanceOf(Opolygon)) s << ", " << ToPoly(so.object)->GetPolygonCount() << " polygons";
    return s.str();
}

void printObject(const Scene& scene, const SceneObject& so, const std::string& indent, std::ostream& out) {
    out << indent << objectSummary(so) << "\n";
    const std::string in = indent + "    ";
    const Matrix& ml = so.object->GetMl();
    if (ml != Matrix())
        out << in << "matrix: offset " << vectorText(ml.off) << ", x " << vectorText(ml.v1) << ", y "
            << vectorText(ml.v2) << ", z " << vectorText(ml.v3) << "\n";
    if (!so.object->GetAnimation().IsEmpty()) {
        const Animation& a = so.object->GetAnimation();
        out << in << "animated:";
        if (!a.position.empty()) out << " position (" << a.position.size() << " keys)";
        if (!a.rotation.empty()) out << " rotation (" << a.rotation.size() << " keys)";
        if (!a.scale.empty()) out << " scale (" << a.scale.size() << " keys)";
        if (!a.points.empty()) out << " points (" << a.points.size() << " keys)";
        for (const auto& [id, track] : a.parameters) out << " parameter " << id << " (" << track.keys.size() << " keys)";
        out << "\n";
    }
    for (const BaseTag* tag = so.object->GetFirstTag(); tag != nullptr; tag = tag->GetNext()) {
        out << in << "tag " << quoted(tag->GetName().GetStd());
        if (tag->GetType() == Tpointselection)
            out << ": point selection of " << static_cast<const SelectionTag*>(tag)->GetBaseSelect()->GetCount()
                << " points";
        else if (tag->GetType() == Tvertexmap)
            out << ": vertex map of " << static_cast<const VariableTag*>(tag)->GetDataCount() << " weights";
        out << "\n";
    }
    if (so.object->GetNodeData() == nullptr) return;
    const Description* d = Description::ForType(so.object->GetType());
    if (d == nullptr) {
        out << in << "(no parameter description)\n";
        return;
    }
    const BaseContainer* bc = so.object->GetDataInstance();
    for (const DescParameter& p : d->GetParameters()) {
        out << in << p.name << " (" << p.id << ", " << DescValueTypeName(p.type)
            << ") = " << valueText(scene, bc->GetDataPointer(p.id), p.type);
        if (p.type != DescValueType::BUTTON && p.type != DescValueType::LINK)
            out << "  [default " << valueText(scene, &p.defaultValue, p.type) << "]";
        out << "\n";
    }
}

/// Every cache with the frames it stores and whether a run plays them back.
void printCaches(const Scene& scene, std::ostream& out) {
    const std::vector<SceneCache> caches = sceneCaches(scene);
    out << "Caches:" << (caches.empty() ? " none" : "") << "\n";
    for (const SceneCache& cache : caches) {
        const CacheState state = inspectCache(cache);
        out << "    " << cache.cloth->path << ": " << cache.base << "NNNN, " << framesText(state.frames) << " stored";
        if (state.fresh())
            out << ", fresh (made from these settings; a run plays them back)";
        else if (!state.frames.empty())
            out << ", stale ("
                << (state.record == CacheState::Record::None ? "no record of the settings they were made from"
                                                              : "made from other settings")
                << "; a run simulates them afresh)";
        out << "\n";
    }
}

int info(const std::string& file, AppContext& context) {
    SceneSession session;
    if (const int status = openScene(context, file, session); status != kExitOk) return status;
    const Scene& scene = session.scene;
    std::ostream& out = std::cout;
    out << "Scene " << printable(scene.file.string()) << ": " << scene.fps << " fps, frames " << scene.firstFrame << " to "
        << scene.lastFrame << ", " << scene.objects.size() << " objects\n";
    for (const SceneObject& so : scene.objects) {
        std::string indent;
        for (const BaseObject* up = so.object->GetUp(); up != nullptr; up = up->GetUp()) indent += "    ";
        printObject(scene, so, indent, out);
    }
    out << "Links:";
    if (scene.links.empty()) out << " none";
    out << "\n";
    for (const SceneLink& l : scene.links)
        out << "    " << printable(l.objectPath) << " " << l.parameterName << " (" << l.parameterId << ") -> "
            << (l.target.empty() ? "(empty)" : printable(l.target)) << "\n";
    const std::vector<const SceneObject*> deformed = deformedObjects(scene);
    out << "Simulated:";
    if (deformed.empty()) out << " nothing (no object has a cloth object under it)";
    for (const SceneObject* so : deformed) out << " " << quoted(so->path);
    out << "\n";
    printCaches(scene, out);
    return kExitOk;
}

}  // namespace

void addInfoCommand(CLI::App& app, AppContext& context) {
    auto file = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand("info", "Show a scene's objects, parameters and links");
    cmd->add_option("scene", *file, "Scene file (.json)")->required();
    cmd->callback([file, &context]() {
        const int status = info(*file, context);
        if (status != kExitOk) throw CLI::RuntimeError(status);
    });
}
