#include "drScollideSphere.h"

#include <cmath>

#include "drScloth.h"
#include "drScontact.h"
#include "drSsolver.h"
#include "pool.h"

namespace {

/// Points from this count up are split over the pool.
constexpr int32_t sphereParallelPoints = 101;

/// Contact pass over the points [begin, end) against the sphere at `centre`.
void collideSphereRange(const drScollideSphere& sphere, drScloth& cloth, const drSvec3& centre, int32_t begin,
                        int32_t end) {
    drSvec3* positions = cloth.positions.data();
    drSvec3* velocities = cloth.velocities.data();
    drSvec3* forces = cloth.forces.data();
    const float r = sphere.radius;
    const float band = r + sphere.thickness;
    const float bandSq = band * band;
    for (int32_t i = begin; i < end; ++i) {
        const drSvec3 delta = positions[i] - centre;
        const float distSq = lengthSquared(delta);
        if (!(distSq < bandSq)) continue;
        // A point (almost) at the centre has no direction to be pushed out
        // along; it is skipped, with the same bound as the capsule's axis.
        if (distSq < contactMinDistanceSquared) continue;
        const float dist = std::sqrt(distSq);
        const drSvec3 normal{delta.x / dist, delta.y / dist, delta.z / dist};
        if (dist < r) positions[i] += (r - dist) * normal;
        respondToContact(velocities[i], forces[i], normal, sphere.damping, sphere.friction);
    }
}

}  // namespace

void drScollideSphere::reset(float time) {
    (void)time;
    currentCentre = targetCentre;
}

void drScollideSphere::apply(drScloth& cloth, drSsolver& solver) {
    // Move the current centre along its straight path to the target: one
    // stored step further, arriving at targetTime. A span that is not
    // positive (never the case inside an advance) snaps onto the target.
    const float span = solver.targetTime - solver.time + solver.step;
    const float a = span > 0.0f ? solver.step / span : 1.0f;
    currentCentre = currentCentre + (targetCentre - currentCentre) * a;
    const drSvec3 centre = currentCentre;

    // Contact pass, split over the workers for large cloths.
    const int32_t n = cloth.pointCount;
    if (poolWorkerCount() >= 2 && n >= sphereParallelPoints) {
        poolParallelFor(n, [this, &cloth, &centre](int32_t, int32_t begin, int32_t end) {
            collideSphereRange(*this, cloth, centre, begin, end);
        });
        return;
    }
    collideSphereRange(*this, cloth, centre, 0, n);
}
