#include "objWriter.h"

#include "fileWrite.h"

bool writeObj(const std::filesystem::path& file, const std::string& objectName, const std::vector<Vector>& points,
              const std::vector<CPolygon>& polygons, std::string& error) {
    return writeFileAtomically(file, {objText(objectName, points, polygons)}, error);
}
