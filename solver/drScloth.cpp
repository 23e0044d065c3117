#include "drScloth.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

/// kParallelClothPoints, or the value of DRAPEON_SPLIT_POINTS when it is a
/// whole number from 1 to 1e9 (to try another size on another machine).
int32_t defaultSplit() {
    const char* text = std::getenv("DRAPEON_SPLIT_POINTS");
    if (text == nullptr || *text == '\0') return kParallelClothPoints;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value >= 1 && value <= 1000000000 ? static_cast<int32_t>(value) : kParallelClothPoints;
}

std::atomic<int32_t>& split() {
    static std::atomic<int32_t> points{defaultSplit()};
    return points;
}

}  // namespace

int32_t drSparallelClothPoints() { return split().load(std::memory_order_relaxed); }

void drSsetParallelClothPoints(int32_t points) {
    split().store(points > 0 ? points : defaultSplit(), std::memory_order_relaxed);
}

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
