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
//
// The file is assembled at the end of a run: the header from what the run
// kept of every object, the points and guides streamed back from the
// scratch files the run put them in.
#include "exportStream.h"

#include <nlohmann/json.hpp>

bool assembleViewerData(const ExportSettings& settings, Int32 firstFrame, Int32 frameCount,
                        const std::vector<StreamedObject>& objects, const StreamedGuides& guides, std::string& error) {
    const std::filesystem::path file = settings.dir / "viewer-data.bin";
    try {
        const size_t frames = frameCount > 0 ? static_cast<size_t>(frameCount) : 0;
        nlohmann::json header;
        header["scene"] = settings.sceneName;
        header["fps"] = settings.fps;
        header["firstFrame"] = firstFrame;
        header["frameCount"] = frames;

        // Meshes: triangles, then the world points of every frame (one frame
        // for an object that never changes).
        size_t offset = 0;
        nlohmann::json meshes = nlohmann::json::array();
        std::vector<std::vector<uint32_t>> triangles(objects.size());
        for (size_t k = 0; k < objects.size(); ++k) {
            const StreamedObject& o = objects[k];
            if (!o.info.polygonObject) continue;
            nlohmann::json entry;
            entry["name"] = o.info.name;
            entry["path"] = o.info.path;
            entry["simulated"] = o.info.simulated;
            entry["pointCount"] = o.pointCount;
            entry["indices"] = offset;
            triangles[k] = triangulate(o.polygons);
            const size_t triangleCount = triangles[k].size() / 3;
            offset += triangleCount * 12;
            entry["triangleCount"] = triangleCount;
            entry["positions"] = offset;
            const size_t stored = o.still ? std::min<size_t>(frames, 1) : frames;
            entry["storedFrames"] = stored;
            offset += stored * o.pointCount * 12;
            meshes.push_back(std::move(entry));
        }
        header["meshes"] = std::move(meshes);

        // Guides, grouped by the object that drew them so the viewer can
        // switch each object's guides on and off.
        nlohmann::json groups = nlohmann::json::array();
        for (const auto& [object, type] : guides.groups) groups.push_back({{"object", object}, {"type", type}});
        const uint32_t count = guides.frameStarts.back();
        header["guideGroups"] = std::move(groups);
        header["guides"] = offset;
        header["guideCount"] = count;
        offset += guides.records.size();
        header["guideFrames"] = offset;

        std::string text = header.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        while (text.size() % 4 != 0) text += ' ';
        std::string head = "DRAPEONV";
        const uint32_t version = 1, length = static_cast<uint32_t>(text.size());
        head.append(reinterpret_cast<const char*>(&version), 4);
        head.append(reinterpret_cast<const char*>(&length), 4);

        OutputFile out;
        if (!out.create(file, error) || !out.write(head, error) || !out.write(text, error)) return false;
        const auto stopped = [&] {
            if (!settings.stopRequested || !settings.stopRequested()) return false;
            error = "interrupted";
            return true;
        };
        // Large stretches are copied from file to file in steps of this
        // many bytes, a stop being looked at between them.
        constexpr size_t kStep = size_t(16) << 20;
        for (size_t k = 0; k < objects.size(); ++k) {
            const StreamedObject& o = objects[k];
            if (!o.info.polygonObject) continue;
            const std::vector<uint32_t>& indices = triangles[k];
            if (!out.write(indices.data(), indices.size() * 4, error)) return false;
            const size_t stored = o.still ? std::min<size_t>(frames, 1) : frames;
            // Frames that show the first one's points, then those put aside
            // on disk, one after the other as they are stored.
            const size_t first = o.still ? stored : std::min(o.spooledFrom, stored);
            for (size_t f = 0; f < first; ++f)
                if (stopped() || !out.write(o.firstFloats.data(), o.firstFloats.size() * 4, error)) return false;
            const size_t spooled = (stored - first) * o.pointCount * 12;
            for (size_t at = 0; at < spooled; at += kStep)
                if (stopped() || !out.copyFrom(o.spool, at, std::min(kStep, spooled - at), error)) return false;
        }
        for (size_t at = 0; at < guides.records.size(); at += kStep)
            if (stopped() || !out.copyFrom(guides.records, at, std::min(kStep, guides.records.size() - at), error))
                return false;
        if (!out.write(guides.frameStarts.data(), guides.frameStarts.size() * 4, error)) return false;
        return out.commit(error);
    } catch (const std::exception& e) {
        error = "cannot write " + file.string() + ": " + e.what();
        return false;
    }
}
