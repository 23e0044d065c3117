#include "drScollidePlane.h"

#include <cmath>

#include "drScloth.h"
#include "drScontact.h"
#include "drScontact16.h"
#include "drSlanes.h"
#include "drSsolver.h"

namespace {

#if defined(__x86_64__) || defined(__i386__)
// The 16-lane intrinsics start from a deliberately undefined vector, which
// GCC 12 reports as possibly uninitialised.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
/// The contact pass 16 points at a time from `begin` while 16 remain;
/// returns where the plain loop goes on. Every lane does the plain loop's
/// operations in its order (the branches become masks), so the bits are
/// the same; a group is loaded and stored whole, points that nothing
/// changes written back as they were.
__attribute__((target("avx512f"))) int32_t collidePlaneLanes16(const drScollidePlane& plane, drScloth& cloth,
                                                               const drSvec3& point, const drSvec3& normal,
                                                               int32_t begin, int32_t end) {
    float* positions = reinterpret_cast<float*>(cloth.positions.data());
    float* velocities = reinterpret_cast<float*>(cloth.velocities.data());
    float* forces = reinterpret_cast<float*>(cloth.forces.data());
    const drSlanes3x16 n{_mm512_set1_ps(normal.x), _mm512_set1_ps(normal.y), _mm512_set1_ps(normal.z)};
    const drSlanes3x16 q{_mm512_set1_ps(point.x), _mm512_set1_ps(point.y), _mm512_set1_ps(point.z)};
    const __m512 thickness = _mm512_set1_ps(plane.thickness);
    const __m512 zero = _mm512_setzero_ps();
    int32_t i = begin;
    for (; i + 16 <= end; i += 16) {
        const size_t at = 3 * static_cast<size_t>(i);
        const drSlanes3x16 p = drSloadTriples16(positions + at);
        const drSlanes3x16 delta{_mm512_sub_ps(p.x, q.x), _mm512_sub_ps(p.y, q.y), _mm512_sub_ps(p.z, q.z)};
        const __m512 d = drSdot16(n, delta);
        const __mmask16 below = _mm512_cmp_ps_mask(d, zero, _CMP_LT_OQ);
        if (below != 0) drSstoreTriples16(positions + at, drSselect16(below, p, drSminusScaled16(p, d, n)));
        const __mmask16 contact = _mm512_cmp_ps_mask(d, thickness, _CMP_LT_OQ);
        if (contact == 0) continue;
        drSrespondAt16(velocities + at, forces + at, n, contact, plane.damping, plane.friction);
    }
    return i;
}
#pragma GCC diagnostic pop
#endif

/// Contact pass over the points [begin, end) against the plane through
/// `point` with unit normal `normal`.
void collidePlaneRange(const drScollidePlane& plane, drScloth& cloth, const drSvec3& point,
                       const drSvec3& normal, int32_t begin, int32_t end) {
    drSvec3* positions = cloth.positions.data();
    drSvec3* velocities = cloth.velocities.data();
    drSvec3* forces = cloth.forces.data();
#if defined(__x86_64__) || defined(__i386__)
    if (drSlaneWidth() == 16) begin = collidePlaneLanes16(plane, cloth, point, normal, begin, end);
#endif
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
