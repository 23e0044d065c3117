// Sixteen packed points (48 floats: x, y, z, x, ...) as x, y and z lanes of
// 16-lane vectors, and back, for the passes that run 16 points at a time.
#pragma once

#include <cstddef>

#include "drSx86.h"

#if DR_X86

struct drSlanes3x16 {
    __m512 x, y, z;
};

/// Sixteen points held in three vectors (48 floats) as x, y and z lanes.
__attribute__((target("avx512f"))) inline drSlanes3x16 drSlanesOfTriples16(__m512 P0, __m512 P1, __m512 P2) {
    // From the first two vectors, then the last lanes from the third
    const __m512i x1 = _mm512_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 0, 0, 0, 0, 0);
    const __m512i x2 = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 17, 20, 23, 26, 29);
    const __m512i y1 = _mm512_setr_epi32(1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 0, 0, 0, 0, 0);
    const __m512i y2 = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 18, 21, 24, 27, 30);
    const __m512i z1 = _mm512_setr_epi32(2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 0, 0, 0, 0, 0, 0);
    const __m512i z2 = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 19, 22, 25, 28, 31);
    return {_mm512_permutex2var_ps(_mm512_permutex2var_ps(P0, x1, P1), x2, P2),
            _mm512_permutex2var_ps(_mm512_permutex2var_ps(P0, y1, P1), y2, P2),
            _mm512_permutex2var_ps(_mm512_permutex2var_ps(P0, z1, P1), z2, P2)};
}

/// Lanes [0, n) of sixteen: none for n <= 0, all for n >= 16.
inline __mmask16 drSfirstLanes16(int n) {
    return n >= 16 ? __mmask16(0xffff) : n <= 0 ? __mmask16(0) : static_cast<__mmask16>((1u << n) - 1u);
}

/// Points p[0] to p[count - 1] (at most sixteen) as x, y and z lanes, 0 in
/// the lanes past them; reads nothing past the points.
__attribute__((target("avx512f"))) inline drSlanes3x16 drSloadTriples16(const float* p, int count) {
    const int floats = 3 * count;
    return drSlanesOfTriples16(_mm512_maskz_loadu_ps(drSfirstLanes16(floats), p),
                               _mm512_maskz_loadu_ps(drSfirstLanes16(floats - 16), p + 16),
                               _mm512_maskz_loadu_ps(drSfirstLanes16(floats - 32), p + 32));
}

/// Points p[0] to p[15] (48 floats from p) as x, y and z lanes.
__attribute__((target("avx512f"))) inline drSlanes3x16 drSloadTriples16(const float* p) {
    return drSlanesOfTriples16(_mm512_loadu_ps(p), _mm512_loadu_ps(p + 16), _mm512_loadu_ps(p + 32));
}

/// The lanes back as sixteen packed points in three vectors (48 floats).
__attribute__((target("avx512f"))) inline void drStriplesOfLanes16(const drSlanes3x16& v, __m512 q[3]) {
    // x and y first, then z into its places
    const __m512i a0 = _mm512_setr_epi32(0, 16, 0, 1, 17, 0, 2, 18, 0, 3, 19, 0, 4, 20, 0, 5);
    const __m512i b0 = _mm512_setr_epi32(0, 1, 16, 3, 4, 17, 6, 7, 18, 9, 10, 19, 12, 13, 20, 15);
    const __m512i a1 = _mm512_setr_epi32(21, 0, 6, 22, 0, 7, 23, 0, 8, 24, 0, 9, 25, 0, 10, 26);
    const __m512i b1 = _mm512_setr_epi32(0, 21, 2, 3, 22, 5, 6, 23, 8, 9, 24, 11, 12, 25, 14, 15);
    const __m512i a2 = _mm512_setr_epi32(0, 11, 27, 0, 12, 28, 0, 13, 29, 0, 14, 30, 0, 15, 31, 0);
    const __m512i b2 = _mm512_setr_epi32(26, 1, 2, 27, 4, 5, 28, 7, 8, 29, 10, 11, 30, 13, 14, 31);
    q[0] = _mm512_permutex2var_ps(_mm512_permutex2var_ps(v.x, a0, v.y), b0, v.z);
    q[1] = _mm512_permutex2var_ps(_mm512_permutex2var_ps(v.x, a1, v.y), b1, v.z);
    q[2] = _mm512_permutex2var_ps(_mm512_permutex2var_ps(v.x, a2, v.y), b2, v.z);
}

/// The lanes back into points p[0] to p[15].
__attribute__((target("avx512f"))) inline void drSstoreTriples16(float* p, const drSlanes3x16& v) {
    __m512 q[3];
    drStriplesOfLanes16(v, q);
    for (int k = 0; k < 3; ++k) _mm512_storeu_ps(p + 16 * k, q[k]);
}
#endif
