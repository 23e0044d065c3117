// The passes of one sub-step. Each loops over a [begin, end) range of the
// packed arrays; a pass splits its loop into one job per pool worker when the
// cloth is large enough (thresholds below) and flushes the pool before it
// returns, so passes never overlap.
//
// Determinism: jobs split the work by the range rule and write disjoint
// ranges or their own buffer k; buffers are summed in the order k = 0..T-1.
// With a fixed worker count every run gives bit-identical results; different
// worker counts differ only where per-worker partial sums are added (normals
// and the forces of springs), by float rounding.

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <vector>

#include "drSsolver.h"
#include "pool.h"

namespace {

// Smallest number of triangles from which the normals run on the pool (with
// at least 2 workers); the other passes split from kParallelClothPoints.
constexpr int32_t kParallelNormalsTriangles = 201;

// Constants of the adaptive step.
constexpr float kGrowthCeiling = 0.33333334f;  ///< the float nearest 1/3
constexpr float kShrinkFloor = 0.0001f;

/// True when a pass over `count` items with threshold `threshold` runs on the pool.
bool onPool(int32_t count, int32_t threshold) { return poolWorkerCount() >= 2 && count >= threshold; }

/// Adds the area vectors of triangles [begin, end) to `normals` at their corners.
/// Triangles with a corner outside the cloth are skipped.
void addAreaVectors(const drScloth& cloth, int32_t begin, int32_t end, drSvec3* normals) {
    const drSvec3* p = cloth.positions.data();
    const uint32_t n = static_cast<uint32_t>(cloth.pointCount);
    for (int32_t t = begin; t < end; ++t) {
        const auto& tri = cloth.triangles[static_cast<size_t>(t)];
        const int32_t a = tri[0], b = tri[1], c = tri[2];
        if (static_cast<uint32_t>(a) >= n || static_cast<uint32_t>(b) >= n || static_cast<uint32_t>(c) >= n) continue;
        const drSvec3 e1 = p[b] - p[a];
        const drSvec3 e2 = p[c] - p[a];
        const drSvec3 area = 0.5f * cross(e1, e2);
        normals[a] += area;
        normals[b] += area;
        normals[c] += area;
    }
}

/// Adds the per-worker buffers 1..T-1 (in that order) to buffer 0, points [begin, end).
void sumBuffers(drSvec3* const* buffers, int32_t T, int32_t begin, int32_t end) {
    drSvec3* sum = buffers[0];
    for (int32_t i = begin; i < end; ++i)
        for (int32_t k = 1; k < T; ++k) sum[i] += buffers[k][i];
}

/// Largest |f|^2 / m^2 over points [begin, end), or `start` if none is larger.
/// Values that are not a number never win.
float largestAcceleration(const drScloth& cloth, int32_t begin, int32_t end, float start) {
    float largest = start;
    for (int32_t i = begin; i < end; ++i) {
        const float m = cloth.masses[static_cast<size_t>(i)];
        const float a = lengthSquared(cloth.forces[static_cast<size_t>(i)]) / (m * m);
        if (a > largest) largest = a;
    }
    return largest;
}

/// Semi-implicit Euler over points [begin, end): velocity first, then the
/// position with the new velocity.
void integrateRange(drScloth& cloth, float dt, int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const size_t j = static_cast<size_t>(i);
        const float k = dt / cloth.masses[j];
        const drSvec3& f = cloth.forces[j];
        drSvec3& v = cloth.velocities[j];
        v.x += k * f.x;
        v.y += k * f.y;
        v.z += k * f.z;
        drSvec3& p = cloth.positions[j];
        p.x += dt * v.x;
        p.y += dt * v.y;
        p.z += dt * v.z;
    }
}

/// Per-worker buffers 1..T-1 of n points each in the second scratch buffer,
/// or null when their size does not fit a 32-bit byte count or the memory
/// cannot be had.
char* workerBuffers(int32_t T, size_t bytes) {
    const size_t total = bytes * static_cast<size_t>(T - 1);
    if (total > static_cast<size_t>(INT32_MAX)) return nullptr;
    return static_cast<char*>(poolScratch2(static_cast<int32_t>(total)));
}

/// Table of per-job buffers of the normal pass (entry 0 is cloth.normals);
/// grow-only, so a steady state allocates nothing.
std::vector<drSvec3*> normalBuffers;
/// Largest value of each job of chooseStep; grow-only.
std::vector<float> jobMaxima;

/// Sums the per-worker force buffers into cloth.forces (on the pool when the
/// cloth is large enough; with fewer points the buffers were never used).
void reduceForces(drScloth& cloth) {
    const int32_t T = poolWorkerCount();
    if (!onPool(cloth.pointCount, kParallelClothPoints) || cloth.threadForceBuffers.size() < static_cast<size_t>(T)) return;
    drSvec3* const* buffers = cloth.threadForceBuffers.data();
    poolParallelFor(cloth.pointCount, [&](int32_t, int32_t begin, int32_t end) { sumBuffers(buffers, T, begin, end); });
}

}  // namespace

void computeNormals(drScloth& cloth) {
    const int32_t n = cloth.pointCount;
    if (n <= 0) return;
    drSvec3* normals = cloth.normals.data();
    std::fill(normals, normals + n, drSvec3{});
    if (!onPool(cloth.triangleCount, kParallelNormalsTriangles)) {
        addAreaVectors(cloth, 0, cloth.triangleCount, normals);
        return;
    }

    // Two jobs may share a corner, so job k adds into its own buffer k:
    // buffer 0 is the normals themselves, buffers 1..T-1 lie in the second
    // scratch buffer, which the step preparation lays out again afterwards.
    const int32_t T = poolWorkerCount();
    const size_t bytes = sizeof(drSvec3) * static_cast<size_t>(n);
    char* scratch = workerBuffers(T, bytes);
    if (scratch == nullptr) {  // no room for the buffers: the serial sum is still right
        addAreaVectors(cloth, 0, cloth.triangleCount, normals);
        return;
    }
    if (normalBuffers.size() < static_cast<size_t>(T)) normalBuffers.resize(static_cast<size_t>(T));
    normalBuffers[0] = normals;
    for (int32_t k = 1; k < T; ++k) normalBuffers[static_cast<size_t>(k)] = reinterpret_cast<drSvec3*>(scratch + static_cast<size_t>(k - 1) * bytes);
    drSvec3* const* buffers = normalBuffers.data();

    // Accumulate: job k zeroes its buffer and adds its triangles' area vectors
    poolParallelFor(cloth.triangleCount, [&](int32_t k, int32_t begin, int32_t end) {
        if (k > 0) std::memset(static_cast<void*>(buffers[k]), 0, bytes);
        addAreaVectors(cloth, begin, end, buffers[k]);
    });

    // Sum the buffers in job order, split over points
    poolParallelFor(n, [&](int32_t, int32_t begin, int32_t end) { sumBuffers(buffers, T, begin, end); });
}

void prepareStep(drScloth& cloth) {
    const int32_t n = cloth.pointCount;
    if (n <= 0) return;
    const int32_t T = poolWorkerCount();
    const size_t bytes = sizeof(drSvec3) * static_cast<size_t>(n);
    char* scratch = onPool(n, kParallelClothPoints) ? workerBuffers(T, bytes) : nullptr;
    if (scratch == nullptr) {
        // Serial (or no room for the buffers): an empty table makes the
        // forces add into cloth.forces directly.
        cloth.threadForceBuffers.clear();
        std::fill(cloth.forces.begin(), cloth.forces.begin() + n, drSvec3{});
        return;
    }

    // Lay out one force buffer per worker: 0 is forces, 1..T-1 in scratch 2
    cloth.threadForceBuffers.resize(static_cast<size_t>(T));
    cloth.threadForceBuffers[0] = cloth.forces.data();
    for (int32_t k = 1; k < T; ++k)
        cloth.threadForceBuffers[static_cast<size_t>(k)] = reinterpret_cast<drSvec3*>(scratch + static_cast<size_t>(k - 1) * bytes);

    // Clear them by point range rather than by buffer: job k clears its range
    // in every buffer, so the lines that worker k's springs, the reduction
    // and the point passes use next are already in its processor's cache
    // (springs in mesh order touch the points of their own range).
    drSvec3* const* buffers = cloth.threadForceBuffers.data();
    poolParallelFor(n, [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t k = 0; k < T; ++k) std::fill(buffers[k] + begin, buffers[k] + end, drSvec3{});
    });
}

void applyForces(drSsolver& solver, drScloth& cloth) {
    bool reduced = false;
    for (drSforce* force : solver.forces) {
        if (force == nullptr) continue;
        // Forces of phase 2 and above see the complete sum
        if (!reduced && force->phase() > 1) {
            reduceForces(cloth);
            reduced = true;
        }
        if (force->enabled) force->apply(cloth, solver);
    }
    if (!reduced) reduceForces(cloth);
}

float chooseStep(drSsolver& solver, drScloth& cloth) {
    // Largest squared acceleration; -1 for a cloth without points
    float largest = -1.0f;
    const int32_t n = cloth.pointCount;
    if (!onPool(n, kParallelClothPoints)) {
        largest = largestAcceleration(cloth, 0, n, largest);
    } else {
        const int32_t T = poolWorkerCount();
        if (jobMaxima.size() < static_cast<size_t>(T)) jobMaxima.resize(static_cast<size_t>(T));
        float* maxima = jobMaxima.data();
        poolParallelFor(n, [&](int32_t k, int32_t begin, int32_t end) { maxima[k] = largestAcceleration(cloth, begin, end, -1.0f); });
        for (int32_t k = 0; k < T; ++k)
            if (maxima[k] > largest) largest = maxima[k];
    }

    // Displacement that this acceleration causes over one step of the current length
    const float tolerance = solver.tolerance;
    const float d = std::sqrt(largest) * (solver.step * solver.step);

    // Shrink so that the estimate equals the tolerance, or grow while it is
    // well below it; an estimate that is not a number leaves the step alone
    float step = solver.step;
    if (d > tolerance) {
        step = std::max(kShrinkFloor, step * std::sqrt(tolerance / d));
    } else if (d < tolerance * 0.5f) {
        step = std::min(kGrowthCeiling, step * std::sqrt((tolerance * 0.5f) / std::max(tolerance / 1000.0f, d)));
    }
    step = std::min(solver.maxStep, step);
    solver.step = step;

    // The last sub-step ends on the target; the stored step stays unshortened
    if (solver.time + step > solver.targetTime) return solver.targetTime - solver.time;
    return step;
}

void integrate(drSsolver& solver, drScloth& cloth, float dt) {
    const int32_t n = cloth.pointCount;
    if (onPool(n, kParallelClothPoints))
        poolParallelFor(n, [&](int32_t, int32_t begin, int32_t end) { integrateRange(cloth, dt, begin, end); });
    else
        integrateRange(cloth, dt, 0, std::max(n, 0));
    solver.previousTime = solver.time;
    solver.time = solver.time + dt;
}
