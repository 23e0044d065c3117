// The exports of a whole recording at once: its frames handed to an
// ExportStream one after the other.
#include "export.h"
#include "exportStream.h"
#include "outputNames.h"

#include <system_error>

namespace {

bool exportRecording(const Recording& recording, ExportSettings settings, std::string& error) {
    try {
        std::error_code ec;
        std::filesystem::create_directories(settings.dir, ec);
        if (ec) {
            error = "cannot create the folder " + settings.dir.string() + ": " + ec.message();
            return false;
        }
        const size_t frames = recording.frameCount > 0 ? static_cast<size_t>(recording.frameCount) : 0;
        std::vector<std::string> simulatedNames;
        for (const RecordedMesh& mesh : recording.meshes) {
            if (mesh.worldPoints.size() != frames || mesh.worldFromObject.size() != frames) {
                error = "object \"" + mesh.path + "\": the recording holds " + std::to_string(mesh.worldPoints.size()) +
                        " point frames and " + std::to_string(mesh.worldFromObject.size()) + " matrices for " +
                        std::to_string(frames) + " frames";
                return false;
            }
            if (mesh.simulated) simulatedNames.push_back(mesh.name);
        }
        const std::vector<std::string> stems =
            outputStems(simulatedNames, longestOutputSuffix(recording.firstFrame + static_cast<long long>(frames)));
        std::vector<ExportObject> objects;
        size_t s = 0;
        for (const RecordedMesh& mesh : recording.meshes)
            objects.push_back({mesh.name, mesh.path, mesh.simulated ? stems[s++] : std::string(), mesh.simulated, true});
        settings.sceneName = recording.sceneName;
        settings.fps = recording.fps;
        ExportStream stream(std::move(settings), std::move(objects));
        for (size_t f = 0; f < frames; ++f) {
            ExportFrame frame;
            frame.frame = recording.firstFrame + static_cast<Int32>(f);
            for (const RecordedMesh& mesh : recording.meshes) {
                frame.worldPoints.push_back(mesh.worldPoints[f]);
                frame.worldFromObject.push_back(mesh.worldFromObject[f]);
                if (f == 0) {
                    frame.polygons.push_back(mesh.polygons);
                    frame.ownPoints.push_back(mesh.restPoints);
                }
            }
            if (f < recording.guides.size()) frame.guides = recording.guides[f];
            if (!stream.add(frame, error)) return false;
        }
        return stream.finish(error);
    } catch (const std::exception& e) {
        error = "cannot write the exports into " + settings.dir.string() + ": " + e.what();
        return false;
    }
}

}  // namespace

bool exportPc2(const Recording& recording, const std::filesystem::path& dir, std::string& error) {
    ExportSettings settings;
    settings.dir = dir;
    settings.pc2 = true;
    return exportRecording(recording, std::move(settings), error);
}

bool exportGlb(const Recording& recording, const std::filesystem::path& file, std::string& error) {
    ExportSettings settings;
    settings.dir = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    settings.glb = file;
    if (!exportRecording(recording, std::move(settings), error)) {
        if (error.find(file.string()) == std::string::npos) error = "cannot write " + file.string() + ": " + error;
        return false;
    }
    return true;
}

bool exportViewerData(const Recording& recording, const std::filesystem::path& dir, std::string& error) {
    ExportSettings settings;
    settings.dir = dir;
    settings.viewer = true;
    return exportRecording(recording, std::move(settings), error);
}
