#include "drSvolum.h"

#include <algorithm>

#include "drScloth.h"
#include "drSsolver.h"
#include "pool.h"

namespace {

struct PushArgs {
    float s;              ///< pressure factor along the normal
    float normalDamping;  ///< damping of the normal velocity
    const drSvec3* normals;
    const drSvec3* velocities;
    drSvec3* forces;
};

void push(const PushArgs& p, int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const drSvec3& n = p.normals[i];
        p.forces[i].x += p.s * n.x;
        p.forces[i].y += p.s * n.y;
        p.forces[i].z += p.s * n.z;
        // Damp the normal velocity where the normal is long enough to divide by.
        const float q = dot(n, n);
        if (q > 0.000001f) {
            const float r = dot(n, p.velocities[i]) * p.normalDamping / q;
            p.forces[i].x -= r * n.x;
            p.forces[i].y -= r * n.y;
            p.forces[i].z -= r * n.z;
        }
    }
}

}  // namespace

namespace {

/// Sum of (positions[i] - origin) . normals[i] over points [begin, end), from 0.
float blockSum(const drScloth& cloth, const drSvec3& origin, int32_t begin, int32_t end) {
    float sum = 0.0f;
    for (int32_t i = begin; i < end; ++i) sum += dot(cloth.positions[i] - origin, cloth.normals[i]);
    return sum;
}

}  // namespace

void drSvolum::reset(float time) {
    (void)time;
    referenceVolume = 0.0f;
}

float drSvolum::volumeMeasure(const drScloth& cloth) {
    const int32_t n = cloth.pointCount;
    if (n <= 0) return 0.0f;
    const drSvec3 origin = cloth.positions[0];
    float sum = blockSum(cloth, origin, 0, std::min(n, kVolumeBlock));
    for (int32_t first = kVolumeBlock; first < n; first += kVolumeBlock)
        sum += blockSum(cloth, origin, first, std::min(n, first + kVolumeBlock));
    return 0.5f * sum;
}

void drSvolum::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drSvolum::beginPoints(drScloth& cloth, drSsolver& solver) {
    (void)solver;
    pushing_ = false;
    const int32_t n = cloth.pointCount;
    if (n <= 0 || static_cast<int32_t>(cloth.normals.size()) < n) return;

    // Measure: the block sums on the pool for a large cloth, added in block order
    float V;
    const int32_t blocks = (n + kVolumeBlock - 1) / kVolumeBlock;
    if (blocks >= 2 && poolWorkerCount() >= 2) {
        if (blockSums_.size() < static_cast<size_t>(blocks)) blockSums_.resize(static_cast<size_t>(blocks));
        const drSvec3 origin = cloth.positions[0];
        float* sums = blockSums_.data();
        poolParallelFor(blocks, [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t b = begin; b < end; ++b)
                sums[b] = blockSum(cloth, origin, b * kVolumeBlock, std::min(n, (b + 1) * kVolumeBlock));
        });
        float sum = sums[0];
        for (int32_t b = 1; b < blocks; ++b) sum += sums[b];
        V = 0.5f * sum;
    } else {
        V = volumeMeasure(cloth);
    }

    // Capture the reference once, and leave a flat cloth alone.
    if (referenceVolume == 0.0f) referenceVolume = V;
    if (V > -0.000001f && V < 0.000001f) return;

    // Relative deviation from the target; the factor is -0.33333 as tuned.
    const float target = volumeRatio * referenceVolume;
    pushFactor_ = (V - target) * (pressure * -0.33333f) / V;
    pushing_ = true;
}

void drSvolum::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    if (!pushing_) return;
    const PushArgs args = {pushFactor_, normalDamping, cloth.normals.data(), cloth.velocities.data(), cloth.forces.data()};
    push(args, begin, end);
}
