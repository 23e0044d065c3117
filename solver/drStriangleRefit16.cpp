#include "drStriangleRefit16.h"

#include <algorithm>
#include <cfloat>
#include <cstring>

#include "drSlanes.h"

#include "drStriples16.h"
#include "drSx86.h"

#if DR_X86
namespace {

/// The twelve float fields of a block, in the order the refit computes them.
constexpr drSfloat4 drStriangleBlock::*kFields[12] = {
    &drStriangleBlock::normalX, &drStriangleBlock::normalY, &drStriangleBlock::normalZ,
    &drStriangleBlock::baryUX,  &drStriangleBlock::baryUY,  &drStriangleBlock::baryUZ,
    &drStriangleBlock::baryVX,  &drStriangleBlock::baryVY,  &drStriangleBlock::baryVZ,
    &drStriangleBlock::cornerX, &drStriangleBlock::cornerY, &drStriangleBlock::cornerZ};

DR_LANES16_BEGIN

/// std::min(a, b) and std::max(a, b) lane by lane, as the four-lane refit
/// takes them: b when b < a (b > a), else a (which matters for signed zeros).
__attribute__((target("avx512f"))) inline __m512 minOf16(__m512 a, __m512 b) {
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(b, a, _CMP_LT_OQ), a, b);
}
__attribute__((target("avx512f"))) inline __m512 maxOf16(__m512 a, __m512 b) {
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, b, _CMP_LT_OQ), a, b);
}

/// a . b as (ax bx + ay by) + az bz, lane by lane.
__attribute__((target("avx512f"))) inline __m512 dot(__m512 ax, __m512 ay, __m512 az, __m512 bx, __m512 by, __m512 bz) {
    return _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(ax, bx), _mm512_mul_ps(ay, by)), _mm512_mul_ps(az, bz));
}

__attribute__((target("avx512f"))) void refit16(drStriangleBlock* blocks, const drStriangle* triangles, int32_t count,
                                                const drSvec3* positions, float lowerOffset, float upperOffset,
                                                drSvec3& boxMin, drSvec3& boxMax) {
    const float* p = &positions[0].x;
    const __m512 smallest = _mm512_set1_ps(1e-15f), largest = _mm512_set1_ps(FLT_MAX), one = _mm512_set1_ps(1.0f),
                 widen = _mm512_set1_ps(0.05f), zero = _mm512_setzero_ps(), lower = _mm512_set1_ps(lowerOffset),
                 upper = _mm512_set1_ps(upperOffset);
    alignas(64) float values[12][16];
    float lowest[3] = {boxMin.x, boxMin.y, boxMin.z}, highest[3] = {boxMax.x, boxMax.y, boxMax.z};
    alignas(64) float boxes[6][16];
    for (int32_t first = 0; first < count; first += 16) {
        const int32_t used = std::min(16, count - first);
        const __mmask16 live = drSfirstLanes16(used);

        // Corner indices of the 16 triangles (3 ints each, none read past the
        // last); idle lanes repeat the last triangle, as in the last block
        const int32_t* t = triangles[first].data();
        // (the ints are moved as float bits, never as numbers)
        const drSlanes3x16 corners = drSloadTriples16(reinterpret_cast<const float*>(t), used);
        const __m512i last = _mm512_set1_epi32(used - 1);
        const __m512i ia = _mm512_castps_si512(_mm512_mask_permutexvar_ps(corners.x, static_cast<__mmask16>(~live), last, corners.x));
        const __m512i ib = _mm512_castps_si512(_mm512_mask_permutexvar_ps(corners.y, static_cast<__mmask16>(~live), last, corners.y));
        const __m512i ic = _mm512_castps_si512(_mm512_mask_permutexvar_ps(corners.z, static_cast<__mmask16>(~live), last, corners.z));

        // Corner positions: three floats from 3 i
        __m512 A[3], B[3], C[3];
        const __m512i ia3 = _mm512_mullo_epi32(ia, _mm512_set1_epi32(3));
        const __m512i ib3 = _mm512_mullo_epi32(ib, _mm512_set1_epi32(3));
        const __m512i ic3 = _mm512_mullo_epi32(ic, _mm512_set1_epi32(3));
        for (int k = 0; k < 3; ++k) {
            const __m512i off = _mm512_set1_epi32(k);
            A[k] = _mm512_i32gather_ps(_mm512_add_epi32(ia3, off), p, 4);
            B[k] = _mm512_i32gather_ps(_mm512_add_epi32(ib3, off), p, 4);
            C[k] = _mm512_i32gather_ps(_mm512_add_epi32(ic3, off), p, 4);
        }

        // Edges and the squared area; degenerate (also non-finite) triangles are only marked
        const __m512 e1x = _mm512_sub_ps(B[0], A[0]), e1y = _mm512_sub_ps(B[1], A[1]), e1z = _mm512_sub_ps(B[2], A[2]);
        const __m512 e2x = _mm512_sub_ps(C[0], A[0]), e2y = _mm512_sub_ps(C[1], A[1]), e2z = _mm512_sub_ps(C[2], A[2]);
        const __m512 Nx = _mm512_sub_ps(_mm512_mul_ps(e1y, e2z), _mm512_mul_ps(e1z, e2y));
        const __m512 Ny = _mm512_sub_ps(_mm512_mul_ps(e1z, e2x), _mm512_mul_ps(e1x, e2z));
        const __m512 Nz = _mm512_sub_ps(_mm512_mul_ps(e1x, e2y), _mm512_mul_ps(e1y, e2x));
        const __m512 q = _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(Nx, Nx), _mm512_mul_ps(Ny, Ny)), _mm512_mul_ps(Nz, Nz));
        const __mmask16 fit = _mm512_mask_cmp_ps_mask(_mm512_mask_cmp_ps_mask(live, q, smallest, _CMP_GE_OQ), q,
                                                      largest, _CMP_LE_OQ);

        // Unit normal, barycentric vectors and corner A
        const __m512 s = _mm512_div_ps(one, q);
        const __m512 root = _mm512_sqrt_ps(s);
        const __m512 nx = _mm512_mul_ps(Nx, root), ny = _mm512_mul_ps(Ny, root), nz = _mm512_mul_ps(Nz, root);
        const __m512 d = _mm512_mul_ps(dot(e1x, e1y, e1z, e2x, e2y, e2z), s);
        const __m512 k2 = _mm512_mul_ps(dot(e2x, e2y, e2z, e2x, e2y, e2z), s);
        const __m512 k1 = _mm512_mul_ps(dot(e1x, e1y, e1z, e1x, e1y, e1z), s);
        const __m512 field[12] = {nx,
                                  ny,
                                  nz,
                                  _mm512_sub_ps(_mm512_mul_ps(e1x, k2), _mm512_mul_ps(e2x, d)),
                                  _mm512_sub_ps(_mm512_mul_ps(e1y, k2), _mm512_mul_ps(e2y, d)),
                                  _mm512_sub_ps(_mm512_mul_ps(e1z, k2), _mm512_mul_ps(e2z, d)),
                                  _mm512_sub_ps(_mm512_mul_ps(e2x, k1), _mm512_mul_ps(e1x, d)),
                                  _mm512_sub_ps(_mm512_mul_ps(e2y, k1), _mm512_mul_ps(e1y, d)),
                                  _mm512_sub_ps(_mm512_mul_ps(e2z, k1), _mm512_mul_ps(e1z, d)),
                                  A[0],
                                  A[1],
                                  A[2]};
        for (int f = 0; f < 12; ++f) _mm512_store_ps(values[f], field[f]);

        // Triangle boxes: corners widened by 5 % of the extent, then the slab
        // between the offsets
        const __m512 normal[3] = {nx, ny, nz};
        for (int k = 0; k < 3; ++k) {
            __m512 lo = minOf16(minOf16(A[k], B[k]), C[k]);
            __m512 hi = maxOf16(maxOf16(A[k], B[k]), C[k]);
            const __m512 extent = _mm512_sub_ps(hi, lo);
            lo = _mm512_sub_ps(lo, _mm512_mul_ps(widen, extent));
            hi = _mm512_add_ps(hi, _mm512_mul_ps(widen, extent));
            const __m512 o = _mm512_mul_ps(lower, normal[k]);
            const __mmask16 oUp = _mm512_cmp_ps_mask(o, zero, _CMP_GT_OQ);
            hi = _mm512_mask_add_ps(hi, oUp, hi, o);
            lo = _mm512_mask_add_ps(lo, static_cast<__mmask16>(~oUp), lo, o);
            const __m512 u = _mm512_mul_ps(upper, normal[k]);
            const __mmask16 uUp = _mm512_cmp_ps_mask(u, zero, _CMP_GT_OQ);
            hi = _mm512_mask_add_ps(hi, uUp, hi, u);
            lo = _mm512_mask_add_ps(lo, static_cast<__mmask16>(~uUp), lo, u);
            _mm512_store_ps(boxes[k], lo);
            _mm512_store_ps(boxes[3 + k], hi);
        }

        // Into the blocks: a block whose lanes are all fit takes its quarter
        // of every field whole; otherwise a fit lane takes its values, a live
        // one that is not fit is marked degenerate, and an idle one is kept
        for (int32_t quarter = 0; 4 * quarter < used; ++quarter) {
            drStriangleBlock& block = blocks[first / 4 + quarter];
            const uint32_t lanes = (static_cast<uint32_t>(fit) >> (4 * quarter)) & 0xFu;
            if (lanes == 0xFu) {
                for (int f = 0; f < 12; ++f) std::memcpy(&(block.*kFields[f]), &values[f][4 * quarter], sizeof(drSfloat4));
                continue;
            }
            for (int32_t lane = 0; lane < 4; ++lane) {
                const int32_t l = 4 * quarter + lane;
                if ((lanes >> lane) & 1u) {
                    for (int f = 0; f < 12; ++f) (block.*kFields[f])[lane] = values[f][l];
                } else if (l < used) {
                    block.normalX[lane] = kDegenerateMark;
                }
            }
        }
        // The box, triangle by triangle as the four-lane refit grows it. When
        // no bound of a fit triangle is zero (or not a number), the smallest
        // and largest do not depend on the order, and are taken in lanes.
        __mmask16 exact = 0;
        for (int k = 0; k < 6; ++k) {
            const __m512 v = _mm512_load_ps(boxes[k]);
            exact |= _mm512_mask_cmp_ps_mask(fit, v, zero, _CMP_EQ_UQ);  // zero, or not a number
        }
        if (exact == 0) {
            for (int k = 0; k < 3; ++k) {
                lowest[k] = std::min(lowest[k], _mm512_mask_reduce_min_ps(fit, _mm512_load_ps(boxes[k])));
                highest[k] = std::max(highest[k], _mm512_mask_reduce_max_ps(fit, _mm512_load_ps(boxes[3 + k])));
            }
            continue;
        }
        for (int32_t l = 0; l < used; ++l) {
            if (((fit >> l) & 1u) == 0) continue;
            for (int k = 0; k < 3; ++k) {
                lowest[k] = std::min(lowest[k], boxes[k][l]);
                highest[k] = std::max(highest[k], boxes[3 + k][l]);
            }
        }
    }
    boxMin = {lowest[0], lowest[1], lowest[2]};
    boxMax = {highest[0], highest[1], highest[2]};
}

DR_LANES16_END

}  // namespace
#endif

bool drSrefitBlocks16(drStriangleBlock* blocks, const drStriangle* triangles, int32_t count, const drSvec3* positions,
                      float lowerOffset, float upperOffset, drSvec3& boxMin, drSvec3& boxMax) {
#if DR_X86
    if (drSlaneWidth() != 16) return false;
    refit16(blocks, triangles, count, positions, lowerOffset, upperOffset, boxMin, boxMax);
    return true;
#else
    (void)blocks, (void)triangles, (void)count, (void)positions, (void)lowerOffset, (void)upperOffset, (void)boxMin,
        (void)boxMax;
    return false;
#endif
}
