#include "drScollideSphere.h"

#include <cmath>

#include "drScloth.h"
#include "drScontact.h"
#include "drSsolver.h"

namespace {

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
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drScollideSphere::beginPoints(drScloth& cloth, drSsolver& solver) {
    (void)cloth;
    // Move the current centre along its straight path to the target: one
    // stored step further, arriving at targetTime. A span that is not
    // positive (never the case inside an advance) snaps onto the target.
    const float span = solver.targetTime - solver.time + solver.step;
    const float a = span > 0.0f ? solver.step / span : 1.0f;
    currentCentre = currentCentre + (targetCentre - currentCentre) * a;
}

void drScollideSphere::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    collideSphereRange(*this, cloth, currentCentre, begin, end);
}
