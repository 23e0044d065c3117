#include "drSlanes.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>

#include "drStriples16.h"
#include "drSx86.h"

namespace {

/// The formula one spring at a time; also the reference for the lanes.
void springsPortable(const drSspringLanesArgs& a) {
    for (int32_t j = 0; j < a.count; ++j) {
        const float L = a.rest[j], w = a.factor[j];
        const float len = std::max(L * 0.001f, std::sqrt(a.dx[j] * a.dx[j] + a.dy[j] * a.dy[j] + a.dz[j] * a.dz[j]));
        const float e = len - L;
        const float k = len != 0.0f ? a.stiffness / len * e * w : 0.0f;
        const float c = a.damping * w;
        a.dx[j] = k * a.dx[j] + c * a.ux[j];
        a.dy[j] = k * a.dy[j] + c * a.uy[j];
        a.dz[j] = k * a.dz[j] + c * a.uz[j];
    }
}

#if DR_X86
// In all three widths: max(norm, floor) returns the floor when norm is not
// greater (or not a number), as std::max(floor, norm) does; the comparison
// "len != 0" is unordered-true, as in the portable code.

__attribute__((target("sse2"))) void springs4(const drSspringLanesArgs& a) {
    const __m128 ksv = _mm_set1_ps(a.stiffness), kdv = _mm_set1_ps(a.damping), floor = _mm_set1_ps(0.001f);
    for (int32_t j = 0; j < a.count; j += 4) {
        const __m128 X = _mm_load_ps(a.dx + j), Y = _mm_load_ps(a.dy + j), Z = _mm_load_ps(a.dz + j);
        const __m128 L = _mm_loadu_ps(a.rest + j), w = _mm_loadu_ps(a.factor + j);
        const __m128 norm = _mm_sqrt_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(X, X), _mm_mul_ps(Y, Y)), _mm_mul_ps(Z, Z)));
        const __m128 len = _mm_max_ps(norm, _mm_mul_ps(L, floor));
        const __m128 e = _mm_sub_ps(len, L);
        const __m128 k = _mm_and_ps(_mm_cmpneq_ps(len, _mm_setzero_ps()), _mm_mul_ps(_mm_mul_ps(_mm_div_ps(ksv, len), e), w));
        const __m128 c = _mm_mul_ps(kdv, w);
        _mm_store_ps(a.dx + j, _mm_add_ps(_mm_mul_ps(k, X), _mm_mul_ps(c, _mm_load_ps(a.ux + j))));
        _mm_store_ps(a.dy + j, _mm_add_ps(_mm_mul_ps(k, Y), _mm_mul_ps(c, _mm_load_ps(a.uy + j))));
        _mm_store_ps(a.dz + j, _mm_add_ps(_mm_mul_ps(k, Z), _mm_mul_ps(c, _mm_load_ps(a.uz + j))));
    }
}

__attribute__((target("avx2"))) void springs8(const drSspringLanesArgs& a) {
    const __m256 ksv = _mm256_set1_ps(a.stiffness), kdv = _mm256_set1_ps(a.damping), floor = _mm256_set1_ps(0.001f);
    for (int32_t j = 0; j < a.count; j += 8) {
        const __m256 X = _mm256_load_ps(a.dx + j), Y = _mm256_load_ps(a.dy + j), Z = _mm256_load_ps(a.dz + j);
        const __m256 L = _mm256_loadu_ps(a.rest + j), w = _mm256_loadu_ps(a.factor + j);
        const __m256 norm =
            _mm256_sqrt_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(X, X), _mm256_mul_ps(Y, Y)), _mm256_mul_ps(Z, Z)));
        const __m256 len = _mm256_max_ps(norm, _mm256_mul_ps(L, floor));
        const __m256 e = _mm256_sub_ps(len, L);
        const __m256 k = _mm256_and_ps(_mm256_cmp_ps(len, _mm256_setzero_ps(), _CMP_NEQ_UQ),
                                       _mm256_mul_ps(_mm256_mul_ps(_mm256_div_ps(ksv, len), e), w));
        const __m256 c = _mm256_mul_ps(kdv, w);
        _mm256_store_ps(a.dx + j, _mm256_add_ps(_mm256_mul_ps(k, X), _mm256_mul_ps(c, _mm256_load_ps(a.ux + j))));
        _mm256_store_ps(a.dy + j, _mm256_add_ps(_mm256_mul_ps(k, Y), _mm256_mul_ps(c, _mm256_load_ps(a.uy + j))));
        _mm256_store_ps(a.dz + j, _mm256_add_ps(_mm256_mul_ps(k, Z), _mm256_mul_ps(c, _mm256_load_ps(a.uz + j))));
    }
}

DR_LANES16_BEGIN
/// The spring formula in 16 lanes: from the differences X, Y, Z of the
/// ends and U of their velocities, rest lengths L and factors w, the forces
/// (k X + c UX, ...). Shared by the block and the straight paths.
__attribute__((target("avx512f"))) inline void springFormula16(__m512 X, __m512 Y, __m512 Z, __m512 UX, __m512 UY,
                                                               __m512 UZ, __m512 L, __m512 w, float stiffness,
                                                               float damping, __m512& FX, __m512& FY, __m512& FZ) {
    const __m512 ksv = _mm512_set1_ps(stiffness), kdv = _mm512_set1_ps(damping), floor = _mm512_set1_ps(0.001f);
    const __m512 norm =
        _mm512_sqrt_ps(_mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(X, X), _mm512_mul_ps(Y, Y)), _mm512_mul_ps(Z, Z)));
    const __m512 len = _mm512_max_ps(norm, _mm512_mul_ps(L, floor));
    const __m512 e = _mm512_sub_ps(len, L);
    const __mmask16 nonzero = _mm512_cmp_ps_mask(len, _mm512_setzero_ps(), _CMP_NEQ_UQ);
    const __m512 k = _mm512_maskz_mov_ps(nonzero, _mm512_mul_ps(_mm512_mul_ps(_mm512_div_ps(ksv, len), e), w));
    const __m512 c = _mm512_mul_ps(kdv, w);
    FX = _mm512_add_ps(_mm512_mul_ps(k, X), _mm512_mul_ps(c, UX));
    FY = _mm512_add_ps(_mm512_mul_ps(k, Y), _mm512_mul_ps(c, UY));
    FZ = _mm512_add_ps(_mm512_mul_ps(k, Z), _mm512_mul_ps(c, UZ));
}

__attribute__((target("avx512f"))) void springs16(const drSspringLanesArgs& a) {
    for (int32_t j = 0; j < a.count; j += 16) {
        __m512 FX, FY, FZ;
        springFormula16(_mm512_load_ps(a.dx + j), _mm512_load_ps(a.dy + j), _mm512_load_ps(a.dz + j),
                        _mm512_load_ps(a.ux + j), _mm512_load_ps(a.uy + j), _mm512_load_ps(a.uz + j),
                        _mm512_loadu_ps(a.rest + j), _mm512_loadu_ps(a.factor + j), a.stiffness, a.damping, FX, FY,
                        FZ);
        _mm512_store_ps(a.dx + j, FX);
        _mm512_store_ps(a.dy + j, FY);
        _mm512_store_ps(a.dz + j, FZ);
    }
}

/// Four 128-bit vectors as one 16-lane vector, in order.
__attribute__((target("avx512f"))) inline __m512 join4(__m128 d0, __m128 d1, __m128 d2, __m128 d3) {
    const __m256 lo = _mm256_insertf128_ps(_mm256_castps128_ps256(d0), d1, 1);
    const __m256 hi = _mm256_insertf128_ps(_mm256_castps128_ps256(d2), d3, 1);
    return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(lo)), _mm256_castps_pd(hi), 1));
}

/// Four springs' differences x[b] - x[a] and v[b] - v[a], each in one
/// 16-lane vector, spring by spring in 128-bit lanes (x, y, z and one float
/// past the point); `s` holds the byte offsets of a and b of each spring.
/// Both arrays are read with the same offsets, loaded once.
__attribute__((target("avx512f"))) inline void differences4(const char* x, const char* v, const int32_t* s,
                                                            __m512& dx, __m512& dv) {
    __m128 px[4], pv[4];
    for (int k = 0; k < 4; ++k) {
        const int32_t a = s[2 * k], b = s[2 * k + 1];
        px[k] = _mm_sub_ps(_mm_loadu_ps(reinterpret_cast<const float*>(x + b)),
                           _mm_loadu_ps(reinterpret_cast<const float*>(x + a)));
        pv[k] = _mm_sub_ps(_mm_loadu_ps(reinterpret_cast<const float*>(v + b)),
                           _mm_loadu_ps(reinterpret_cast<const float*>(v + a)));
    }
    dx = join4(px[0], px[1], px[2], px[3]);
    dv = join4(pv[0], pv[1], pv[2], pv[3]);
}

/// Four vectors of four springs each as x, y and z lanes: spring 4g + i in lane 4i + g.
__attribute__((target("avx512f"))) inline void transpose16(__m512 D0, __m512 D1, __m512 D2, __m512 D3, __m512& X,
                                                           __m512& Y, __m512& Z) {
    const __m512 T0 = _mm512_unpacklo_ps(D0, D1), T1 = _mm512_unpackhi_ps(D0, D1);
    const __m512 T2 = _mm512_unpacklo_ps(D2, D3), T3 = _mm512_unpackhi_ps(D2, D3);
    X = _mm512_shuffle_ps(T0, T2, 0x44);
    Y = _mm512_shuffle_ps(T0, T2, 0xEE);
    Z = _mm512_shuffle_ps(T1, T3, 0x44);
}

/// The reverse of transpose16: forces in its lane order back to four
/// vectors of four springs each (x, y, z, 0 per spring), in spring order.
__attribute__((target("avx512f"))) inline void untranspose16(__m512 FX, __m512 FY, __m512 FZ, __m512 F[4]) {
    const __m512 zero = _mm512_setzero_ps();
    const __m512 T0 = _mm512_unpacklo_ps(FX, FY), T1 = _mm512_unpackhi_ps(FX, FY);
    const __m512 T2 = _mm512_unpacklo_ps(FZ, zero), T3 = _mm512_unpackhi_ps(FZ, zero);
    F[0] = _mm512_shuffle_ps(T0, T2, 0x44);
    F[1] = _mm512_shuffle_ps(T0, T2, 0xEE);
    F[2] = _mm512_shuffle_ps(T1, T3, 0x44);
    F[3] = _mm512_shuffle_ps(T1, T3, 0xEE);
}

/// Lane orders for two interleaved runs of 16 springs (drSinterleavedRuns).
/// A run is computed in the lane order of transpose16 (spring 4g + i in lane
/// 4i + g), so that the reverse transpose gives its forces four springs a
/// vector; the two runs' vectors are then interleaved spring by spring.
struct InterleavedOrder {
    /// Per component c: the float of 16 consecutive points (3 floats each,
    /// 48 in three vectors) that goes to each lane, modulo 32, and the lanes
    /// that take it from the third vector.
    int32_t component[3][16];
    uint16_t third[3];
    /// Per run r: the spring of the 32 (two vectors) that goes to each lane.
    int32_t run[2][16];
    /// The spring-order forces of both runs, from one vector of each (four
    /// springs in quarters): quarters 0 and 1, then 2 and 3, a run in turn.
    int32_t lower[16], upper[16];
};

constexpr InterleavedOrder makeInterleavedOrder() {
    InterleavedOrder o{};
    for (int32_t l = 0; l < 16; ++l) {
        const int32_t m = 4 * (l % 4) + l / 4;  // the run's spring in lane l
        for (int32_t c = 0; c < 3; ++c) {
            const int32_t f = 3 * m + c;
            o.component[c][l] = f & 31;
            if (f >= 32) o.third[c] = static_cast<uint16_t>(o.third[c] | (1u << l));
        }
        for (int32_t r = 0; r < 2; ++r) o.run[r][l] = 2 * m + r;
        const int32_t quarter = l / 4, run = quarter % 2, k = l % 4;
        o.lower[l] = 16 * run + 4 * (quarter / 2) + k;
        o.upper[l] = 16 * run + 4 * (quarter / 2 + 2) + k;
    }
    return o;
}

constexpr InterleavedOrder kInterleaved = makeInterleavedOrder();

/// Component c of 16 consecutive points held in three vectors, in the run's lane order.
__attribute__((target("avx512f"))) inline __m512 component16(__m512 P0, __m512 P1, __m512 P2, int32_t c) {
    const __m512i index = _mm512_loadu_si512(kInterleaved.component[c]);
    return _mm512_mask_permutexvar_ps(_mm512_permutex2var_ps(P0, index, P1), kInterleaved.third[c], index, P2);
}

/// Whether springs j to j + 15 still join the points their offsets were taken from.
__attribute__((target("avx512f"))) inline bool pairsStand(const drSspringPointsArgs& a, int32_t j) {
    const __m512i twelve = _mm512_set1_epi32(12);
    const __m512i limit = _mm512_set1_epi32(static_cast<int32_t>(drSpointOffsetLimit));
    // 12 p is exact below the limit, so equal products mean equal pairs
    const __m512i p0 = _mm512_loadu_si512(a.pairs + 2 * j), p1 = _mm512_loadu_si512(a.pairs + 2 * j + 16);
    const __m512i o0 = _mm512_loadu_si512(a.offsets + 2 * j), o1 = _mm512_loadu_si512(a.offsets + 2 * j + 16);
    const __mmask16 same = _mm512_cmpeq_epi32_mask(_mm512_mullo_epi32(p0, twelve), o0) &
                           _mm512_cmpeq_epi32_mask(_mm512_mullo_epi32(p1, twelve), o1) &
                           _mm512_cmplt_epu32_mask(p0, limit) & _mm512_cmplt_epu32_mask(p1, limit);
    return same == 0xFFFF;
}

/// Whether springs j to j + 31 still are the runs of `ends`: springs 2m and
/// 2m + 1 join ends[0] + m and ends[1] + m, and ends[2] + m and ends[3] + m.
__attribute__((target("avx512f"))) inline bool runsStand(const drSspringPointsArgs& a, int32_t j,
                                                         const int32_t* ends) {
    // Pair values of 8 springs a vector: lane l holds end l % 4 of the runs plus m
    const __m512i base = _mm512_add_epi32(_mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ends))),
                                          _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3));
    __mmask16 same = 0xFFFF;
    for (int32_t k = 0; k < 4; ++k)
        same &= _mm512_cmpeq_epi32_mask(_mm512_loadu_si512(a.pairs + 2 * j + 16 * k),
                                        _mm512_add_epi32(base, _mm512_set1_epi32(4 * k)));
    return same == 0xFFFF;
}

/// Run r's differences x[b] - x[a] in D and v[b] - v[a] in U, its 16
/// points packed in three vectors each.
__attribute__((target("avx512f"))) inline void runDifferences(const drSspringPointsArgs& a, const int32_t* ends,
                                                             int32_t r, __m512 D[3], __m512 U[3]) {
    const size_t pa = 3 * static_cast<size_t>(ends[2 * r]), pb = 3 * static_cast<size_t>(ends[2 * r + 1]);
    const float *xa = a.x + pa, *xb = a.x + pb, *va = a.v + pa, *vb = a.v + pb;
    for (int32_t k = 0; k < 3; ++k) {
        D[k] = _mm512_sub_ps(_mm512_loadu_ps(xb + 16 * k), _mm512_loadu_ps(xa + 16 * k));
        U[k] = _mm512_sub_ps(_mm512_loadu_ps(vb + 16 * k), _mm512_loadu_ps(va + 16 * k));
    }
}

/// The forces of run r (0 or 1) of the interleaved springs j to j + 31, as
/// four vectors of four springs in run order.
__attribute__((target("avx512f"))) inline void interleavedRun(const drSspringPointsArgs& a, int32_t j, int32_t r,
                                                              const int32_t* ends, __m512 out[4]) {
    __m512 D[3], U[3];
    runDifferences(a, ends, r, D, U);
    const __m512i run = _mm512_loadu_si512(kInterleaved.run[r]);
    const __m512 L = _mm512_permutex2var_ps(_mm512_loadu_ps(a.rest + j), run, _mm512_loadu_ps(a.rest + j + 16));
    const __m512 w = _mm512_permutex2var_ps(_mm512_loadu_ps(a.factor + j), run, _mm512_loadu_ps(a.factor + j + 16));
    __m512 FX, FY, FZ;
    springFormula16(component16(D[0], D[1], D[2], 0), component16(D[0], D[1], D[2], 1),
                    component16(D[0], D[1], D[2], 2), component16(U[0], U[1], U[2], 0),
                    component16(U[0], U[1], U[2], 1), component16(U[0], U[1], U[2], 2), L, w, a.stiffness,
                    a.damping, FX, FY, FZ);
    untranspose16(FX, FY, FZ, out);
}

/// Stores the forces of the springs from j that have a track into it,
/// from `count` vectors of four springs each in spring order (x, y, z, 0 per
/// spring, as stored in the slots): three floats per spring, masked.
__attribute__((target("avx512f"))) inline void quartersToTracks(const drSspringPointsArgs& a, int32_t j,
                                                               const __m512* F, int32_t count) {
    if (a.trackPlaces == nullptr) return;
    for (int32_t g = 0; g < count; ++g)
        for (int32_t i = 0; i < 4; ++i) {
            const int32_t place = a.trackPlaces[j + 4 * g + i];
            if (place >= 0)
                _mm512_mask_storeu_ps(a.trackData + place - 4 * i, static_cast<__mmask16>(0x7u << (4 * i)), F[g]);
        }
}

/// Springs j to j + 31 as two interleaved runs, into their slots (and the
/// tracks of those that have one).
__attribute__((target("avx512f"))) inline void interleaved32(const drSspringPointsArgs& a, int32_t j,
                                                             const int32_t* ends) {
    __m512 even[4], odd[4];
    interleavedRun(a, j, 0, ends, even);
    interleavedRun(a, j, 1, ends, odd);
    const __m512i lower = _mm512_loadu_si512(kInterleaved.lower), upper = _mm512_loadu_si512(kInterleaved.upper);
    __m512 F[8];
    for (int32_t g = 0; g < 4; ++g) {
        F[2 * g] = _mm512_permutex2var_ps(even[g], lower, odd[g]);
        F[2 * g + 1] = _mm512_permutex2var_ps(even[g], upper, odd[g]);
    }
    for (int32_t k = 0; k < 8; ++k) _mm512_storeu_ps(a.out + 4 * j + 16 * k, F[k]);
    quartersToTracks(a, j, F, 8);
}

/// Springs j to j + 31 as two interleaved runs, each run's forces in point
/// order into its track (ends[4] and ends[5]): the run's 16 springs are
/// computed in the order of their first ends, so no lanes are reordered on
/// the way out. `same`: the rest length and factor all 32 have, or null.
__attribute__((target("avx512f"))) inline void interleavedToTracks(const drSspringPointsArgs& a, int32_t j,
                                                                  const int32_t* ends, const float* same) {
    // Both runs before either is stored: a store may not pass the loads of
    // the other run (the compiler cannot tell the arrays apart)
    drSlanes3x16 F[2];
    for (int32_t r = 0; r < 2; ++r) {
        __m512 D[3], U[3];
        runDifferences(a, ends, r, D, U);
        const drSlanes3x16 d = drSlanesOfTriples16(D[0], D[1], D[2]), u = drSlanesOfTriples16(U[0], U[1], U[2]);
        __m512 L, w;
        if (same != nullptr) {
            L = _mm512_set1_ps(same[0]);
            w = _mm512_set1_ps(same[1]);
        } else {
            // Lane m takes spring 2m + r of the 32
            const __m512i run = _mm512_add_epi32(
                _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30), _mm512_set1_epi32(r));
            L = _mm512_permutex2var_ps(_mm512_loadu_ps(a.rest + j), run, _mm512_loadu_ps(a.rest + j + 16));
            w = _mm512_permutex2var_ps(_mm512_loadu_ps(a.factor + j), run, _mm512_loadu_ps(a.factor + j + 16));
        }
        springFormula16(d.x, d.y, d.z, u.x, u.y, u.z, L, w, a.stiffness, a.damping, F[r].x, F[r].y, F[r].z);
    }
    for (int32_t r = 0; r < 2; ++r)
        drSstoreTriples16(a.trackBases[ends[4 + r]] + 3 * static_cast<size_t>(ends[2 * r]), F[r]);
}

/// Whether springs j to j + 15 still are the half runs of `ends`: springs
/// 2m and 2m + 1 (m = 0 to 7) join ends[0] + m and ends[1] + m, and ends[2]
/// + m and ends[3] + m.
__attribute__((target("avx512f"))) inline bool halvesStand(const drSspringPointsArgs& a, int32_t j,
                                                         const int32_t* ends) {
    // Lane l of the k-th 16 ints: end l % 4 of the runs, plus m = 4k + l / 4
    const __m512i base = _mm512_add_epi32(_mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ends))),
                                          _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3));
    const __mmask16 same = _mm512_cmpeq_epi32_mask(_mm512_loadu_si512(a.pairs + 2 * j), base) &
                           _mm512_cmpeq_epi32_mask(_mm512_loadu_si512(a.pairs + 2 * j + 16),
                                                   _mm512_add_epi32(base, _mm512_set1_epi32(4)));
    return same == 0xFFFF;
}

/// Two runs' 24 floats each (a whole vector and a low half) as three
/// vectors of 48 floats: 16 of run 0, its last 8 and run 1's first 8, 16 of run 1.
__attribute__((target("avx512f"))) inline void packHalves(const __m512 (&R)[2][2], __m512 P[3]) {
    P[0] = R[0][0];
    P[1] = _mm512_castpd_ps(
        _mm512_insertf64x4(_mm512_castps_pd(R[0][1]), _mm256_castps_pd(_mm512_castps512_ps256(R[1][0])), 1));
    P[2] = _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castps_pd(_mm512_shuffle_f32x4(R[1][0], R[1][0], 0xEE)),
                                               _mm256_castps_pd(_mm512_castps512_ps256(R[1][1])), 1));
}

/// Springs j to j + 15 as two interleaved half runs of 8, side by side in
/// one vector (run 0 in the low lanes), each run's forces in point order
/// into its track. `same`: the rest length and factor all 16 have, or null.
__attribute__((target("avx512f"))) inline void halvesToTracks(const drSspringPointsArgs& a, int32_t j,
                                                             const int32_t* ends, const int32_t* tracks,
                                                             const float* same) {
    // A run's 8 points are 24 floats: a whole vector and a masked half
    __m512 D[2][2], U[2][2];
    for (int32_t r = 0; r < 2; ++r) {
        const size_t pa = 3 * static_cast<size_t>(ends[2 * r]), pb = 3 * static_cast<size_t>(ends[2 * r + 1]);
        D[r][0] = _mm512_sub_ps(_mm512_loadu_ps(a.x + pb), _mm512_loadu_ps(a.x + pa));
        U[r][0] = _mm512_sub_ps(_mm512_loadu_ps(a.v + pb), _mm512_loadu_ps(a.v + pa));
        D[r][1] = _mm512_sub_ps(_mm512_maskz_loadu_ps(0xFF, a.x + pb + 16), _mm512_maskz_loadu_ps(0xFF, a.x + pa + 16));
        U[r][1] = _mm512_sub_ps(_mm512_maskz_loadu_ps(0xFF, a.v + pb + 16), _mm512_maskz_loadu_ps(0xFF, a.v + pa + 16));
    }
    __m512 PD[3], PU[3];
    packHalves(D, PD);
    packHalves(U, PU);
    const drSlanes3x16 d = drSlanesOfTriples16(PD[0], PD[1], PD[2]), u = drSlanesOfTriples16(PU[0], PU[1], PU[2]);
    // Lane l takes spring 2l (run 0), lane 8 + l spring 2l + 1 (run 1)
    __m512 L, w;
    if (same != nullptr) {
        L = _mm512_set1_ps(same[0]);
        w = _mm512_set1_ps(same[1]);
    } else {
        const __m512i order = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
        L = _mm512_permutexvar_ps(order, _mm512_loadu_ps(a.rest + j));
        w = _mm512_permutexvar_ps(order, _mm512_loadu_ps(a.factor + j));
    }
    drSlanes3x16 F;
    springFormula16(d.x, d.y, d.z, u.x, u.y, u.z, L, w, a.stiffness, a.damping, F.x, F.y, F.z);
    __m512 q[3];
    drStriplesOfLanes16(F, q);
    float* t0 = a.trackBases[tracks[0]] + 3 * static_cast<size_t>(ends[0]);
    float* t1 = a.trackBases[tracks[1]] + 3 * static_cast<size_t>(ends[2]);
    _mm512_storeu_ps(t0, q[0]);
    _mm512_mask_storeu_ps(t0 + 16, 0x00FF, q[1]);
    _mm512_mask_storeu_ps(t1 - 8, 0xFF00, q[1]);  // the tracks are padded before the first point
    _mm512_storeu_ps(t1 + 8, q[2]);
}

/// The rest length and factor that the 16 springs from 16 w all have (as
/// the caller found them), or null.
inline const float* sharedBy16(const drSspringPointsArgs& a, int32_t w) {
    return a.check || a.shared == nullptr || !a.shared[w] ? nullptr : a.sharedValues + 2 * static_cast<size_t>(w);
}

/// The same for the 32 springs from 16 w: both blocks of 16, with the same values.
inline const float* sharedBy32(const drSspringPointsArgs& a, int32_t w) {
    const float *v = sharedBy16(a, w), *next = sharedBy16(a, w + 1);
    if (v == nullptr || next == nullptr) return nullptr;
    return std::bit_cast<uint32_t>(v[0]) == std::bit_cast<uint32_t>(next[0]) &&
                   std::bit_cast<uint32_t>(v[1]) == std::bit_cast<uint32_t>(next[1])
               ? v
               : nullptr;
}

/// 16 springs a group, read straight from the points (differences4, transpose16). Rest
/// lengths and factors are put in the transposed order, and the reverse
/// transpose brings the forces back in spring order.
__attribute__((target("avx512f"))) int32_t springsFromPoints16(const drSspringPointsArgs& a) {
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    int32_t j = 0;
    for (; j < a.count; j += 16) {
        const int32_t s = a.first + j;
        if (a.interleaved && s % 16 == 0 && j + 32 <= a.count && a.interleaved[6 * (s / 16)] >= 0) {
            // Checked against the runs' ends, without the byte offsets
            const int32_t* ends = a.interleaved + 6 * (s / 16);
            if (a.check && !runsStand(a, j, ends)) break;
            if (a.trackBases != nullptr && ends[4] >= 0)
                interleavedToTracks(a, j, ends, sharedBy32(a, s / 16));
            else
                interleaved32(a, j, ends);
            j += 16;
            continue;
        }
        const int32_t* halves = a.halves != nullptr && s % 16 == 0 ? a.halves + 6 * (s / 16) : nullptr;
        if (halves != nullptr && halves[0] >= 0) {
            if (a.check && !halvesStand(a, j, halves)) break;
            halvesToTracks(a, j, halves, halves + 4, sharedBy16(a, s / 16));
            continue;
        }
        if (a.check && !pairsStand(a, j)) break;
        __m512 D[4], U[4];
        for (int g = 0; g < 4; ++g)
            differences4(reinterpret_cast<const char*>(a.x), reinterpret_cast<const char*>(a.v),
                         a.offsets + 2 * j + 8 * g, D[g], U[g]);
        __m512 X, Y, Z, UX, UY, UZ;
        transpose16(D[0], D[1], D[2], D[3], X, Y, Z);
        transpose16(U[0], U[1], U[2], U[3], UX, UY, UZ);
        const __m512 L = _mm512_permutexvar_ps(order, _mm512_loadu_ps(a.rest + j));
        const __m512 w = _mm512_permutexvar_ps(order, _mm512_loadu_ps(a.factor + j));

        __m512 FX, FY, FZ;
        springFormula16(X, Y, Z, UX, UY, UZ, L, w, a.stiffness, a.damping, FX, FY, FZ);

        __m512 F[4];
        untranspose16(FX, FY, FZ, F);
        for (int32_t g = 0; g < 4; ++g) _mm512_storeu_ps(a.out + 4 * j + 16 * g, F[g]);
        quartersToTracks(a, j, F, 4);
    }
    return j;
}
DR_LANES16_END
#endif

int32_t widestLanes() {
#if DR_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 16;
    if (__builtin_cpu_supports("avx2")) return 8;
    if (__builtin_cpu_supports("sse2")) return 4;
#endif
    return 1;
}

std::atomic<int32_t> laneWidth{0};  ///< 0: not chosen yet

}  // namespace

int32_t drSlaneWidth() {
    int32_t width = laneWidth.load(std::memory_order_relaxed);
    if (width == 0) {
        width = widestLanes();
        laneWidth.store(width, std::memory_order_relaxed);
    }
    return width;
}

int32_t drSsetLaneWidth(int32_t width) {
    const int32_t widest = widestLanes();
    int32_t use = widest;
    if (width > 0)
        for (int32_t w : {16, 8, 4, 1})
            if (w <= width && w <= widest) {
                use = w;
                break;
            }
    laneWidth.store(use, std::memory_order_relaxed);
    return use;
}

void drSspringLanes(const drSspringLanesArgs& a) {
    switch (drSlaneWidth()) {
#if DR_X86
        case 16: springs16(a); return;
        case 8: springs8(a); return;
        case 4: springs4(a); return;
#endif
        default: springsPortable(a); return;
    }
}

bool drSinterleavedRuns(const std::array<int32_t, 2>* pairs, int32_t count) {
    for (int32_t s = 2; s < count; ++s)
        for (int32_t c = 0; c < 2; ++c)
            if (static_cast<int64_t>(pairs[s][c]) != static_cast<int64_t>(pairs[s - 2][c]) + 1) return false;
    return true;
}

int32_t drSspringsFromPoints(const drSspringPointsArgs& a) {
#if DR_X86
    if (drSlaneWidth() == 16) return springsFromPoints16(a);
#else
    (void)a;
#endif
    return 0;
}
