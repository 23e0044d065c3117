// The passes of one sub-step. Each loops over a [begin, end) range of the
// packed arrays; a pass splits its loop into chunks that the pool's workers
// claim one at a time when the cloth is large enough (drSparallelClothPoints)
// and flushes the pool before it returns, so passes never overlap.
//
// Determinism: every job writes only its own points, and every value is
// computed by the same operations in the same order whatever the range it
// falls in. Where several items add into one point (the triangles of a
// normal, the springs of a force), the items are computed first, each into
// its own slot, and each point then adds its items in item order. So the
// results are bit for bit the same for any number of workers.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drSpointLanes.h"
#include "drSsolver.h"
#include "pool.h"

namespace {

/// Points that a fused run takes through all its forces at a time: their
/// forces stay in the first-level cache between two forces.
constexpr int32_t kPointBlock = 256;

// Constants of the adaptive step.
constexpr float kGrowthCeiling = 0.33333334f;  ///< the float nearest 1/3
constexpr float kShrinkFloor = 0.0001f;

/// Points per chunk that the workers claim one by one, and the most chunks
/// per worker: enough chunks that a worker on a slower or shared processor
/// takes fewer of them, few enough that claiming costs nothing.
constexpr int32_t kChunkPoints = 1024;
constexpr int32_t kChunksPerWorker = 8;

/// True when a pass over `count` items with threshold `threshold` runs on the pool.
bool onPool(int32_t count, int32_t threshold) { return poolWorkerCount() >= 2 && count >= threshold; }

/// Chunks of a pass over a cloth of `points` points: 1 when it runs inline.
int32_t chunksFor(int32_t points, int32_t threshold) {
    if (!onPool(points, threshold)) return 1;
    // A multiple of the workers, so that every worker owns as many chunks
    const int32_t workers = poolWorkerCount();
    return workers * std::clamp(points / (kChunkPoints * workers), 1, kChunksPerWorker);
}

/// Chunks begin on multiples of this many items, so that the point passes'
/// groups of four and sixteen points never straddle two chunks (a point cut
/// off from its group goes one by one, several times slower), nor a spring
/// set's runs of springs, which begin on multiples of 16.
constexpr int32_t kChunkAlign = 16;

/// Steps of kChunkAlign items that cover [0, n).
int32_t alignedSteps(int32_t n) { return n / kChunkAlign + (n % kChunkAlign != 0); }

/// The item where step `step` begins, within [0, n].
int32_t alignedItem(int32_t step, int32_t n) {
    return static_cast<int32_t>(std::min<int64_t>(int64_t{kChunkAlign} * step, n));
}

/// Runs body(chunk, begin, end) over [0, n) in `chunks` chunks (from
/// chunksFor): claimed by the pool's workers, or inline as chunk 0 when 1.
template <class Body>
void forChunks(int32_t n, int32_t chunks, const Body& body) {
    if (chunks > 1)
        poolParallelChunks(alignedSteps(n), chunks, [&body, n](int32_t chunk, int32_t begin, int32_t end) {
            body(chunk, alignedItem(begin, n), alignedItem(end, n));
        });
    else
        body(0, 0, n);
}

/// forChunks over the items of a pass whose chunks follow its own count.
template <class Body>
void forRange(int32_t n, int32_t threshold, const Body& body) {
    forChunks(n, chunksFor(n, threshold), body);
}

/// Area vectors of triangles [begin, end); a triangle with a corner outside
/// the cloth is left out of the incidence lists, so its slot is never read.
void computeAreas(drScloth& cloth, int32_t begin, int32_t end) {
    cloth.triangleIncidence.compare(cloth.triangles.data(), begin, end);
    const drSvec3* p = cloth.positions.data();
    const uint32_t n = static_cast<uint32_t>(cloth.pointCount);
    drSvec4* areas = cloth.triangleAreas.data();
    for (int32_t t = begin; t < end; ++t) {
        const auto& tri = cloth.triangles[static_cast<size_t>(t)];
        const int32_t a = tri[0], b = tri[1], c = tri[2];
        if (static_cast<uint32_t>(a) >= n || static_cast<uint32_t>(b) >= n || static_cast<uint32_t>(c) >= n) continue;
        const drSvec3 e1 = p[b] - p[a];
        const drSvec3 e2 = p[c] - p[a];
        const drSvec3 area = 0.5f * cross(e1, e2);
        areas[t] = {area.x, area.y, area.z, 0.0f};
    }
}

/// Largest |f|^2 / m^2 over points [begin, end), or `start` if none is larger.
/// Values that are not a number never win.
float largestAcceleration(const drScloth& cloth, int32_t begin, int32_t end, float start) {
    return drSlargestAcceleration(cloth.masses.data(), cloth.forces.data(), begin, end, start);
}

/// Semi-implicit Euler over points [begin, end): velocity first, then the
/// position with the new velocity.
void integrateRange(drScloth& cloth, float dt, int32_t begin, int32_t end) {
    drSintegratePoints(cloth.masses.data(), cloth.forces.data(), cloth.velocities.data(), cloth.positions.data(), dt,
                       begin, end);
}

/// Largest value of each chunk of a pass; grow-only, so a steady state
/// allocates nothing (the passes run under the pool lock, one at a time).
std::vector<float> jobMaxima;

float* maximaFor(int32_t jobs) {
    if (jobMaxima.size() < static_cast<size_t>(jobs)) jobMaxima.resize(static_cast<size_t>(jobs));
    return jobMaxima.data();
}

/// The largest of `count` job maxima (each -1 or more), or -1.
float largestOf(const float* maxima, int32_t count) {
    float largest = -1.0f;
    for (int32_t k = 0; k < count; ++k)
        if (maxima[k] > largest) largest = maxima[k];
    return largest;
}

/// Largest squared acceleration over the cloth (-1 without points).
float measureLargest(const drScloth& cloth) {
    const int32_t n = std::max(cloth.pointCount, 0);
    const int32_t chunks = chunksFor(n, drSparallelClothPoints());
    float* maxima = maximaFor(chunks);
    forChunks(n, chunks,
              [&](int32_t k, int32_t begin, int32_t end) { maxima[k] = largestAcceleration(cloth, begin, end, -1.0f); });
    return largestOf(maxima, chunks);
}

/// The adaptive step from the largest squared acceleration; returns the
/// sub-step length.
float stepFrom(drSsolver& solver, float largest) {
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

/// Runs the enabled forces of the list in order: consecutive point-wise
/// forces as fused runs, the others alone. With `clear` the forces start
/// from zero (inside the first run when the list starts with one). Returns
/// true and sets `largest` when the last run ended the list.
bool runForces(drSsolver& solver, drScloth& cloth, bool clear, float& largest) {
    drSforce* run[kPointwiseRun];
    bool cleared = !clear;
    bool measured = false;
    const size_t count = solver.forces.size();
    for (size_t i = 0; i < count;) {
        drSforce* force = solver.forces[i];
        if (force == nullptr || !force->enabled) {
            ++i;
            continue;
        }
        measured = false;
        if (!force->pointwise()) {
            if (!cleared) prepareStep(cloth);
            cleared = true;
            force->apply(cloth, solver);
            ++i;
            continue;
        }
        // The run: enabled point-wise forces up to the next other one
        int32_t length = 0;
        while (i < count && length < kPointwiseRun) {
            drSforce* next = solver.forces[i];
            if (next != nullptr && next->enabled) {
                if (!next->pointwise()) break;
                run[length++] = next;
            }
            ++i;
        }
        size_t rest = i;  // anything enabled after the run?
        while (rest < count && (solver.forces[rest] == nullptr || !solver.forces[rest]->enabled)) ++rest;
        const bool last = rest == count;
        runPointwise(run, length, cloth, solver, !cleared, last ? &largest : nullptr);
        cleared = true;
        measured = last;
    }
    if (!cleared) prepareStep(cloth);
    return measured;
}

}  // namespace

void runPointwise(drSforce* const* forces, int32_t count, drScloth& cloth, drSsolver& solver, bool clear,
                  float* largest) {
    const int32_t n = std::max(cloth.pointCount, 0);
    count = std::clamp(count, 0, kPointwiseRun);

    // Set-up, then the items of all forces as one index range
    int32_t items[kPointwiseRun];
    int64_t total = 0;
    for (int32_t k = 0; k < count; ++k) {
        forces[k]->beginPoints(cloth, solver);
        items[k] = std::max(forces[k]->itemCount(cloth), 0);
        total += items[k];
    }
    // Chunk c computes the c-th slice of every force's items: items are
    // listed roughly in point order, so the slice's items mostly meet the
    // points of chunk c, which the same worker gathers next (the forces and
    // positions stay in its processor's cache).
    const int32_t chunks = chunksFor(n, drSparallelClothPoints());
    if (total > 0 && chunks > 1)
        poolParallelChunks(n, chunks, [&](int32_t c, int32_t, int32_t) {
            for (int32_t k = 0; k < count; ++k) {
                // Slices aligned as the chunks: a spring set finds its
                // grid-like runs of springs from multiples of 16
                int32_t begin = 0, end = 0;
                poolRange(alignedSteps(items[k]), chunks, c, begin, end);
                begin = alignedItem(begin, items[k]);
                end = alignedItem(end, items[k]);
                if (begin < end) forces[k]->computeItems(cloth, begin, end);
            }
        });
    else
        for (int32_t k = 0; k < count; ++k) forces[k]->computeItems(cloth, 0, items[k]);
    for (int32_t k = 0; k < count; ++k) forces[k]->itemsComputed(cloth);

    // Every block of points through every force
    float* maxima = maximaFor(chunks);
    forChunks(n, chunks, [&](int32_t chunk, int32_t begin, int32_t end) {
        float top = -1.0f;
        drSvec3* f = cloth.forces.data();
        for (int32_t first = begin; first < end; first += kPointBlock) {
            const int32_t last = std::min(first + kPointBlock, end);
            if (clear) std::fill(f + first, f + last, drSvec3{});
            for (int32_t k = 0; k < count; ++k) forces[k]->applyPoints(cloth, first, last);
            if (largest != nullptr) top = largestAcceleration(cloth, first, last, top);
        }
        maxima[chunk] = top;
    });
    if (largest != nullptr) *largest = largestOf(maxima, chunks);
}

void computeNormals(drScloth& cloth) {
    const int32_t n = cloth.pointCount;
    if (n <= 0) return;
    const int32_t triangles = std::clamp(cloth.triangleCount, 0, static_cast<int32_t>(cloth.triangles.size()));
    // One slot more: the padding of the four-point rows
    if (cloth.triangleAreas.size() < static_cast<size_t>(triangles) + 1)
        cloth.triangleAreas.resize(static_cast<size_t>(triangles) + 1);
    cloth.triangleAreas[static_cast<size_t>(triangles)] = drSpadSlot;
    cloth.triangleIncidence.check(n, triangles);
    forChunks(triangles, chunksFor(n, drSparallelClothPoints()),
              [&cloth](int32_t, int32_t begin, int32_t end) { computeAreas(cloth, begin, end); });
    if (cloth.triangleIncidence.update(n, cloth.triangles.data(), triangles))
        cloth.triangleGroups.build(n, cloth.triangleIncidence.start(), cloth.triangleIncidence.entries(), 3, false,
                                   triangles);
    forRange(n, drSparallelClothPoints(), [&cloth](int32_t, int32_t begin, int32_t end) {
        drSgatherNormals(cloth.triangleIncidence.start(), cloth.triangleIncidence.entries(), cloth.triangleGroups,
                         cloth.triangleAreas.data(), cloth.normals.data(), begin, end);
    });
}

void prepareStep(drScloth& cloth) {
    const int32_t n = std::max(cloth.pointCount, 0);
    drSvec3* f = cloth.forces.data();
    forRange(n, drSparallelClothPoints(), [f](int32_t, int32_t begin, int32_t end) { std::fill(f + begin, f + end, drSvec3{}); });
}

void applyForces(drSsolver& solver, drScloth& cloth) {
    float largest = 0.0f;
    runForces(solver, cloth, false, largest);
}

float chooseStep(drSsolver& solver, drScloth& cloth) { return stepFrom(solver, measureLargest(cloth)); }

void integrate(drSsolver& solver, drScloth& cloth, float dt) {
    forRange(std::max(cloth.pointCount, 0), drSparallelClothPoints(),
             [&cloth, dt](int32_t, int32_t begin, int32_t end) { integrateRange(cloth, dt, begin, end); });
    solver.previousTime = solver.time;
    solver.time = solver.time + dt;
}

void drSsolver::subStep(drScloth& cloth) {
    if (needNormals) computeNormals(cloth);
    float largest = -1.0f;
    if (!runForces(*this, cloth, true, largest)) largest = measureLargest(cloth);
    const float dt = stepFrom(*this, largest);
    integrate(*this, cloth, dt);
    for (drSforce* force : forces)
        if (force != nullptr && force->enabled) force->postStep(cloth, *this);
}
