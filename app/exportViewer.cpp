// The data file that the browser viewer plays: "<dir>/viewer-data.bin".
//
// Layout (little-endian):
//   char[8]   "DRAPEONV"
//   uint32    format version, 1
//   uint32    byte length L of the header text (a multiple of 4)
//   char[L]   header: JSON text, padded with spaces
//   bytes     binary section; every offset below counts from its start and
//             is a multiple of 4
//
// Header:
//   { "scene": "sheet", "fps": 30, "firstFrame": 0, "frameCount": 91,
//     "meshes": [ { "name": "Sheet", "path": "Sheet", "simulated": true,
//                   "pointCount": n, "triangleCount": t,
//                   "indices": offset of uint32[3 t],
//                   "positions": offset of float32[storedFrames][n][3],
//                   "storedFrames": frameCount, or 1 when the object never
//                                   changes in world space } ],
//     "guideGroups": [ { "object": "Sheet/Cloth/Wind", "type": "drWind" } ],
//     "guides": offset of float32[count][11] records
//               (group, kind 0 line / 1 handle, a xyz, b xyz, colour rgb),
//     "guideCount": count,
//     "guideFrames": offset of uint32[frameCount + 1]: frame f draws the
//                    records guideFrames[f] .. guideFrames[f + 1] - 1 }
// Positions are world coordinates, y up.
#include "export.h"

#include "fileWrite.h"

#include <map>

#include <nlohmann/json.hpp>

namespace {

void appendBytes(std::string& out, const void* data, size_t bytes) {
    out.append(static_cast<const char*>(data), bytes);
}
void appendFloat(std::string& out, double v) {
    const float f = static_cast<float>(v);
    appendBytes(out, &f, 4);
}
void appendUint(std::string& out, uint32_t v) { appendBytes(out, &v, 4); }

}  // namespace

bool exportViewerData(const Recording& recording, const std::filesystem::path& dir, std::string& error) {
    const std::filesystem::path file = dir / "viewer-data.bin";
    try {
        const size_t frames = recording.frameCount > 0 ? static_cast<size_t>(recording.frameCount) : 0;
        nlohmann::json header;
        header["scene"] = recording.sceneName;
        header["fps"] = recording.fps;
        header["firstFrame"] = recording.firstFrame;
        header["frameCount"] = frames;

        // Meshes: triangles, then the world points of every frame (one frame
        // for an object that never changes).
        std::string binary;
        nlohmann::json meshes = nlohmann::json::array();
        for (const RecordedMesh& mesh : recording.meshes) {
            if (mesh.worldPoints.size() != frames) {
                error = "cannot write " + file.string() + ": object \"" + mesh.path + "\" has " +
                        std::to_string(mesh.worldPoints.size()) + " recorded frames instead of " +
                        std::to_string(frames);
                return false;
            }
            const size_t n = frames > 0 ? mesh.worldPoints[0].size() : 0;
            bool still = true;
            for (const auto& points : mesh.worldPoints) {
                if (points.size() != n) {
                    error = "cannot write " + file.string() + ": object \"" + mesh.path +
                            "\" changes its point count during the run";
                    return false;
                }
                still = still && points == mesh.worldPoints[0];
            }
            nlohmann::json entry;
            entry["name"] = mesh.name;
            entry["path"] = mesh.path;
            entry["simulated"] = mesh.simulated;
            entry["pointCount"] = n;
            entry["indices"] = binary.size();
            size_t triangles = 0;
            for (const CPolygon& p : mesh.polygons) {
                for (Int32 i : {p.a, p.b, p.c, p.d})
                    if (i < 0 || static_cast<size_t>(i) >= n) {
                        error = "cannot write " + file.string() + ": object \"" + mesh.path +
                                "\" has a polygon using point " + std::to_string(i) + " of " + std::to_string(n);
                        return false;
                    }
                appendUint(binary, uint32_t(p.a)), appendUint(binary, uint32_t(p.b)), appendUint(binary, uint32_t(p.c));
                ++triangles;
                if (!p.IsTriangle()) {
                    appendUint(binary, uint32_t(p.a)), appendUint(binary, uint32_t(p.c)), appendUint(binary, uint32_t(p.d));
                    ++triangles;
                }
            }
            entry["triangleCount"] = triangles;
            entry["positions"] = binary.size();
            const size_t stored = still ? std::min<size_t>(frames, 1) : frames;
            entry["storedFrames"] = stored;
            binary.reserve(binary.size() + stored * n * 12);
            for (size_t f = 0; f < stored; ++f)
                for (const Vector& p : mesh.worldPoints[f]) appendFloat(binary, p.x), appendFloat(binary, p.y), appendFloat(binary, p.z);
            meshes.push_back(std::move(entry));
        }
        header["meshes"] = std::move(meshes);

        // Guides, grouped by the object that drew them so the viewer can
        // switch each object's guides on and off.
        std::map<std::pair<std::string, std::string>, size_t> groupIndex;
        nlohmann::json groups = nlohmann::json::array();
        std::vector<uint32_t> guideFrames{0};
        std::string records;
        uint32_t count = 0;
        for (size_t f = 0; f < frames; ++f) {
            if (f < recording.guides.size()) {
                for (const RecordedGuide& g : recording.guides[f]) {
                    auto [it, added] = groupIndex.try_emplace({g.object, g.type}, groupIndex.size());
                    if (added) groups.push_back({{"object", g.object}, {"type", g.type}});
                    appendFloat(records, double(it->second));
                    appendFloat(records, g.kind == RecordedGuide::Handle ? 1.0 : 0.0);
                    for (const Vector& v : {g.a, g.b, g.color}) appendFloat(records, v.x), appendFloat(records, v.y), appendFloat(records, v.z);
                    ++count;
                }
            }
            guideFrames.push_back(count);
        }
        header["guideGroups"] = std::move(groups);
        header["guides"] = binary.size();
        header["guideCount"] = count;
        binary += records;
        header["guideFrames"] = binary.size();
        for (uint32_t v : guideFrames) appendUint(binary, v);

        std::string text = header.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        while (text.size() % 4 != 0) text += ' ';

        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        std::string head = "DRAPEONV";
        const uint32_t version = 1, length = static_cast<uint32_t>(text.size());
        head.append(reinterpret_cast<const char*>(&version), 4);
        head.append(reinterpret_cast<const char*>(&length), 4);
        return writeFileAtomically(file, {head, text, binary}, error);
    } catch (const std::exception& e) {
        error = "cannot write " + file.string() + ": " + e.what();
        return false;
    }
}
