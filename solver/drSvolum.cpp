#include "drSvolum.h"

#include "drScloth.h"
#include "pool.h"

namespace {

/// Points of the cloth from which the per-point forces are split over the pool.
constexpr int32_t kParallelPoints = 4001;

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

void drSvolum::reset(float time) {
    (void)time;
    referenceVolume = 0.0f;
}

float drSvolum::volumeMeasure(const drScloth& cloth) {
    const int32_t n = cloth.pointCount;
    if (n <= 0) return 0.0f;
    const drSvec3 origin = cloth.positions[0];
    float sum = 0.0f;
    for (int32_t i = 0; i < n; ++i) sum += dot(cloth.positions[i] - origin, cloth.normals[i]);
    return 0.5f * sum;
}

void drSvolum::apply(drScloth& cloth, drSsolver& solver) {
    (void)solver;
    const int32_t n = cloth.pointCount;
    if (n <= 0 || static_cast<int32_t>(cloth.normals.size()) < n) return;

    // Measure, capture the reference once, and leave a flat cloth alone.
    const float V = volumeMeasure(cloth);
    if (referenceVolume == 0.0f) referenceVolume = V;
    if (V > -0.000001f && V < 0.000001f) return;

    // Relative deviation from the target; the factor is -0.33333 as tuned.
    const float target = volumeRatio * referenceVolume;
    const float s = (V - target) * (pressure * -0.33333f) / V;

    const PushArgs args = {s, normalDamping, cloth.normals.data(), cloth.velocities.data(), cloth.forces.data()};
    if (poolWorkerCount() >= 2 && n >= kParallelPoints) {
        poolParallelFor(n, [&args](int32_t, int32_t begin, int32_t end) { push(args, begin, end); });
        return;
    }
    push(args, 0, n);
}
