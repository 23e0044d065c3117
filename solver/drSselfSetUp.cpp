// The set-up of a leaf's triangles for the self collision search (see
// drSselfSetUp.h): one by one, and eight at a time in 8-lane doubles.
#include "drSselfSetUp.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "drSlanes.h"
#include "drSselfMath.h"
#include "drStriples16.h"
#include "drSx86.h"

using namespace drSself;

namespace {

/// A triangle's float test is trusted to within the margin while its
/// smallest altitude stays at least this share of its longest edge (angles
/// of about 3 degrees and more).
constexpr double kThinRatio = 0.05;
/// Share of a triangle's size added to the reach for the float test's errors.
constexpr double kShapeMargin = 0.02;
/// Share of the coordinates' size added to the reach for the rounding of positions.
constexpr double kScaleMargin = 2e-5;

/// The set-up of the triangles [0, count) of a leaf: their box of reach
/// (the widened triangle's box grown by the reach and its margin), whether
/// each is well shaped, and the frame of the exact test.
void frameTriangles(const drSvec3* positions, const drStriangle* tri, int32_t count, double rho, double far,
                    double* values) {
    for (int32_t t = 0; t < count; ++t) {
        const Vec A = toVec(positions[tri[t][0]]), B = toVec(positions[tri[t][1]]), C = toVec(positions[tri[t][2]]);
        const Vec e1 = B - A, e2 = C - A, e3 = C - B;
        const double l1 = dotOf(e1, e1), l2 = dotOf(e2, e2), l3 = dotOf(e3, e3);
        const double longest = std::sqrt(std::max({l1, l2, l3}));
        const Vec N = crossOf(e1, e2);
        const double area2 = std::sqrt(dotOf(N, N));
        double size = 0.0;
        for (const Vec& X : {A, B, C}) size = std::max({size, std::fabs(X.x), std::fabs(X.y), std::fabs(X.z)});
        // Altitude on the longest edge, area2 / longest, and the worst it
        // can become while every corner moves by rho, (altitude - 2 rho)
        // (longest - 2 rho) / (longest + 2 rho): at least kThinRatio of
        // the longest edge then, written without divisions
        const double lifted = area2 - 2.0 * rho * longest;  // (altitude - 2 rho) longest
        const bool shaped = lifted > 0.0 && lifted * (longest - 2.0 * rho) >=
                                                kThinRatio * longest * (longest + 2.0 * rho) * (longest + 2.0 * rho);
        const double R = far + kShapeMargin * (longest + 2.0 * rho) + kScaleMargin * (size + longest + far);
        double* v = valuesOf(values, t);
        for (int k = 0; k < 3; ++k) {
            const double lo = std::min({A[k], B[k], C[k]}), hi = std::max({A[k], B[k], C[k]});
            const double widen = 0.1 * (hi - lo) + R;
            v[(kBoxLo + k) * kBlock] = lo - widen;
            v[(kBoxHi + k) * kBlock] = hi + widen;
            v[(kCornerA + k) * kBlock] = A[k];
            v[(kEdge1 + k) * kBlock] = e1[k];
            v[(kEdge2 + k) * kBlock] = e2[k];
            v[(kNormal + k) * kBlock] = N[k];
        }
        v[kShaped * kBlock] = shaped ? 1.0 : 0.0;
        // The exact test (see testRun), each bound multiplied by |N| or |N|^2
        const double q = area2 * area2, reachN = R * area2;
        v[kEdge1Sq * kBlock] = l1;
        v[kEdge2Sq * kBlock] = l2;
        v[kEdgesDot * kBlock] = dotOf(e1, e2);
        v[kReachN * kBlock] = reachN;
        v[kULeast * kBlock] = -kBaryMargin * q - reachN * std::sqrt(l2);
        v[kVLeast * kBlock] = -kBaryMargin * q - reachN * std::sqrt(l1);
        v[kSumMost * kBlock] = (1.0 + kBaryMargin) * q + reachN * std::sqrt(l3);
    }
}

/// The box each triangle of a leaf tests points against: its own, or the
/// leaf's [leafLo, leafHi] for a triangle whose float test is not trusted
/// to the margin. The points are floats, so the bounds are rounded inward
/// to floats: a point passes the float bounds exactly when it passes the
/// exact ones.
void boundTriangles(const double* values, int32_t count, const double* leafLo, const double* leafHi, float* bounds) {
    for (int32_t t = 0; t < count; ++t) {
        const double* v = valuesOf(values, t);
        const bool shaped = v[kShaped * kBlock] != 0.0;
        float* box = boundsOf(bounds, t);
        for (int k = 0; k < 3; ++k) {
            box[k * kBlock] = floatAtLeast(shaped ? v[(kBoxLo + k) * kBlock] : leafLo[k]);
            box[(3 + k) * kBlock] = floatAtMost(shaped ? v[(kBoxHi + k) * kBlock] : leafHi[k]);
        }
    }
}

#if DR_X86
DR_LANES16_BEGIN
/// a.b for three components each, summed x + y + z.
__attribute__((target("avx512f"))) inline __m512d dot8(const __m512d* a, const __m512d* b) {
    return _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(a[0], b[0]), _mm512_mul_pd(a[1], b[1])), _mm512_mul_pd(a[2], b[2]));
}
/// frameTriangles in 8 lanes of doubles, eight triangles at a time: the same
/// operations on every value, so the same bits (std::min and std::max are
/// written with the operands in the order that gives the same pick; the
/// longest edge is the largest of the edges' square roots, which are
/// correctly rounded: the square root of the largest square). With them
/// the leaf's box, [leafLo, leafHi], and every triangle's own bounds, as
/// boundTriangles gives them to a well shaped triangle; false when a
/// triangle is not well shaped (its bounds are then the caller's to set).
/// The corners' coordinates are gathered as floats from 32-bit offsets: the
/// points must lie below drSpointOffsetLimit.
__attribute__((target("avx512f"))) bool frameTriangles16(const drSvec3* positions, const drStriangle* tri,
                                                         int32_t count, double rho, double far, double* values,
                                                         float* bounds, double* leafLo, double* leafHi,
                                                         const int32_t* leafCorners, int32_t cornerCount,
                                                         const uint8_t* slots) {
    const float* coordinates = &positions[0].x;
    // The leaf's corners, when the slots are given
    __m512 held[2][3];
    for (int h = 0; h < 2; ++h) {
        const int32_t listed = std::clamp(cornerCount - 16 * h, 0, 16);
        const __mmask16 lanes = static_cast<__mmask16>((1u << listed) - 1u);
        const __m512i point = _mm512_maskz_loadu_epi32(slots != nullptr ? lanes : __mmask16(0), leafCorners + 16 * h);
        const __m512i offset = _mm512_add_epi32(point, _mm512_add_epi32(point, point));
        for (int k = 0; k < 3; ++k)
            held[h][k] = slots != nullptr && listed > 0
                             ? _mm512_mask_i32gather_ps(_mm512_setzero_ps(), lanes, _mm512_add_epi32(offset, _mm512_set1_epi32(k)), coordinates, 4)
                             : _mm512_setzero_ps();
    }
    const int* corners = tri[0].data();
    const __m512d twoRho = _mm512_set1_pd(2.0 * rho), reach = _mm512_set1_pd(far), zero = _mm512_setzero_pd();
    const __m512d thin = _mm512_set1_pd(kThinRatio), shapeMargin = _mm512_set1_pd(kShapeMargin),
                  scaleMargin = _mm512_set1_pd(kScaleMargin), tenth = _mm512_set1_pd(0.1);
    const __m512d baryLeast = _mm512_set1_pd(-kBaryMargin), baryMost = _mm512_set1_pd(1.0 + kBaryMargin);
    bool allShaped = true;
    __m512d unionLo[3], unionHi[3];
    for (int k = 0; k < 3; ++k) {
        unionLo[k] = _mm512_set1_pd(std::numeric_limits<double>::max());
        unionHi[k] = _mm512_set1_pd(-std::numeric_limits<double>::max());
    }
    // Corner a, b or c of eight triangles from their 24 indices or slots
    const __m512i pickA = _mm512_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i pickB = _mm512_add_epi32(pickA, _mm512_set1_epi32(1)), pickC = _mm512_add_epi32(pickA, _mm512_set1_epi32(2));
    for (int32_t t0 = 0; t0 < count; t0 += kBlock) {
        __m512d X[3][3];  // corner A, B, C; axis
        if (slots != nullptr) {
            const __m512i low = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(slots + 3 * t0)));
            const __m512i high = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(slots + 3 * t0 + 16)));
            const __m512i places[3] = {_mm512_permutex2var_epi32(low, pickA, high), _mm512_permutex2var_epi32(low, pickB, high),
                                       _mm512_permutex2var_epi32(low, pickC, high)};
            for (int c = 0; c < 3; ++c)
                for (int k = 0; k < 3; ++k)
                    X[c][k] = _mm512_cvtps_pd(_mm512_castps512_ps256(_mm512_permutex2var_ps(held[0][k], places[c], held[1][k])));
        } else {
            // Lanes past the last triangle repeat its first corner
            const int32_t listed = std::min(count - t0, kBlock) * 3;
            const __m512i low = _mm512_maskz_loadu_epi32(drSfirstLanes16(listed), corners + 3 * t0);
            const __m512i high = _mm512_maskz_loadu_epi32(drSfirstLanes16(listed - 16), corners + 3 * t0 + 16);
            const __mmask16 unused = static_cast<__mmask16>(0xffu & ~((1u << (listed / 3)) - 1u));
            const __m512i last = _mm512_set1_epi32(corners[3 * (t0 + listed / 3 - 1)]);
            const __m512i points[3] = {_mm512_mask_mov_epi32(_mm512_permutex2var_epi32(low, pickA, high), unused, last),
                                       _mm512_mask_mov_epi32(_mm512_permutex2var_epi32(low, pickB, high), unused, last),
                                       _mm512_mask_mov_epi32(_mm512_permutex2var_epi32(low, pickC, high), unused, last)};
            for (int c = 0; c < 3; ++c) {
                const __m256i point = _mm512_castsi512_si256(points[c]);
                const __m256i offset = _mm256_add_epi32(point, _mm256_add_epi32(point, point));
                for (int k = 0; k < 3; ++k)
                    X[c][k] = _mm512_cvtps_pd(_mm256_i32gather_ps(coordinates, _mm256_add_epi32(offset, _mm256_set1_epi32(k)), 4));
            }
        }
        __m512d e1[3], e2[3], e3[3];
        for (int k = 0; k < 3; ++k) {
            e1[k] = _mm512_sub_pd(X[1][k], X[0][k]);
            e2[k] = _mm512_sub_pd(X[2][k], X[0][k]);
            e3[k] = _mm512_sub_pd(X[2][k], X[1][k]);
        }
        const __m512d l1 = dot8(e1, e1), l2 = dot8(e2, e2), l3 = dot8(e3, e3);
        const __m512d s1 = _mm512_sqrt_pd(l1), s2 = _mm512_sqrt_pd(l2), s3 = _mm512_sqrt_pd(l3);
        const __m512d longest = _mm512_max_pd(s3, _mm512_max_pd(s2, s1));
        const __m512d N[3] = {_mm512_sub_pd(_mm512_mul_pd(e1[1], e2[2]), _mm512_mul_pd(e1[2], e2[1])),
                              _mm512_sub_pd(_mm512_mul_pd(e1[2], e2[0]), _mm512_mul_pd(e1[0], e2[2])),
                              _mm512_sub_pd(_mm512_mul_pd(e1[0], e2[1]), _mm512_mul_pd(e1[1], e2[0]))};
        const __m512d area2 = _mm512_sqrt_pd(dot8(N, N));
        __m512d size = zero;
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k) size = _mm512_max_pd(_mm512_abs_pd(X[c][k]), size);
        const __m512d lifted = _mm512_sub_pd(area2, _mm512_mul_pd(twoRho, longest));
        const __m512d grown = _mm512_add_pd(longest, twoRho);
        __mmask8 shaped = _mm512_cmp_pd_mask(lifted, zero, _CMP_GT_OQ);
        shaped = _mm512_mask_cmp_pd_mask(shaped, _mm512_mul_pd(lifted, _mm512_sub_pd(longest, twoRho)),
                                         _mm512_mul_pd(_mm512_mul_pd(_mm512_mul_pd(thin, longest), grown), grown),
                                         _CMP_GE_OQ);
        const __m512d R = _mm512_add_pd(_mm512_add_pd(reach, _mm512_mul_pd(shapeMargin, grown)),
                                        _mm512_mul_pd(scaleMargin, _mm512_add_pd(_mm512_add_pd(size, longest), reach)));
        double* v = values + static_cast<size_t>(t0 / kBlock) * kFields * kBlock;
        float* box = bounds + static_cast<size_t>(t0 / kBlock) * kBoundFields * kBlock;
        const __mmask8 valid = static_cast<__mmask8>(count - t0 >= kBlock ? 0xffu : (1u << (count - t0)) - 1u);
        if ((shaped & valid) != valid) allShaped = false;
        for (int k = 0; k < 3; ++k) {
            const __m512d lo = _mm512_min_pd(X[2][k], _mm512_min_pd(X[1][k], X[0][k]));
            const __m512d hi = _mm512_max_pd(X[2][k], _mm512_max_pd(X[1][k], X[0][k]));
            const __m512d widen = _mm512_add_pd(_mm512_mul_pd(tenth, _mm512_sub_pd(hi, lo)), R);
            const __m512d boxLo = _mm512_sub_pd(lo, widen), boxHi = _mm512_add_pd(hi, widen);
            _mm512_storeu_pd(v + (kBoxLo + k) * kBlock, boxLo);
            _mm512_storeu_pd(v + (kBoxHi + k) * kBlock, boxHi);
            // floatAtLeast and floatAtMost: the conversion rounded up, and down
            _mm256_storeu_ps(box + k * kBlock, _mm512_cvt_roundpd_ps(boxLo, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC));
            _mm256_storeu_ps(box + (3 + k) * kBlock, _mm512_cvt_roundpd_ps(boxHi, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
            unionLo[k] = _mm512_mask_min_pd(unionLo[k], valid, boxLo, unionLo[k]);
            unionHi[k] = _mm512_mask_max_pd(unionHi[k], valid, boxHi, unionHi[k]);
            _mm512_storeu_pd(v + (kCornerA + k) * kBlock, X[0][k]);
            _mm512_storeu_pd(v + (kEdge1 + k) * kBlock, e1[k]);
            _mm512_storeu_pd(v + (kEdge2 + k) * kBlock, e2[k]);
            _mm512_storeu_pd(v + (kNormal + k) * kBlock, N[k]);
        }
        _mm512_storeu_pd(v + kShaped * kBlock, _mm512_mask_blend_pd(shaped, zero, _mm512_set1_pd(1.0)));
        const __m512d q = _mm512_mul_pd(area2, area2), reachN = _mm512_mul_pd(R, area2);
        _mm512_storeu_pd(v + kEdge1Sq * kBlock, l1);
        _mm512_storeu_pd(v + kEdge2Sq * kBlock, l2);
        _mm512_storeu_pd(v + kEdgesDot * kBlock, dot8(e1, e2));
        _mm512_storeu_pd(v + kReachN * kBlock, reachN);
        _mm512_storeu_pd(v + kULeast * kBlock, _mm512_sub_pd(_mm512_mul_pd(baryLeast, q), _mm512_mul_pd(reachN, s2)));
        _mm512_storeu_pd(v + kVLeast * kBlock, _mm512_sub_pd(_mm512_mul_pd(baryLeast, q), _mm512_mul_pd(reachN, s1)));
        _mm512_storeu_pd(v + kSumMost * kBlock, _mm512_add_pd(_mm512_mul_pd(baryMost, q), _mm512_mul_pd(reachN, s3)));
    }
    for (int k = 0; k < 3; ++k) {
        leafLo[k] = _mm512_reduce_min_pd(unionLo[k]);
        leafHi[k] = _mm512_reduce_max_pd(unionHi[k]);
    }
    return allShaped;
}

DR_LANES16_END
#endif

}  // namespace

namespace drSself {

void listCorners(const drStriangle* tri, int32_t count, int32_t leaf, int32_t* stamps, int32_t* places,
                 std::vector<int32_t>& corners, std::vector<uint8_t>& slots) {
    const int32_t first = static_cast<int32_t>(corners.size());
    for (int32_t t = 0; t < count; ++t)
        for (int32_t c : tri[t]) {
            if (stamps[c] != leaf) {
                stamps[c] = leaf;
                places[c] = static_cast<int32_t>(corners.size()) - first;
                corners.push_back(c);
            }
            slots.push_back(static_cast<uint8_t>(std::min(places[c], 255)));
        }
}

bool setUpLeaf(const drSvec3* positions, const drStriangle* tri, int32_t count, double rho, double far,
               [[maybe_unused]] bool lanes, [[maybe_unused]] const LeafCorners& corners, std::vector<double>& values,
               std::vector<float>& bounds) {
    const size_t blocks = static_cast<size_t>((count + kBlock - 1) / kBlock);
    if (values.size() < blocks * kFields * kBlock) values.resize(blocks * kFields * kBlock);
    if (bounds.size() < blocks * kBoundFields * kBlock) bounds.resize(blocks * kBoundFields * kBlock);

    // Every triangle's box of reach, whether it is well shaped, its frame,
    // and the union of the boxes, which bounds the leaf's box while the
    // lists hold; then the box each triangle tests points against
    double leafLo[3] = {std::numeric_limits<double>::max(), std::numeric_limits<double>::max(),
                        std::numeric_limits<double>::max()};
    double leafHi[3] = {-leafLo[0], -leafLo[1], -leafLo[2]};
    bool allShaped = false;
#if DR_X86
    if (lanes) {
        allShaped = frameTriangles16(positions, tri, count, rho, far, values.data(), bounds.data(), leafLo, leafHi,
                                     corners.list, corners.count, corners.slots);
    } else
#endif
    {
        frameTriangles(positions, tri, count, rho, far, values.data());
        for (int32_t t = 0; t < count; ++t) {
            const double* v = valuesOf(values.data(), t);
            for (int k = 0; k < 3; ++k) {
                leafLo[k] = std::min(leafLo[k], v[(kBoxLo + k) * kBlock]);
                leafHi[k] = std::max(leafHi[k], v[(kBoxHi + k) * kBlock]);
            }
        }
        boundTriangles(values.data(), count, leafLo, leafHi, bounds.data());
    }
    if (allShaped) return true;
    bool shaped = true;
    for (int32_t t = 0; t < count; ++t) {
        if (valuesOf(values.data(), t)[kShaped * kBlock] != 0.0) continue;
        shaped = false;
        float* box = boundsOf(bounds.data(), t);
        for (int k = 0; k < 3; ++k) {
            box[k * kBlock] = floatAtLeast(leafLo[k]);
            box[(3 + k) * kBlock] = floatAtMost(leafHi[k]);
        }
    }
    return shaped;
}

}  // namespace drSself

void drSselfSearchSetUp(const drSvec3* positions, const drStriangle* tri, int32_t count, float tau, int32_t path,
                        std::vector<double>& values, std::vector<float>& bounds) {
    values.clear();
    bounds.clear();
    if (count <= 0) return;
    if (path != 0 && !(DR_X86 && drSlaneWidth() == 16)) return;
    int32_t points = 0;
    for (int32_t t = 0; t < count; ++t)
        for (int32_t c : tri[t]) points = std::max(points, c + 1);
    std::vector<int32_t> stamps(static_cast<size_t>(points), -1), places(static_cast<size_t>(points), 0), list;
    std::vector<uint8_t> slots;
    listCorners(tri, count, 0, stamps.data(), places.data(), list, slots);
    slots.resize(slots.size() + 32, 0);
    const LeafCorners corners{list.data(), static_cast<int32_t>(list.size()),
                              path == 2 && list.size() <= static_cast<size_t>(kSlotCorners) ? slots.data() : nullptr};
    std::vector<double> blocked;
    std::vector<float> blockedBounds;
    setUpLeaf(positions, tri, count, 0.5 * static_cast<double>(tau), 2.0 * static_cast<double>(tau), path != 0, corners,
              blocked, blockedBounds);
    for (int32_t t = 0; t < count; ++t) {
        for (int32_t f = 0; f < kFields; ++f) values.push_back(valuesOf(blocked.data(), t)[f * kBlock]);
        for (int32_t k = 0; k < kBoundFields; ++k) bounds.push_back(boundsOf(blockedBounds.data(), t)[k * kBlock]);
    }
}

