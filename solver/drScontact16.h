// The contact response of drScontact.h for 16 points at a time, in 16-lane
// vectors: every lane does the scalar code's operations in its order, the
// branches become masks, so the bits are the scalar code's.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "drStriples16.h"

__attribute__((target("avx512f"))) inline __m512 drSdot16(const drSlanes3x16& a, const drSlanes3x16& b) {
    return _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(a.x, b.x), _mm512_mul_ps(a.y, b.y)), _mm512_mul_ps(a.z, b.z));
}

/// a - s * b, per component in that order.
__attribute__((target("avx512f"))) inline drSlanes3x16 drSminusScaled16(const drSlanes3x16& a, __m512 s,
                                                                        const drSlanes3x16& b) {
    return {_mm512_sub_ps(a.x, _mm512_mul_ps(s, b.x)), _mm512_sub_ps(a.y, _mm512_mul_ps(s, b.y)),
            _mm512_sub_ps(a.z, _mm512_mul_ps(s, b.z))};
}

/// b in the lanes of `mask`, a in the others.
__attribute__((target("avx512f"))) inline drSlanes3x16 drSselect16(__mmask16 mask, const drSlanes3x16& a,
                                                                   const drSlanes3x16& b) {
    return {_mm512_mask_blend_ps(mask, a.x, b.x), _mm512_mask_blend_ps(mask, a.y, b.y),
            _mm512_mask_blend_ps(mask, a.z, b.z)};
}

/// respondToContact in every lane: the corrected velocity and force.
__attribute__((target("avx512f"))) inline void drSrespondToContact16(drSlanes3x16& v, drSlanes3x16& f,
                                                                     const drSlanes3x16& normal, float damping,
                                                                     float friction) {
    const __m512 zero = _mm512_setzero_ps();
    const drSlanes3x16 none{zero, zero, zero};
    const __m512 vn = drSdot16(normal, v);
    v = drSselect16(_mm512_cmp_ps_mask(vn, zero, _CMP_LT_OQ), v, drSminusScaled16(v, vn, normal));
    f = drSminusScaled16(f, _mm512_set1_ps(damping), v);
    const __m512 fn = drSdot16(normal, f);
    const __mmask16 pressing = _mm512_cmp_ps_mask(fn, zero, _CMP_LT_OQ);
    drSlanes3x16 g = drSminusScaled16(f, fn, normal);
    if (friction != 0.0f) {
        const __m512i sign = _mm512_set1_epi32(static_cast<int32_t>(0x80000000u));
        const __m512 minusFn = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(fn), sign));
        const __m512 limit = _mm512_mul_ps(minusFn, _mm512_set1_ps(friction));
        const __m512 t = _mm512_sqrt_ps(drSdot16(g, g));
        const __mmask16 stick = _mm512_cmp_ps_mask(limit, t, _CMP_GT_OQ);
        const __mmask16 slide = static_cast<__mmask16>(~stick & _mm512_cmp_ps_mask(t, zero, _CMP_GT_OQ));
        const __m512 scale = _mm512_sub_ps(_mm512_set1_ps(1.0f), _mm512_div_ps(limit, t));
        const drSlanes3x16 scaled{_mm512_mul_ps(g.x, scale), _mm512_mul_ps(g.y, scale), _mm512_mul_ps(g.z, scale)};
        g = drSselect16(slide, g, scaled);
        g = drSselect16(stick, g, none);
        v = drSselect16(static_cast<__mmask16>(pressing & stick), v, none);
    }
    f = drSselect16(pressing, f, g);
}

/// drSrespondToContact16 on the 16 packed points whose velocities and
/// forces start at `velocities` and `forces`, for the points of `contact`;
/// the others are written back as they were.
__attribute__((target("avx512f"))) inline void drSrespondAt16(float* velocities, float* forces,
                                                              const drSlanes3x16& normal, __mmask16 contact,
                                                              float damping, float friction) {
    const drSlanes3x16 v0 = drSloadTriples16(velocities), f0 = drSloadTriples16(forces);
    drSlanes3x16 v = v0, f = f0;
    drSrespondToContact16(v, f, normal, damping, friction);
    drSstoreTriples16(velocities, drSselect16(contact, v0, v));
    drSstoreTriples16(forces, drSselect16(contact, f0, f));
}
#endif
