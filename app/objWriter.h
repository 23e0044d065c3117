// OBJ files of simulated frames.
#pragma once

#include "host.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

/// The OBJ text of one mesh: "o name", one "v x y z" per point (9
/// significant digits, enough to restore a single-precision value) and one
/// "f" per polygon (1-based, a triangle with three corners). Defined here so
/// that the exporters, built apart from the scene library, write the same text.
inline std::string objText(const std::string& objectName, const std::vector<Vector>& points,
                           const std::vector<CPolygon>& polygons) {
    std::string out;
    out.reserve(points.size() * 40 + polygons.size() * 24 + 64);
    std::string name = objectName;
    for (char& c : name)
        if (c == '\n' || c == '\r') c = ' ';
    out += "o " + name + "\n";
    char line[128];
    for (const Vector& p : points) {
        std::snprintf(line, sizeof line, "v %.9g %.9g %.9g\n", p.x, p.y, p.z);
        out += line;
    }
    for (const CPolygon& f : polygons) {
        if (f.IsTriangle())
            std::snprintf(line, sizeof line, "f %d %d %d\n", f.a + 1, f.b + 1, f.c + 1);
        else
            std::snprintf(line, sizeof line, "f %d %d %d %d\n", f.a + 1, f.b + 1, f.c + 1, f.d + 1);
        out += line;
    }
    return out;
}

/// Writes objText into `file` through a temporary file beside it, so that
/// an interrupted write never leaves half a file under the final name.
/// False with `error` naming the file and the problem.
bool writeObj(const std::filesystem::path& file, const std::string& objectName, const std::vector<Vector>& points,
              const std::vector<CPolygon>& polygons, std::string& error);

/// A name made safe as a file name: '/', '\' and control characters become '_'.
std::string fileSafeName(const std::string& name);
