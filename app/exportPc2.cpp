// Point caches of the simulated meshes.
//
// A point cache holds, for one object, the positions of its points at every
// frame in the object's own coordinates, so that another application's mesh
// cache modifier can drive the object's original mesh with it. Layout, all
// little-endian:
//
//   char[12]  "POINTCACHE2" and a zero byte
//   int32     file version, 1
//   int32     point count n
//   float32   start frame
//   float32   sample rate (frames per sample), 1
//   int32     sample count F
//   float32   x, y, z of point 0 .. n - 1 of sample 0, then sample 1, ...
//
// which is 32 + 12 n F bytes. The rest mesh ("<name>.rest.obj", the object's
// own points at the first frame with its polygons) is written beside it, so
// that the cache can be tried on a mesh of the right point order.
#include "export.h"

#include "fileWrite.h"
#include "objWriter.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <set>
#include <system_error>
#include <vector>

static_assert(std::endian::native == std::endian::little, "the cache writers store the machine's bytes as little-endian");

namespace {

/// A file name made from an object name: characters that would leave the
/// folder or that common file systems refuse become '_'; an empty name or a
/// name of dots becomes "object".
std::string fileStem(const std::string& name) {
    std::string stem;
    for (char c : name) {
        const bool refused = c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
                             c == '>' || c == '|' || static_cast<unsigned char>(c) < 32;
        stem += refused ? '_' : c;
    }
    if (stem.find_first_not_of('.') == std::string::npos) stem = "object";
    return stem;
}

void appendInt32(std::string& out, int32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void appendFloat32(std::string& out, float v) { out.append(reinterpret_cast<const char*>(&v), 4); }

/// Checks that a mesh's frames and polygons fit its point count.
bool checkMesh(const Recording& recording, const RecordedMesh& mesh, std::string& error) {
    const size_t n = mesh.restPoints.size();
    if (mesh.worldPoints.size() != static_cast<size_t>(recording.frameCount) ||
        mesh.worldFromObject.size() != mesh.worldPoints.size()) {
        error = "object \"" + mesh.path + "\": the recording holds " + std::to_string(mesh.worldPoints.size()) +
                " point frames and " + std::to_string(mesh.worldFromObject.size()) + " matrices for " +
                std::to_string(recording.frameCount) + " frames";
        return false;
    }
    for (size_t f = 0; f < mesh.worldPoints.size(); ++f) {
        if (mesh.worldPoints[f].size() != n) {
            error = "object \"" + mesh.path + "\": frame " + std::to_string(recording.firstFrame + static_cast<Int64>(f)) +
                    " has " + std::to_string(mesh.worldPoints[f].size()) + " points instead of " + std::to_string(n) +
                    "; a point cache needs the same point count in every frame";
            return false;
        }
    }
    for (const CPolygon& p : mesh.polygons) {
        for (Int32 i : {p.a, p.b, p.c, p.d}) {
            if (i < 0 || static_cast<size_t>(i) >= n) {
                error = "object \"" + mesh.path + "\": a polygon uses point " + std::to_string(i) + " of " +
                        std::to_string(n);
                return false;
            }
        }
    }
    return true;
}

std::string restObjText(const RecordedMesh& mesh) {
    return "# rest mesh of " + mesh.path + " (object coordinates)\n" + objText(mesh.name, mesh.restPoints, mesh.polygons);
}

}  // namespace

bool exportPc2(const Recording& recording, const std::filesystem::path& dir, std::string& error) {
    try {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            error = "cannot create the folder " + dir.string() + ": " + ec.message();
            return false;
        }
        std::set<std::string> usedStems;
        for (const RecordedMesh& mesh : recording.meshes) {
            if (!mesh.simulated) continue;
            if (!checkMesh(recording, mesh, error)) return false;
            const size_t n = mesh.restPoints.size();
            const size_t frames = mesh.worldPoints.size();
            if (n > static_cast<size_t>(INT32_MAX) || frames > static_cast<size_t>(INT32_MAX)) {
                error = "object \"" + mesh.path + "\" is too large for a point cache";
                return false;
            }

            // Two objects of the same name get distinct files ("Cloth", "Cloth_2").
            std::string stem = fileStem(mesh.name);
            for (int k = 2; usedStems.count(stem) != 0; ++k) stem = fileStem(mesh.name) + "_" + std::to_string(k);
            usedStems.insert(stem);

            // Header.
            std::string bytes;
            bytes.reserve(32 + 12 * n * frames);
            bytes.append("POINTCACHE2", 12);  // with its terminating zero
            appendInt32(bytes, 1);
            appendInt32(bytes, static_cast<int32_t>(n));
            appendFloat32(bytes, static_cast<float>(recording.firstFrame));
            appendFloat32(bytes, 1.0f);
            appendInt32(bytes, static_cast<int32_t>(frames));

            // Samples: the shown world points brought back into the object's
            // coordinates of that frame.
            for (size_t f = 0; f < frames; ++f) {
                const Matrix objectFromWorld = ~mesh.worldFromObject[f];
                for (const Vector& world : mesh.worldPoints[f]) {
                    const Vector p = objectFromWorld * world;
                    appendFloat32(bytes, static_cast<float>(p.x));
                    appendFloat32(bytes, static_cast<float>(p.y));
                    appendFloat32(bytes, static_cast<float>(p.z));
                }
            }
            if (!writeFileAtomically(dir / (stem + ".pc2"), {bytes}, error)) return false;
            if (!writeFileAtomically(dir / (stem + ".rest.obj"), {restObjText(mesh)}, error)) return false;
        }
        return true;
    } catch (const std::exception& e) {
        error = "cannot write the point caches into " + dir.string() + ": " + e.what();
        return false;
    }
}
