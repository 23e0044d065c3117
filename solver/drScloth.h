// The cloth state: packed per-point arrays in world space and the triangle list.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "drSvec.h"

/// Points from which a cloth's passes split over the job pool (with two or
/// more workers): springs and sew pairs into the per-worker force buffers,
/// the per-point passes (global forces, step choice, integration) by point
/// range. One size for all, so that consecutive passes keep each point on
/// the same worker's processor; a pass left on one worker between two split
/// ones would move every cache line of the cloth there and back. The
/// per-point passes give the same bits on any number of workers.
constexpr int32_t kParallelClothPoints = 301;

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
    /// One force array per pool worker: entry 0 is forces.data(), entries
    /// 1..T-1 point into the pool's second scratch buffer. Rebuilt by the step
    /// preparation of every sub-step; the entries are not owned.
    std::vector<drSvec3*> threadForceBuffers;
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
