#include "objWriter.h"

#include <cstdio>

#include "fileWrite.h"

std::string objText(const std::string& objectName, const std::vector<Vector>& points,
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

bool writeObj(const std::filesystem::path& file, const std::string& objectName, const std::vector<Vector>& points,
              const std::vector<CPolygon>& polygons, std::string& error) {
    return writeFileAtomically(file, {objText(objectName, points, polygons)}, error);
}

std::string fileSafeName(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32) c = '_';
    if (out.empty() || out == "." || out == "..") out = "_" + out;
    return out;
}
