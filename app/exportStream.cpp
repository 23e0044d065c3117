// The exports of a run, frame by frame.
//
// Point caches: a point cache holds, for one simulated object, the positions
// of its points at every frame in the object's own coordinates, so that
// another application's mesh cache modifier can drive the object's original
// mesh with it. Layout, all little-endian:
//
//   char[12]  "POINTCACHE2" and a zero byte
//   int32     file version, 1
//   int32     point count n
//   float32   start frame
//   float32   sample rate (frames per sample), 1
//   int32     sample count F
//   float32   x, y, z of point 0 .. n - 1 of sample 0, then sample 1, ...
//
// which is 32 + 12 n F bytes. The samples are appended as the frames come
// and F is written last. The rest mesh ("<stem>.rest.obj", the object's own
// points at the first frame with its polygons) is written beside it, so that
// the cache can be tried on a mesh of the right point order.
#include "exportStream.h"

#include "objWriter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

static_assert(std::endian::native == std::endian::little, "the exports store the machine's bytes as little-endian");

namespace {

void appendFloat32(std::string& out, float v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void appendInt32(std::string& out, int32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }

void toFloats(const std::vector<Vector>& points, std::vector<float>& out) {
    out.resize(points.size() * 3);
    for (size_t i = 0; i < points.size(); ++i) {
        out[3 * i] = static_cast<float>(points[i].x);
        out[3 * i + 1] = static_cast<float>(points[i].y);
        out[3 * i + 2] = static_cast<float>(points[i].z);
    }
}

/// Least and greatest of each of the three components of `count` / 3
/// points, in the order the values come (which decides between -0 and +0).
void appendBounds(const float* values, size_t count, std::vector<float>& bounds) {
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (size_t i = 0; i + 3 <= count; i += 3)
        for (size_t k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], values[i + k]);
            hi[k] = std::max(hi[k], values[i + k]);
        }
    bounds.insert(bounds.end(), {lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]});
}

}  // namespace

std::string frameFileName(const std::string& stem, Int32 frame) {
    char digits[32];
    std::snprintf(digits, sizeof digits, frame < 0 ? "-%04lld" : "%04lld",
                  frame < 0 ? -static_cast<long long>(frame) : static_cast<long long>(frame));
    return stem + "." + digits + ".obj";
}

bool StreamedObject::readFrame(size_t f, float* out, std::string& error) const {
    if (f < spooledFrom || still) {
        std::copy(firstFloats.begin(), firstFloats.end(), out);
        return true;
    }
    const size_t bytes = pointCount * 3 * sizeof(float);
    return spool.read((f - spooledFrom) * bytes, out, bytes, error);
}

ExportStream::ExportStream(ExportSettings settings, std::vector<ExportObject> objects)
    : settings_(std::move(settings)) {
    objects_.resize(objects.size());
    for (size_t k = 0; k < objects.size(); ++k) objects_[k].info = std::move(objects[k]);
}

bool ExportStream::stop() {
    if (!stopped_ && settings_.stopRequested && settings_.stopRequested()) stopped_ = true;
    return stopped_;
}

bool ExportStream::begin(const ExportFrame& frame, std::string& error) {
    firstFrame_ = frame.frame;
    const bool keep = settings_.viewer || !settings_.glb.empty();
    for (size_t k = 0; k < objects_.size(); ++k) {
        StreamedObject& o = objects_[k];
        o.pointCount = frame.worldPoints[k].size();
        if (k < frame.polygons.size()) o.polygons = frame.polygons[k];
        if (k < frame.ownPoints.size()) o.restPoints = frame.ownPoints[k];
        if (settings_.obj && o.info.simulated) {
            appendObjName(o.objName, o.info.name);
            appendObjFaces(o.objFaces, o.polygons);
        }
        for (const CPolygon& p : o.polygons)
            for (Int32 i : {p.a, p.b, p.c, p.d})
                if (i < 0 || static_cast<size_t>(i) >= o.pointCount) {
                    error = "object \"" + o.info.path + "\": a polygon uses point " + std::to_string(i) + " of " +
                            std::to_string(o.pointCount);
                    return false;
                }
        if (settings_.pc2 && o.info.simulated && o.info.polygonObject) {
            if (o.pointCount > static_cast<size_t>(INT32_MAX)) {
                error = "object \"" + o.info.path + "\" is too large for a point cache";
                return false;
            }
            // Header; the sample count is fixed when the cache is complete.
            std::string header("POINTCACHE2", 12);  // with its terminating zero
            appendInt32(header, 1);
            appendInt32(header, static_cast<int32_t>(o.pointCount));
            appendFloat32(header, static_cast<float>(frame.frame));
            appendFloat32(header, 1.0f);
            appendInt32(header, 0);
            if (!o.pointCache.create(settings_.dir / (o.info.fileStem + ".pc2"), error) ||
                !o.pointCache.write(header, error))
                return false;
        }
        if (keep && o.info.polygonObject && !o.spool.isOpen() && !o.spool.open(settings_.dir, error)) return false;
    }
    if (settings_.viewer && !guides_.records.open(settings_.dir, error)) return false;
    return true;
}

bool ExportStream::track(StreamedObject& o, const std::vector<Vector>& world, const Matrix& worldFromObject,
                         std::string& error) {
    const size_t f = static_cast<size_t>(frameCount_);
    std::vector<float>& floats = floats_;
    toFloats(world, floats);
    if (f == 0) {
        o.firstWorld = world;
        o.firstFloats = floats;
    } else if (o.still && world != o.firstWorld) {
        o.still = false;
        o.spooledFrom = f;
    }
    if (!o.still && !o.spool.append(floats.data(), floats.size() * sizeof(float), error)) return false;
    // The bounds are the glTF file's alone.
    if (!settings_.glb.empty()) {
        if (f % kGlbFramesPerBlock == 0) {
            o.blockFirst = floats;
        } else {
            for (size_t i = 0; i < floats.size(); ++i) floats[i] = floats[i] - o.blockFirst[i];
        }
        appendBounds(floats.data(), floats.size(), o.bounds);
    }

    if (o.info.simulated || !o.rigid) return true;
    double t[3], q[4], s[3];
    if (!decomposeTransform(worldFromObject, t, q, s)) {
        o.rigid = false;
        return true;
    }
    const Matrix objectFromWorld = ~worldFromObject;
    if (f == 0) {
        double size = 0.0;
        o.firstOwn.clear();
        for (const Vector& w : world) {
            o.firstOwn.push_back(objectFromWorld * w);
            const Vector& p = o.firstOwn.back();
            size = std::max(size, std::max({std::abs(p.x), std::abs(p.y), std::abs(p.z)}));
        }
        o.tolerance = 1e-5 * std::max(size, 1.0);
    } else {
        for (size_t i = 0; i < o.firstOwn.size(); ++i) {
            const Vector d = objectFromWorld * world[i] - o.firstOwn[i];
            if (std::abs(d.x) > o.tolerance || std::abs(d.y) > o.tolerance || std::abs(d.z) > o.tolerance) {
                o.rigid = false;
                o.transforms.clear();
                o.transforms.shrink_to_fit();
                return true;
            }
        }
    }
    // Keep successive rotations in one hemisphere so that a viewer turns the
    // short way between frames.
    const double* p = o.previousRotation;
    if (q[0] * p[0] + q[1] * p[1] + q[2] * p[2] + q[3] * p[3] < 0.0)
        for (double& c : q) c = -c;
    std::copy(q, q + 4, o.previousRotation);
    for (int i = 0; i < 3; ++i) o.transforms.push_back(float(t[i]));
    for (int i = 0; i < 4; ++i) o.transforms.push_back(float(q[i]));
    for (int i = 0; i < 3; ++i) o.transforms.push_back(float(s[i]));
    if (f == 0) {
        std::copy(t, t + 3, o.firstTransform);
        std::copy(q, q + 4, o.firstTransform + 3);
        std::copy(s, s + 3, o.firstTransform + 7);
    }
    return true;
}

bool ExportStream::add(const ExportFrame& frame, std::string& error) {
    if (stop()) {
        error = "interrupted";
        return false;
    }
    if (frame.worldPoints.size() != objects_.size() || frame.worldFromObject.size() != objects_.size()) {
        error = "frame " + std::to_string(frame.frame) + " holds " + std::to_string(frame.worldPoints.size()) +
                " objects instead of " + std::to_string(objects_.size());
        return false;
    }
    if (frameCount_ == 0 && !begin(frame, error)) return false;
    std::vector<float>& samples = samples_;
    for (size_t k = 0; k < objects_.size(); ++k) {
        StreamedObject& o = objects_[k];
        const std::vector<Vector>& world = frame.worldPoints[k];
        if (world.size() != o.pointCount) {
            error = "object \"" + o.info.path + "\": frame " + std::to_string(frame.frame) + " has " +
                    std::to_string(world.size()) + " points instead of " + std::to_string(o.pointCount) +
                    "; the exports need the same point count in every frame";
            return false;
        }
        if (settings_.obj && o.info.simulated) {
            if (textRoom_ < objPointsRoom(world.size())) {
                textRoom_ = objPointsRoom(world.size());
                text_ = std::make_unique_for_overwrite<char[]>(textRoom_);
            }
            const char* const textEnd = writeObjPoints(text_.get(), world.data(), world.size());
            const std::string_view points(text_.get(), static_cast<size_t>(textEnd - text_.get()));
            if (!writeFileAtomically(settings_.dir / frameFileName(o.info.fileStem, frame.frame),
                                     {o.objName, points, o.objFaces}, error))
                return false;
        }
        if (o.pointCache.isOpen()) {
            // Samples: the shown world points brought back into the object's
            // coordinates of that frame.
            const Matrix objectFromWorld = ~frame.worldFromObject[k];
            samples.resize(world.size() * 3);
            for (size_t i = 0; i < world.size(); ++i) {
                const Vector p = objectFromWorld * world[i];
                samples[3 * i] = static_cast<float>(p.x);
                samples[3 * i + 1] = static_cast<float>(p.y);
                samples[3 * i + 2] = static_cast<float>(p.z);
            }
            if (!o.pointCache.write(samples.data(), samples.size() * sizeof(float), error)) return false;
        }
        if (o.spool.isOpen() && !track(o, world, frame.worldFromObject[k], error)) return false;
    }
    if (guides_.records.isOpen()) {
        std::string records;
        records.reserve(frame.guides.size() * 44);
        size_t group = 0;
        for (size_t i = 0; i < frame.guides.size(); ++i) {
            const RecordedGuide& g = frame.guides[i];
            // The guides of an object come one after the other: the group of
            // the one before is looked up again only when it changes.
            if (i == 0 || g.object != frame.guides[i - 1].object || g.type != frame.guides[i - 1].type) {
                auto [it, added] = guides_.groupIndex.try_emplace({g.object, g.type}, guides_.groups.size());
                if (added) guides_.groups.emplace_back(g.object, g.type);
                group = it->second;
            }
            appendFloat32(records, static_cast<float>(double(group)));
            appendFloat32(records, g.kind == RecordedGuide::Handle ? 1.0f : 0.0f);
            for (const Vector& v : {g.a, g.b, g.color})
                for (double c : {v.x, v.y, v.z}) appendFloat32(records, static_cast<float>(c));
        }
        if (!guides_.records.append(records.data(), records.size(), error)) return false;
        guides_.frameStarts.push_back(static_cast<uint32_t>(guides_.frameStarts.back() + frame.guides.size()));
    }
    ++frameCount_;
    return true;
}

std::vector<std::string> ExportStream::finalFiles() const {
    std::vector<std::string> out;
    for (const StreamedObject& o : objects_)
        if (settings_.pc2 && o.info.simulated && o.info.polygonObject) {
            out.push_back(o.info.fileStem + ".pc2");
            out.push_back(o.info.fileStem + ".rest.obj");
        }
    if (!settings_.glb.empty()) out.push_back(settings_.glb.filename().string());
    if (settings_.viewer) out.push_back("viewer-data.bin");
    return out;
}

bool ExportStream::finish(std::string& error) {
    if (complete(error)) return true;
    // Nothing unfinished stays behind a failure or a stop.
    for (StreamedObject& o : objects_) o.pointCache.abandon();
    return false;
}

bool ExportStream::complete(std::string& error) {
    if (frameCount_ == 0) return true;
    for (StreamedObject& o : objects_) {
        if (!o.pointCache.isOpen()) continue;
        if (stop()) return false;
        const int32_t frames = frameCount_;
        if (!o.pointCache.patch(28, &frames, 4, error) || !o.pointCache.commit(error)) return false;
        const std::string rest = "# rest mesh of " + o.info.path + " (object coordinates)\n" +
                                 objText(o.info.name, o.restPoints, o.polygons);
        completed_.push_back(o.info.fileStem + ".pc2");
        if (!writeFileAtomically(settings_.dir / (o.info.fileStem + ".rest.obj"), {rest}, error)) return false;
        completed_.push_back(o.info.fileStem + ".rest.obj");
    }
    if (!settings_.glb.empty()) {
        if (stop()) return false;
        if (!assembleGlb(settings_, firstFrame_, frameCount_, objects_, notes_, error)) {
            stop();
            return false;
        }
        completed_.push_back(settings_.glb.filename().string());
    }
    if (settings_.viewer) {
        if (stop()) return false;
        if (!assembleViewerData(settings_, firstFrame_, frameCount_, objects_, guides_, error)) {
            stop();
            return false;
        }
        completed_.push_back("viewer-data.bin");
    }
    return true;
}
