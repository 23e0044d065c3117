#include "drScloth.h"

#include <cstring>

void drScloth::resizePoints() {
    const size_t n = pointCount > 0 ? static_cast<size_t>(pointCount) : 0;
    masses.resize(n);
    positions.resize(n);
    velocities.resize(n);
    forces.resize(n);
    normals.resize(n);
    pointFlags.resize(n);
}

void drScloth::resizeTriangles() {
    triangles.resize(triangleCount > 0 ? static_cast<size_t>(triangleCount) : 0);
}

void drScloth::setCachePath(const char* path) {
    if (path != nullptr && cachePath == path) return;
    if (path == nullptr && cachePath.empty()) return;
    cachePath.clear();
    if (path != nullptr && path[0] != '\0') cachePath = path;
}
