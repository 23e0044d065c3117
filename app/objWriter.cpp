#include "objWriter.h"

#include "fileWrite.h"

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
