#include "drScollidePlane.h"

#include <cmath>

#include "drScloth.h"
#include "drScontact.h"
#include "drSsolver.h"

namespace {

/// Contact pass over the points [begin, end) against the plane through
/// `point` with unit normal `normal`.
void collidePlaneRange(const drScollidePlane& plane, drScloth& cloth, const drSvec3& point,
                       const drSvec3& normal, int32_t begin, int32_t end) {
    drSvec3* positions = cloth.positions.data();
    drSvec3* velocities = cloth.velocities.data();
    drSvec3* forces = cloth.forces.data();
    for (int32_t i = begin; i < end; ++i) {
        const float d = dot(normal, positions[i] - point);
        if (d < 0.0f) positions[i] -= d * normal;
        if (d < plane.thickness) respondToContact(velocities[i], forces[i], normal, plane.damping, plane.friction);
    }
}

}  // namespace

void drScollidePlane::reset(float time) {
    (void)time;
    currentPoint = targetPoint;
    currentNormal = targetNormal;
}

void drScollidePlane::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drScollidePlane::beginPoints(drScloth& cloth, drSsolver& solver) {
    (void)cloth;
    // Move the current plane along its straight path to the target: one
    // stored step further, arriving at targetTime. A span that is not
    // positive (never the case inside an advance) snaps onto the target.
    const float span = solver.targetTime - solver.time + solver.step;
    const float a = span > 0.0f ? solver.step / span : 1.0f;
    currentPoint = currentPoint + (targetPoint - currentPoint) * a;
    currentNormal = currentNormal + (targetNormal - currentNormal) * a;

    // Contact direction: the interpolated normal, made unit length. A scaled
    // host object or a normal halfway through a turn is shorter or longer
    // than 1, which would otherwise remove too little or too much of the
    // inward velocity and force (and make the cloth bounce off). A zero
    // normal defines no plane.
    const float lengthSq = lengthSquared(currentNormal);
    defined_ = lengthSq > 0.0f;
    if (defined_) unitNormal_ = currentNormal * (1.0f / std::sqrt(lengthSq));
}

void drScollidePlane::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    if (defined_) collidePlaneRange(*this, cloth, currentPoint, unitNormal_, begin, end);
}
