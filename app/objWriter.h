// OBJ files of simulated frames.
#pragma once

#include "host.h"

#include <filesystem>
#include <string>
#include <vector>

/// The OBJ text of one mesh: "o name", one "v x y z" per point (9
/// significant digits, enough to restore a single-precision value) and one
/// "f" per polygon (1-based, a triangle with three corners).
std::string objText(const std::string& objectName, const std::vector<Vector>& points,
                    const std::vector<CPolygon>& polygons);

/// Writes objText into `file` through a temporary file beside it, so that
/// an interrupted write never leaves half a file under the final name.
/// False with `error` naming the file and the problem.
bool writeObj(const std::filesystem::path& file, const std::string& objectName, const std::vector<Vector>& points,
              const std::vector<CPolygon>& polygons, std::string& error);

/// A name made safe as a file name: '/', '\' and control characters become '_'.
std::string fileSafeName(const std::string& name);
