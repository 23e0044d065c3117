#include "runOutputs.h"

#include "outputNames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

/// A name as a message shows it: a very long one is cut.
std::string shown(const std::string& name) {
    if (name.size() <= 80) return "\"" + name + "\"";
    return "\"" + name.substr(0, 60) + "...\" (" + std::to_string(name.size()) + " characters)";
}

std::vector<CPolygon> polygonsOf(const BaseObject* op) {
    if (!op->IsInstanceOf(Opolygon)) return {};
    const PolygonObject* po = ToPoly(op);
    if (po->GetPolygonCount() == 0) return {};
    return std::vector<CPolygon>(po->GetPolygonR(), po->GetPolygonR() + po->GetPolygonCount());
}

}  // namespace

RunOutputs planOutputs(const Scene& scene, Int32 first, Int32 last) {
    RunOutputs out;
    const std::vector<const SceneObject*> deformed = deformedObjects(scene);
    std::vector<std::string> names;
    for (const SceneObject& so : scene.objects) {
        const bool simulated = std::find(deformed.begin(), deformed.end(), &so) != deformed.end();
        const bool polygon = so.object->IsInstanceOf(Opolygon);
        if (!simulated && !polygon) continue;
        out.objects.push_back({so.object->GetName().GetStd(), so.path, std::string(), simulated, polygon});
        out.sources.push_back(so.object);
        if (simulated) names.push_back(so.object->GetName().GetStd());
    }
    const long long largest = std::max(std::abs(static_cast<long long>(first)), std::abs(static_cast<long long>(last)));
    std::vector<std::string> reasons;
    const std::vector<std::string> stems = outputStems(names, longestOutputSuffix(largest), &reasons);
    size_t s = 0;
    for (ExportObject& o : out.objects) {
        if (!o.simulated) continue;
        const std::string& why = reasons[s];
        o.fileStem = stems[s++];
        if (!why.empty())
            out.notes.push_back("the files of object " + shown(o.path) + " are named " + o.fileStem + ".* (" + why + ")");
    }
    return out;
}

bool captureFrame(const RunOutputs& outputs, Int32 frame, bool first, ExportFrame& out, size_t& unstable) {
    out.frame = frame;
    out.worldPoints.resize(outputs.sources.size());
    out.worldFromObject.resize(outputs.sources.size());
    if (first) {
        out.polygons.resize(outputs.sources.size());
        out.ownPoints.resize(outputs.sources.size());
    }
    for (size_t k = 0; k < outputs.sources.size(); ++k) {
        BaseObject* op = outputs.sources[k];
        const BaseObject* shownObject = op->GetDeformCache() != nullptr ? op->GetDeformCache() : op;
        const Matrix worldFromObject = op->GetMg();
        // A frame the writer handed back keeps its arrays, of the same sizes
        std::vector<Vector>& points = out.worldPoints[k];
        if (shownObject->IsInstanceOf(Opoint)) {
            const PointObject* po = ToPoint(shownObject);
            const Vector* p = po->GetPointR();
            points.resize(static_cast<size_t>(po->GetPointCount()));
            for (Int32 i = 0; i < po->GetPointCount(); ++i) points[static_cast<size_t>(i)] = worldFromObject * p[i];
        } else {
            points.clear();
        }
        out.worldFromObject[k] = worldFromObject;
        if (outputs.objects[k].simulated)
            for (const Vector& p : points)
                if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
                    unstable = k;
                    return false;
                }
        if (first) {
            out.polygons[k] = polygonsOf(op);
            const PointObject* po = ToPoint(op);
            if (po->GetPointCount() > 0) out.ownPoints[k].assign(po->GetPointR(), po->GetPointR() + po->GetPointCount());
        }
    }
    return true;
}

std::vector<RecordedGuide> captureGuides(const Scene& scene) {
    // The same recorder from frame to frame: its room for the records stays.
    thread_local BaseDraw draw;
    draw.ClearRecords();
    scene.document->Draw(&draw);
    std::vector<RecordedGuide> guides;
    guides.reserve(draw.GetRecords().size());
    // An object draws its guides one after the other: its path and type are
    // looked up once for the run of them.
    const BaseList2D* object = nullptr;
    std::string path, type;
    for (const DrawRecord& r : draw.GetRecords()) {
        if (guides.empty() || r.object != object) {
            object = r.object;
            path = scene.PathOf(r.object);
            type.clear();
            for (const SceneObject& so : scene.objects)
                if (so.object == r.object) {
                    type = so.typeName;
                    break;
                }
        }
        RecordedGuide& g = guides.emplace_back();
        g.kind = r.kind == DrawRecord::Kind::HANDLE ? RecordedGuide::Handle : RecordedGuide::Line;
        g.a = r.a;
        g.b = r.b;
        g.color = r.color;
        g.object = path;
        g.type = type;
    }
    return guides;
}

uint64_t estimateRunMemory(const RunOutputs& outputs, int64_t frames, size_t queuedFrames, bool glb) {
    // Measured on the drape scenes (201 x 201 points: 37 MB at the peak,
    // whatever the number of frames), with a margin: the solver's points,
    // springs, triangles and contact data come to about 700 bytes per cloth
    // point; a collider's point, with its search structure, to about 200.
    constexpr uint64_t kClothPoint = 1024, kSceneMeshPoint = 200;
    // Per frame and object the exports keep about 64 bytes of bounds and
    // transforms; the glTF file's structure (an accessor per frame, built
    // and written at the end) about 4 KB more.
    const uint64_t perFrameAndObject = glb ? 4096 : 64;
    constexpr uint64_t kProgram = 32ull << 20;
    uint64_t bytes = kProgram;
    uint64_t framePoints = 0;
    for (size_t k = 0; k < outputs.objects.size(); ++k) {
        const BaseObject* op = outputs.sources[k];
        const uint64_t n = op->IsInstanceOf(Opoint) ? static_cast<uint64_t>(ToPoint(op)->GetPointCount()) : 0;
        bytes += n * (outputs.objects[k].simulated ? kClothPoint : kSceneMeshPoint);
        framePoints += n;
    }
    // A captured frame holds every point in double precision (the queued
    // ones, the one being captured and the spare one the writer hands back),
    // and the writer a float copy and a formatted OBJ text of it (about 40
    // bytes a point).
    bytes += framePoints * (24 * (queuedFrames + 2) + 12 + 40);
    bytes += static_cast<uint64_t>(std::max<int64_t>(frames, 0)) * outputs.objects.size() * perFrameAndObject;
    return bytes;
}

uint64_t availableMemory() {
    uint64_t available = 0;
    // "MemAvailable:   24105200 kB" among the lines of /proc/meminfo
    char text[8192];
    size_t size = 0;
    if (const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC); fd >= 0) {
        ssize_t n = 0;
        while (size < sizeof text - 1 && (n = ::read(fd, text + size, sizeof text - 1 - size)) > 0)
            size += static_cast<size_t>(n);
        ::close(fd);
    }
    text[size] = '\0';
    if (const char* at = std::strstr(text, "MemAvailable:")) available = std::strtoull(at + 13, nullptr, 10) * 1024;
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        (available == 0 || limit.rlim_cur < available))
        available = limit.rlim_cur;
    return available;
}

std::string memoryText(uint64_t bytes) {
    char text[32];
    if (bytes >= (1ull << 30))
        std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / double(1ull << 30));
    else
        std::snprintf(text, sizeof text, "%.0f MB", double(bytes) / double(1ull << 20));
    return text;
}
