// Writers of a run's results. Each returns false and fills `error` with a
// message that names the file and the problem when it cannot write.
#pragma once

#include <filesystem>
#include <string>

#include "recording.h"

/// Point caches: for every simulated mesh, "<dir>/<name>.pc2" (positions in
/// the object's own coordinates, one sample per frame) and the rest mesh
/// "<dir>/<name>.rest.obj" beside it.
bool exportPc2(const Recording& recording, const std::filesystem::path& dir, std::string& error);

/// One binary glTF file with every mesh of the recording and its animation.
bool exportGlb(const Recording& recording, const std::filesystem::path& file, std::string& error);

/// The data the browser viewer plays, written into `dir` (the run's output
/// folder), next to the other results.
bool exportViewerData(const Recording& recording, const std::filesystem::path& dir, std::string& error);
