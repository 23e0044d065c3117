// The cloth state: packed per-point arrays in world space and the triangle list.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "drSgather.h"
#include "drSincidence.h"
#include "drSvec.h"

/// Points from which a cloth's passes split over the job pool (with two or
/// more workers): the springs, the per-point passes (forces, step choice,
/// integration) by point range. One size for all, so that consecutive passes
/// keep each point on the same worker's processor; a pass left on one worker
/// between two split ones would move every cache line of the cloth there and
/// back. No pass adds partial sums of different workers, so every split
/// gives the same bits. Below it a sub-step takes a few microseconds per
/// thousand points, about what handing three passes to the workers and back
/// costs, so a smaller cloth runs faster on the calling thread alone.
constexpr int32_t kParallelClothPoints = 2048;

/// The size in use: kParallelClothPoints, or the environment variable
/// DRAPEON_SPLIT_POINTS when it holds a whole number from 1 to 1e9.
int32_t drSparallelClothPoints();
/// Test hook: splits from `points` points on (so that small fixtures run
/// the split passes); 0 goes back to the size the process started with.
void drSsetParallelClothPoints(int32_t points);

struct drScloth {
    int32_t pointCount = 0;
    std::vector<drSvec3> positions;   ///< world-space position per point
    std::vector<drSvec3> velocities;  ///< length units per frame
    std::vector<drSvec3> forces;      ///< accumulator, cleared every sub-step
    std::vector<float> masses;        ///< the mass itself, not its inverse
    std::vector<uint8_t> pointFlags;  ///< 1 marks a point of a sew constraint
    int32_t triangleCount = 0;
    std::vector<std::array<int32_t, 3>> triangles;
    std::vector<drSvec3> normals;  ///< area-weighted, not normalised
    /// Scratch of the normal pass: the area vector of each triangle, and the
    /// triangles at each point (rebuilt when the triangles change).
    std::vector<drSvec4> triangleAreas;
    drSincidence<3> triangleIncidence;
    drSgatherGroups triangleGroups;  ///< the lists laid out four points at a time
    /// Base name of the cache files; empty means no cache.
    std::string cachePath;

    bool hasCachePath() const { return !cachePath.empty(); }

    /// Resizes every per-point array to pointCount, keeping the leading
    /// contents. New entries are zero (the host fills them).
    void resizePoints();
    /// Resizes the triangle list to triangleCount.
    void resizeTriangles();
    /// Stores a copy of `path`; null or empty switches the cache off.
    /// The same text again keeps the stored copy.
    void setCachePath(const char* path);
};
