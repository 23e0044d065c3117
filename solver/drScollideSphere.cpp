#include "drScollideSphere.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drScloth.h"
#include "drScontact.h"
#include "drSlanes.h"
#include "drScontact16.h"
#include "drSsolver.h"

namespace {

#if defined(__SSE2__)
/// Three components of four points as four-lane vectors.
struct Lanes3 {
    __m128 x, y, z;
};

Lanes3 load4(const drSvec3* p) {
    alignas(16) float c[3][4];
    for (int k = 0; k < 4; ++k) c[0][k] = p[k].x, c[1][k] = p[k].y, c[2][k] = p[k].z;
    return {_mm_load_ps(c[0]), _mm_load_ps(c[1]), _mm_load_ps(c[2])};
}

/// Stores the lanes of `mask` (all bits set) into the points, leaving the others.
void store4(drSvec3* p, const Lanes3& v, __m128 mask) {
    alignas(16) float c[3][4];
    _mm_store_ps(c[0], v.x);
    _mm_store_ps(c[1], v.y);
    _mm_store_ps(c[2], v.z);
    const int bits = _mm_movemask_ps(mask);
    for (int k = 0; k < 4; ++k)
        if (bits & (1 << k)) p[k] = {c[0][k], c[1][k], c[2][k]};
}

__m128 select(__m128 mask, __m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }

__m128 dot(const Lanes3& a, const Lanes3& b) {
    return _mm_add_ps(_mm_add_ps(_mm_mul_ps(a.x, b.x), _mm_mul_ps(a.y, b.y)), _mm_mul_ps(a.z, b.z));
}

/// a - s * b, per component in that order.
Lanes3 minusScaled(const Lanes3& a, __m128 s, const Lanes3& b) {
    return {_mm_sub_ps(a.x, _mm_mul_ps(s, b.x)), _mm_sub_ps(a.y, _mm_mul_ps(s, b.y)), _mm_sub_ps(a.z, _mm_mul_ps(s, b.z))};
}

Lanes3 select(__m128 mask, const Lanes3& a, const Lanes3& b) {
    return {select(mask, a.x, b.x), select(mask, a.y, b.y), select(mask, a.z, b.z)};
}

/// The contact pass four points at a time, from `begin` while four remain;
/// returns where the plain loop goes on. Every lane does the plain loop's
/// operations in its order (the branches become masks), so the bits are the
/// same; only points in contact are written.
int32_t collideSphereLanes(const drScollideSphere& sphere, drScloth& cloth, const drSvec3& centre, int32_t begin,
                           int32_t end) {
    drSvec3* positions = cloth.positions.data();
    drSvec3* velocities = cloth.velocities.data();
    drSvec3* forces = cloth.forces.data();
    const float band = sphere.radius + sphere.thickness;
    const __m128 r = _mm_set1_ps(sphere.radius);
    const __m128 bandSq = _mm_set1_ps(band * band);
    const __m128 minSq = _mm_set1_ps(contactMinDistanceSquared);
    const __m128 zero = _mm_setzero_ps();
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128 damping = _mm_set1_ps(sphere.damping);
    const __m128 friction = _mm_set1_ps(sphere.friction);
    const bool frictionless = sphere.friction == 0.0f;
    const Lanes3 c{_mm_set1_ps(centre.x), _mm_set1_ps(centre.y), _mm_set1_ps(centre.z)};
    int32_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const Lanes3 p = load4(positions + i);
        const Lanes3 delta{_mm_sub_ps(p.x, c.x), _mm_sub_ps(p.y, c.y), _mm_sub_ps(p.z, c.z)};
        const __m128 distSq = dot(delta, delta);
        const __m128 contact = _mm_andnot_ps(_mm_cmplt_ps(distSq, minSq), _mm_cmplt_ps(distSq, bandSq));
        if (_mm_movemask_ps(contact) == 0) continue;

        const __m128 dist = _mm_sqrt_ps(distSq);
        const Lanes3 normal{_mm_div_ps(delta.x, dist), _mm_div_ps(delta.y, dist), _mm_div_ps(delta.z, dist)};
        const __m128 inside = _mm_and_ps(contact, _mm_cmplt_ps(dist, r));
        if (_mm_movemask_ps(inside) != 0) {
            const __m128 push = _mm_sub_ps(r, dist);
            const Lanes3 moved{_mm_add_ps(p.x, _mm_mul_ps(push, normal.x)), _mm_add_ps(p.y, _mm_mul_ps(push, normal.y)),
                               _mm_add_ps(p.z, _mm_mul_ps(push, normal.z))};
            store4(positions + i, moved, inside);
        }

        // The contact response
        Lanes3 v = load4(velocities + i);
        Lanes3 f = load4(forces + i);
        const __m128 vn = dot(normal, v);
        v = select(_mm_cmplt_ps(vn, zero), minusScaled(v, vn, normal), v);
        f = minusScaled(f, damping, v);
        const __m128 fn = dot(normal, f);
        const __m128 pressing = _mm_cmplt_ps(fn, zero);
        Lanes3 g = minusScaled(f, fn, normal);
        if (!frictionless) {
            const __m128 limit = _mm_mul_ps(_mm_xor_ps(fn, sign), friction);
            const __m128 t = _mm_sqrt_ps(dot(g, g));
            const __m128 stick = _mm_cmpgt_ps(limit, t);
            const __m128 slide = _mm_andnot_ps(stick, _mm_cmpgt_ps(t, zero));
            const __m128 scale = _mm_sub_ps(one, _mm_div_ps(limit, t));
            const Lanes3 scaled{_mm_mul_ps(g.x, scale), _mm_mul_ps(g.y, scale), _mm_mul_ps(g.z, scale)};
            g = select(slide, scaled, g);
            const Lanes3 none{zero, zero, zero};
            g = select(stick, none, g);
            v = select(_mm_and_ps(pressing, stick), none, v);
        }
        f = select(pressing, g, f);
        store4(velocities + i, v, contact);
        store4(forces + i, f, contact);
    }
    return i;
}
#endif

#if defined(__x86_64__) || defined(__i386__)
// The 16-lane intrinsics start from a deliberately undefined vector, which
// GCC 12 reports as possibly uninitialised.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
/// collideSphereLanes 16 points at a time: the same operations lane by
/// lane, with the masks of the 4-lane code; a group of 16 is loaded and
/// stored whole, points out of contact written back unchanged.
__attribute__((target("avx512f"))) int32_t collideSphereLanes16(const drScollideSphere& sphere, drScloth& cloth,
                                                                const drSvec3& centre, int32_t begin, int32_t end) {
    float* positions = reinterpret_cast<float*>(cloth.positions.data());
    float* velocities = reinterpret_cast<float*>(cloth.velocities.data());
    float* forces = reinterpret_cast<float*>(cloth.forces.data());
    const float band = sphere.radius + sphere.thickness;
    const __m512 r = _mm512_set1_ps(sphere.radius);
    const __m512 bandSq = _mm512_set1_ps(band * band);
    const __m512 minSq = _mm512_set1_ps(contactMinDistanceSquared);
    const drSlanes3x16 c{_mm512_set1_ps(centre.x), _mm512_set1_ps(centre.y), _mm512_set1_ps(centre.z)};
    int32_t i = begin;
    for (; i + 16 <= end; i += 16) {
        const size_t at = 3 * static_cast<size_t>(i);
        const drSlanes3x16 p = drSloadTriples16(positions + at);
        const drSlanes3x16 delta{_mm512_sub_ps(p.x, c.x), _mm512_sub_ps(p.y, c.y), _mm512_sub_ps(p.z, c.z)};
        const __m512 distSq = drSdot16(delta, delta);
        const __mmask16 contact = static_cast<__mmask16>(_mm512_cmp_ps_mask(distSq, bandSq, _CMP_LT_OQ) &
                                                         ~_mm512_cmp_ps_mask(distSq, minSq, _CMP_LT_OQ));
        if (contact == 0) continue;

        const __m512 dist = _mm512_sqrt_ps(distSq);
        const drSlanes3x16 normal{_mm512_div_ps(delta.x, dist), _mm512_div_ps(delta.y, dist),
                                  _mm512_div_ps(delta.z, dist)};
        const __mmask16 inside = contact & _mm512_cmp_ps_mask(dist, r, _CMP_LT_OQ);
        if (inside != 0) {
            const __m512 push = _mm512_sub_ps(r, dist);
            const drSlanes3x16 moved{_mm512_add_ps(p.x, _mm512_mul_ps(push, normal.x)),
                                     _mm512_add_ps(p.y, _mm512_mul_ps(push, normal.y)),
                                     _mm512_add_ps(p.z, _mm512_mul_ps(push, normal.z))};
            drSstoreTriples16(positions + at, drSselect16(inside, p, moved));
        }

        // The contact response
        drSrespondAt16(velocities + at, forces + at, normal, contact, sphere.damping, sphere.friction);
    }
    return i;
}
#pragma GCC diagnostic pop
#endif

/// Contact pass over the points [begin, end) against the sphere at `centre`.
void collideSphereRange(const drScollideSphere& sphere, drScloth& cloth, const drSvec3& centre, int32_t begin,
                        int32_t end) {
    drSvec3* positions = cloth.positions.data();
    drSvec3* velocities = cloth.velocities.data();
    drSvec3* forces = cloth.forces.data();
    const float r = sphere.radius;
    const float band = r + sphere.thickness;
    const float bandSq = band * band;
#if defined(__x86_64__) || defined(__i386__)
    if (drSlaneWidth() == 16) begin = collideSphereLanes16(sphere, cloth, centre, begin, end);
#endif
#if defined(__SSE2__)
    begin = collideSphereLanes(sphere, cloth, centre, begin, end);
#endif
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
