// The search of the candidate lists: every point within reach of every
// triangle, found through a grid of the points.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "drSlanes.h"
#include "drSselfCandidates.h"
#include "drSselfMath.h"
#include "drStriples16.h"
#include "drSselfSetUp.h"
#include "drStriangleNode.h"
#include "drSx86.h"

using namespace drSself;

namespace {

/// Lists are not searched when the reach exceeds this share of the
/// triangles' longest edges.
constexpr double kWideReach = 0.5;
/// Cells of the point grid per point at most.
constexpr int64_t kCellsPerPoint = 16;
/// Cells of the point grid are this many times longer along y and z than
/// along x, along which its rows of cells run: a box is gathered row by
/// row, and a row costs more than the points it holds.
constexpr double kAcross = 2.0;
/// Cells of the point grid along one axis at most.
constexpr int32_t kMaxCells = 1024;
/// Triangles of a leaf whose points are gathered at once.
constexpr int32_t kRunTriangles = 32;
/// Pairs the 16-lane search keeps for the exact test before it tests them.
constexpr int32_t kNearPairs = 1024;
/// The points gathered for a run of triangles (see gatherPoints).
struct Gathered {
    const float *x, *y, *z;
    const int32_t* ids;
    int32_t count;  ///< a multiple of 16; the padding is in no box
};

/// Appends {point, leaf, triangle} to `out` for every gathered point within
/// reach of triangle t of [first, last), triangle by triangle. A point is
/// tested against the triangle's bounds, then, for a well shaped triangle,
/// exactly: within R of the widened triangle, the distance to its plane and
/// the barycentric coordinates each off by at most R times its gradient.
/// With |N| = a (twice the area) and q = a^2: the distance is N.w / a, the
/// coordinates (w1 l2 - w2 l12) / q and (w2 l1 - w1 l12) / q, their
/// gradients |e2| / a, |e1| / a and |e3| / a; each test is multiplied by a
/// or q (positive) so that a point costs no division.
template <class Pairs>
void testRun(const Gathered& g, const drStriangle* tri, const double* values, const float* bounds, int32_t leaf,
             int32_t first, int32_t last, Pairs& out) {
    for (int32_t t = first; t < last; ++t) {
        const double* v = valuesOf(values, t);
        const float* box = boundsOf(bounds, t);
        const float lo[3] = {box[0], box[kBlock], box[2 * kBlock]};
        const float hi[3] = {box[3 * kBlock], box[4 * kBlock], box[5 * kBlock]};
        const bool shaped = v[kShaped * kBlock] != 0.0;
        const int32_t a = tri[t][0], b = tri[t][1], c = tri[t][2];
        const Vec A{v[kCornerA * kBlock], v[(kCornerA + 1) * kBlock], v[(kCornerA + 2) * kBlock]};
        const Vec e1{v[kEdge1 * kBlock], v[(kEdge1 + 1) * kBlock], v[(kEdge1 + 2) * kBlock]};
        const Vec e2{v[kEdge2 * kBlock], v[(kEdge2 + 1) * kBlock], v[(kEdge2 + 2) * kBlock]};
        const Vec N{v[kNormal * kBlock], v[(kNormal + 1) * kBlock], v[(kNormal + 2) * kBlock]};
        const double l1 = v[kEdge1Sq * kBlock], l2 = v[kEdge2Sq * kBlock], l12 = v[kEdgesDot * kBlock];
        const double reachN = v[kReachN * kBlock], uLeast = v[kULeast * kBlock], vLeast = v[kVLeast * kBlock],
                     sumMost = v[kSumMost * kBlock];
        for (int32_t s = 0; s < g.count; ++s) {
            const float x = g.x[s], y = g.y[s], z = g.z[s];
            if (!(x >= lo[0] && x <= hi[0] && y >= lo[1] && y <= hi[1] && z >= lo[2] && z <= hi[2])) continue;
            const int32_t j = g.ids[s];
            if (j == a || j == b || j == c) continue;  // never its own triangle
            if (shaped) {
                const Vec w = Vec{x, y, z} - A;
                const double w1 = dotOf(w, e1), w2 = dotOf(w, e2);
                const double u = w1 * l2 - w2 * l12, vv = w2 * l1 - w1 * l12;
                if (!(std::fabs(dotOf(N, w)) <= reachN && u >= uLeast && vv >= vLeast && u + vv <= sumMost)) continue;
            }
            out.push_back({j, leaf, t});
        }
    }
}

#if DR_X86
DR_LANES16_BEGIN
/// The cells of a gathering: rows of consecutive cells, each row's points
/// consecutive in the grid's arrays.
struct Rows {
    const int32_t* cellStart;  ///< the grid's
    int32_t countX, countY;    ///< cells along x and y
    int32_t x0, x1, y0, y1, z0, z1;  ///< the cells, inclusive
};

/// Appends the points of `rows` that lie in the closed box [lo, hi] to (xs,
/// ys, zs, out), in order, sixteen at a time; returns how many. Writes up to
/// sixteen values past the last one kept, and never at `room` or beyond:
/// returns SIZE_MAX instead when the rows may need more.
__attribute__((target("avx512f"))) size_t keepInBox16(const Rows& rows, const float* x, const float* y, const float* z,
                                                     const int32_t* ids, const float* lo, const float* hi, float* xs,
                                                     float* ys, float* zs, int32_t* out, size_t room) {
    const __m512 x0 = _mm512_set1_ps(lo[0]), x1 = _mm512_set1_ps(hi[0]);
    const __m512 y0 = _mm512_set1_ps(lo[1]), y1 = _mm512_set1_ps(hi[1]);
    const __m512 z0 = _mm512_set1_ps(lo[2]), z1 = _mm512_set1_ps(hi[2]);
    size_t kept = 0;
    for (int32_t cz = rows.z0; cz <= rows.z1; ++cz)
        for (int32_t cy = rows.y0; cy <= rows.y1; ++cy) {
            const int32_t row = (cz * rows.countY + cy) * rows.countX;
            const int32_t first = rows.cellStart[row + rows.x0], last = rows.cellStart[row + rows.x1 + 1];
            if (kept + static_cast<size_t>(last - first) + 16 > room) return SIZE_MAX;
            for (int32_t s = first; s < last; s += 16) {
                const __mmask16 lanes = drSfirstLanes16(last - s);
                const __m512 px = _mm512_maskz_loadu_ps(lanes, x + s), py = _mm512_maskz_loadu_ps(lanes, y + s),
                             pz = _mm512_maskz_loadu_ps(lanes, z + s);
                __mmask16 in = _mm512_mask_cmp_ps_mask(lanes, px, x0, _CMP_GE_OQ);
                in = _mm512_mask_cmp_ps_mask(in, px, x1, _CMP_LE_OQ);
                in = _mm512_mask_cmp_ps_mask(in, py, y0, _CMP_GE_OQ);
                in = _mm512_mask_cmp_ps_mask(in, py, y1, _CMP_LE_OQ);
                in = _mm512_mask_cmp_ps_mask(in, pz, z0, _CMP_GE_OQ);
                in = _mm512_mask_cmp_ps_mask(in, pz, z1, _CMP_LE_OQ);
                // packed in registers and stored whole: the next store overwrites the rest
                _mm512_storeu_ps(xs + kept, _mm512_maskz_compress_ps(in, px));
                _mm512_storeu_ps(ys + kept, _mm512_maskz_compress_ps(in, py));
                _mm512_storeu_ps(zs + kept, _mm512_maskz_compress_ps(in, pz));
                _mm512_storeu_si512(out + kept, _mm512_maskz_compress_epi32(in, _mm512_maskz_loadu_epi32(lanes, ids + s)));
                kept += static_cast<size_t>(std::popcount(static_cast<uint32_t>(in)));
            }
        }
    return kept;
}

/// The cell of each point [0, count) of `points` in the grid of `counts`
/// cells from `origin`, `scale` cells per unit, into `cells`: as cellOf
/// gives it per axis, eight points at a time.
__attribute__((target("avx512f"))) void pointCells16(const drSvec3* points, int32_t count, const drSvec3& origin,
                                                     const float* scale, const int32_t* counts, int32_t* cells) {
    const float* coordinates = &points[0].x;
    const __m512i pickX = _mm512_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i pickY = _mm512_add_epi32(pickX, _mm512_set1_epi32(1)), pickZ = _mm512_add_epi32(pickX, _mm512_set1_epi32(2));
    const __m512d zero = _mm512_setzero_pd();
    __m512d origins[3], tops[3], scales[3];
    for (int k = 0; k < 3; ++k) {
        origins[k] = _mm512_set1_pd(origin[k]);
        scales[k] = _mm512_set1_pd(scale[k]);
        tops[k] = _mm512_set1_pd(static_cast<double>(counts[k] - 1));
    }
    const __m256i rowX = _mm256_set1_epi32(counts[0]), rowY = _mm256_set1_epi32(counts[1]);
    for (int32_t i = 0; i < count; i += 8) {
        const int32_t listed = std::min(count - i, 8) * 3;
        const __m512i low = _mm512_maskz_loadu_epi32(drSfirstLanes16(listed), coordinates + 3 * static_cast<size_t>(i));
        const __m512i high = _mm512_maskz_loadu_epi32(drSfirstLanes16(listed - 16), coordinates + 3 * static_cast<size_t>(i) + 16);
        const __m512i picks[3] = {pickX, pickY, pickZ};
        __m256i c[3];
        for (int k = 0; k < 3; ++k) {
            const __m512d x = _mm512_cvtps_pd(_mm512_castps512_ps256(_mm512_castsi512_ps(_mm512_permutex2var_epi32(low, picks[k], high))));
            const __m512d f = _mm512_roundscale_pd(_mm512_mul_pd(_mm512_sub_pd(x, origins[k]), scales[k]), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
            // std::clamp(f, 0, top): below 0 gives 0, above top gives top
            const __m512d clamped = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(tops[k], f, _CMP_LT_OQ),
                                                         _mm512_mask_blend_pd(_mm512_cmp_pd_mask(f, zero, _CMP_LT_OQ), f, zero), tops[k]);
            c[k] = _mm512_cvttpd_epi32(clamped);
        }
        const __m256i cell = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_add_epi32(_mm256_mullo_epi32(c[2], rowY), c[1]), rowX), c[0]);
        if (count - i >= 8)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(cells + i), cell);
        else
            _mm512_mask_storeu_epi32(cells + i, static_cast<__mmask16>((1u << (count - i)) - 1u), _mm512_castsi256_si512(cell));
    }
}

/// The union of the bounds of the triangles [first, last) of a leaf (first
/// a multiple of eight) into [lo, hi].
__attribute__((target("avx512f"))) void runBox16(const float* bounds, int32_t first, int32_t last, float* lo, float* hi) {
    const __m512 up = _mm512_set1_ps(std::numeric_limits<float>::infinity()), down = _mm512_set1_ps(-std::numeric_limits<float>::infinity());
    __m512 unionLo[3] = {up, up, up}, unionHi[3] = {down, down, down};
    for (int32_t t0 = first; t0 < last; t0 += kBlock) {
        const float* box = bounds + static_cast<size_t>(t0 / kBlock) * kBoundFields * kBlock;
        const __mmask16 valid = static_cast<__mmask16>(last - t0 >= kBlock ? 0xffu : (1u << (last - t0)) - 1u);
        for (int k = 0; k < 3; ++k) {
            unionLo[k] = _mm512_min_ps(_mm512_mask_loadu_ps(up, valid, box + k * kBlock), unionLo[k]);
            unionHi[k] = _mm512_max_ps(_mm512_mask_loadu_ps(down, valid, box + (3 + k) * kBlock), unionHi[k]);
        }
    }
    for (int k = 0; k < 3; ++k) {
        lo[k] = _mm512_reduce_min_ps(unionLo[k]);
        hi[k] = _mm512_reduce_max_ps(unionHi[k]);
    }
}

/// The 16-lane search's pairs awaiting the exact test (see testRun16):
/// room for `capacity` of them and 16 more.
struct NearPairs {
    float *x, *y, *z;
    int32_t *ids, *triangles;
    int32_t capacity;
};

/// Where up to eight pairs find their triangles' values: in one block of
/// eight triangles (`blocks` 1) or in two consecutive ones (2), from
/// `block` on; `at` holds each lane's triangle less the block's first.
struct LaneTriangles {
    const double* values;
    int32_t blocks, block;
    __m512i at;
};

/// Value `field` of each lane's triangle.
__attribute__((target("avx512f"))) inline __m512d fieldOf(const LaneTriangles& l, int32_t field) {
    const double* first = l.values + (static_cast<size_t>(l.block) * kFields + static_cast<size_t>(field)) * kBlock;
    if (l.blocks == 1) return _mm512_permutexvar_pd(l.at, _mm512_loadu_pd(first));
    return _mm512_permutex2var_pd(_mm512_loadu_pd(first), l.at, _mm512_loadu_pd(first + kFields * kBlock));
}

/// w.e for the vector e of each lane's triangle (fields e to e + 2): the same sum as dotOf.
__attribute__((target("avx512f"))) inline __m512d alongOf(__m512d wx, __m512d wy, __m512d wz, const LaneTriangles& l,
                                                          int32_t e) {
    return _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(wx, fieldOf(l, e)), _mm512_mul_pd(wy, fieldOf(l, e + 1))),
                         _mm512_mul_pd(wz, fieldOf(l, e + 2)));
}

/// The exact test of testRun on the pairs [0, count) of `near`, up to
/// eight at a time whatever their triangles (of two blocks at most), with
/// the same operations per pair as one triangle at a time; a pair of a
/// triangle that is not well shaped passes untested. Appends those that
/// pass to `out`, in order.
template <class Pairs>
__attribute__((target("avx512f"))) void testNear16(const NearPairs& near, int32_t count, const double* values,
                                                   int32_t leaf, Pairs& out) {
    for (int32_t j = 0; j < count;) {
        // The pairs from j whose triangles lie in the first one's block or
        // the next (they come triangle by triangle: a run of them), eight at
        // most; lanes past them take the first one's triangle
        const int32_t low = near.triangles[j], block = low / kBlock;
        const __mmask16 next8 = drSfirstLanes16(count - j) & 0xFF;
        const __m512i t = _mm512_mask_loadu_epi32(_mm512_set1_epi32(low), next8, near.triangles + j);
        const __mmask8 lanes = static_cast<__mmask8>(_mm512_mask_cmplt_epi32_mask(next8, t, _mm512_set1_epi32((block + 2) * kBlock)));
        const int32_t n = std::popcount(static_cast<uint32_t>(lanes));
        const LaneTriangles l{values, near.triangles[j + n - 1] / kBlock - block + 1, block,
                              _mm512_cvtepi32_epi64(_mm256_sub_epi32(_mm512_castsi512_si256(t), _mm256_set1_epi32(block * kBlock)))};
        const __m512d wx = _mm512_sub_pd(_mm512_cvtps_pd(_mm256_loadu_ps(near.x + j)), fieldOf(l, kCornerA));
        const __m512d wy = _mm512_sub_pd(_mm512_cvtps_pd(_mm256_loadu_ps(near.y + j)), fieldOf(l, kCornerA + 1));
        const __m512d wz = _mm512_sub_pd(_mm512_cvtps_pd(_mm256_loadu_ps(near.z + j)), fieldOf(l, kCornerA + 2));
        const __m512d w1 = alongOf(wx, wy, wz, l, kEdge1), w2 = alongOf(wx, wy, wz, l, kEdge2),
                      dn = alongOf(wx, wy, wz, l, kNormal);
        const __m512d l1 = fieldOf(l, kEdge1Sq), l2 = fieldOf(l, kEdge2Sq), l12 = fieldOf(l, kEdgesDot);
        const __m512d u = _mm512_sub_pd(_mm512_mul_pd(w1, l2), _mm512_mul_pd(w2, l12));
        const __m512d vv = _mm512_sub_pd(_mm512_mul_pd(w2, l1), _mm512_mul_pd(w1, l12));
        __mmask8 pass = _mm512_mask_cmp_pd_mask(lanes, _mm512_abs_pd(dn), fieldOf(l, kReachN), _CMP_LE_OQ);
        pass = _mm512_mask_cmp_pd_mask(pass, u, fieldOf(l, kULeast), _CMP_GE_OQ);
        pass = _mm512_mask_cmp_pd_mask(pass, vv, fieldOf(l, kVLeast), _CMP_GE_OQ);
        pass = _mm512_mask_cmp_pd_mask(pass, _mm512_add_pd(u, vv), fieldOf(l, kSumMost), _CMP_LE_OQ);
        // (not well shaped: no exact test)
        pass |= _mm512_mask_cmp_pd_mask(lanes, fieldOf(l, kShaped), _mm512_setzero_pd(), _CMP_EQ_OQ);
        for (uint32_t m = pass; m != 0; m &= m - 1) {
            const int32_t k = j + std::countr_zero(m);
            out.push_back({near.ids[k], leaf, near.triangles[k]});
        }
        j += n;
    }
}

/// testRun with the points tested sixteen at a time against each
/// triangle's bounds in 16 lanes of floats; those within them are kept,
/// triangle by triangle, and tested exactly eight at a time in 8 lanes of
/// doubles (testNear16): a triangle has one or two such points, so one
/// exact test serves several triangles.
template <class Pairs>
__attribute__((target("avx512f"))) void testRun16(const Gathered& g, const drStriangle* tri, const double* values,
                                                  const float* bounds, int32_t leaf, int32_t first, int32_t last,
                                                  const NearPairs& near, Pairs& out) {
    int32_t kept = 0;
    // (in locals: the stores below might change them otherwise)
    const float *gx = g.x, *gy = g.y, *gz = g.z;
    const int32_t* gids = g.ids;
    const int32_t count = g.count;
    float *nx = near.x, *ny = near.y, *nz = near.z;
    int32_t *nids = near.ids, *ntriangles = near.triangles;
    for (int32_t t = first; t < last; ++t) {
        const float* box = boundsOf(bounds, t);
        const __m512 x0 = _mm512_set1_ps(box[0]), y0 = _mm512_set1_ps(box[kBlock]), z0 = _mm512_set1_ps(box[2 * kBlock]);
        const __m512 x1 = _mm512_set1_ps(box[3 * kBlock]), y1 = _mm512_set1_ps(box[4 * kBlock]),
                     z1 = _mm512_set1_ps(box[5 * kBlock]);
        const __m512i a = _mm512_set1_epi32(tri[t][0]), b = _mm512_set1_epi32(tri[t][1]), c = _mm512_set1_epi32(tri[t][2]);
        for (int32_t s = 0; s < count; s += 16) {
            const __m512 px = _mm512_loadu_ps(gx + s), py = _mm512_loadu_ps(gy + s), pz = _mm512_loadu_ps(gz + s);
            __mmask16 in = _mm512_cmp_ps_mask(px, x0, _CMP_GE_OQ);
            in = _mm512_mask_cmp_ps_mask(in, px, x1, _CMP_LE_OQ);
            in = _mm512_mask_cmp_ps_mask(in, py, y0, _CMP_GE_OQ);
            in = _mm512_mask_cmp_ps_mask(in, py, y1, _CMP_LE_OQ);
            in = _mm512_mask_cmp_ps_mask(in, pz, z0, _CMP_GE_OQ);
            in = _mm512_mask_cmp_ps_mask(in, pz, z1, _CMP_LE_OQ);
            // never its own triangle
            const __m512i ids = _mm512_loadu_si512(gids + s);
            in = _mm512_mask_cmpneq_epi32_mask(in, ids, a);
            in = _mm512_mask_cmpneq_epi32_mask(in, ids, b);
            in = _mm512_mask_cmpneq_epi32_mask(in, ids, c);
            if (in == 0) continue;
            if (kept + 16 > near.capacity) {
                testNear16(near, kept, values, leaf, out);
                kept = 0;
            }
            // packed in registers and stored whole: the next store overwrites the rest
            _mm512_storeu_ps(nx + kept, _mm512_maskz_compress_ps(in, px));
            _mm512_storeu_ps(ny + kept, _mm512_maskz_compress_ps(in, py));
            _mm512_storeu_ps(nz + kept, _mm512_maskz_compress_ps(in, pz));
            _mm512_storeu_si512(nids + kept, _mm512_maskz_compress_epi32(in, ids));
            _mm512_storeu_si512(ntriangles + kept, _mm512_set1_epi32(t));
            kept += std::popcount(static_cast<uint32_t>(in));
        }
    }
    testNear16(near, kept, values, leaf, out);
}
DR_LANES16_END
#endif

}  // namespace

bool drSselfCandidates::search(const drStriangleNode& tree, int32_t pointCount) {
    ++searches;
    activePoints.clear();
    entryStart.assign(1, 0);
    entries.clear();
    activeLeaves.clear();
    wide = false;

    // The anchor; the lists need finite positions and a finite band
    const int32_t n = tree.pointCount;
    anchor.assign(positions, positions + n);
    for (const drSvec3& q : anchor)
        if (!(std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z))) return false;
    const float tau = std::max(std::fabs(upper), std::fabs(lower));
    if (!std::isfinite(tau) || !std::isfinite(2.0f * tau)) return false;
    slack = tau;
    reach = tau + slack;
    leaves = tree.leafOrder();
    const int32_t leafCount = static_cast<int32_t>(leaves.size());

    // Every leaf's corners, once each (the mixed sub-steps follow them):
    // fixed with the tree's triangles, so listed once per build
    // (and the place of every triangle's corners among them, which the
    // search's set-up reads them by)
    if (cornersBuild != tree.buildId()) {
        leafCornerStart.assign(1, 0);
        leafCorners.clear();
        slotStart.assign(1, 0);
        cornerSlots.clear();
        std::vector<int32_t> stamps(static_cast<size_t>(n), -1);  // per point: the last leaf it was found in
        std::vector<int32_t> places(static_cast<size_t>(n), 0);   // per point: its place in that leaf's corners
        for (int32_t l = 0; l < leafCount; ++l) {
            const drStriangleLeaf& leaf = *leaves[static_cast<size_t>(l)];
            listCorners(leaf.triangles, std::max(leaf.triangleCount, 0), l, stamps.data(), places.data(), leafCorners,
                        cornerSlots);
            leafCornerStart.push_back(static_cast<int32_t>(leafCorners.size()));
            slotStart.push_back(static_cast<int32_t>(cornerSlots.size() / 3));
        }
        cornerSlots.resize(cornerSlots.size() + 32, 0);  // (read 16 bytes at a time)
        cornersBuild = tree.buildId();
    }
    // Every leaf's box at the anchor, leaf by leaf in chunks on the pool. A
    // leaf of three corners or more may turn (see pickPoints); its basis at
    // the anchor is made when it first needs one (see makeBasis).
    leafAnchorBoxes.resize(static_cast<size_t>(leafCount) * 6);
    leafBases.resize(static_cast<size_t>(leafCount) * 9);
    leafReferences.resize(static_cast<size_t>(leafCount) * 2);
    leafTurnable.resize(static_cast<size_t>(leafCount));
    forRange(leafCount, kParallelLeaves, [this](int32_t, int32_t begin, int32_t end) {
        for (int32_t l = begin; l < end; ++l) {
            const int32_t first = leafCornerStart[static_cast<size_t>(l)], last = leafCornerStart[static_cast<size_t>(l) + 1];
            // (in floats: they pick the same coordinates as doubles would)
            float lo[3] = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::infinity()};
            float hi[3] = {-lo[0], -lo[1], -lo[2]};
            for (int32_t s = first; s < last; ++s) {
                const drSvec3& q = anchor[static_cast<size_t>(leafCorners[static_cast<size_t>(s)])];
                for (int k = 0; k < 3; ++k) {
                    lo[k] = std::min(lo[k], q[k]);
                    hi[k] = std::max(hi[k], q[k]);
                }
            }
            double* box = &leafAnchorBoxes[static_cast<size_t>(l) * 6];
            for (int k = 0; k < 3; ++k) {
                box[k] = lo[k];
                box[3 + k] = hi[k];
            }
            leafTurnable[static_cast<size_t>(l)] = last - first < 3 ? kFixed : kTurnsWithoutBasis;
        }
    });
    if (pointCount == 0 || leafCount == 0) return true;

    // Cells about a triangle plus the reach wide: the longest edges of a sample of triangles
    double edges = 0.0;
    int32_t sampled = 0;
    for (int32_t l = 0; l < leafCount; l += std::max(1, leafCount / 64)) {
        const drStriangleLeaf& leaf = *leaves[static_cast<size_t>(l)];
        if (leaf.triangleCount <= 0) continue;
        const drStriangle& t = leaf.triangles[0];
        const Vec A = toVec(positions[t[0]]), B = toVec(positions[t[1]]), C = toVec(positions[t[2]]);
        edges += std::sqrt(std::max({dotOf(B - A, B - A), dotOf(C - A, C - A), dotOf(C - B, C - B)}));
        ++sampled;
    }
    const double longest = sampled > 0 ? edges / sampled : 0.0;
    // A reach of half the triangles' size lists the neighbours of every
    // point: such lists are not kept (see update), so they are not searched
    if (reach > kWideReach * longest) {
        wide = true;
        return true;
    }
    const double cell = std::max(longest, static_cast<double>(reach));
    binPoints(positions, pointCount, static_cast<float>(cell > 0.0 ? cell : 1.0));

    // Pairs of every leaf, one run of consecutive leaves per chunk
    const int32_t jobs = drSselfChunks(leafCount, kParallelLeaves);
    if (jobPairs.size() < static_cast<size_t>(jobs)) {
        jobPairs.resize(static_cast<size_t>(jobs));
        jobScratch.resize(static_cast<size_t>(jobs));
    }
    for (int32_t k = 0; k < jobs; ++k) jobPairs[static_cast<size_t>(k)].clear();
    drSselfForChunks(leafCount, jobs, [this](int32_t k, int32_t begin, int32_t end) {
        searchLeaves(begin, end, jobPairs[static_cast<size_t>(k)], jobScratch[static_cast<size_t>(k)], leafTurnable.data());
    });

    // Group by point, keeping the tree's order within a point (chunks in order, stable)
    pairCount.assign(static_cast<size_t>(pointCount) + 1, 0);
    size_t total = 0;
    for (int32_t k = 0; k < jobs; ++k) {
        for (const Pair& q : jobPairs[static_cast<size_t>(k)]) ++pairCount[static_cast<size_t>(q.point) + 1];
        total += jobPairs[static_cast<size_t>(k)].size();
    }
    for (int32_t i = 0; i < pointCount; ++i) pairCount[static_cast<size_t>(i) + 1] += pairCount[static_cast<size_t>(i)];
    sortedPairs.resize(total);
    for (int32_t k = 0; k < jobs; ++k)
        for (const Pair& q : jobPairs[static_cast<size_t>(k)]) sortedPairs[static_cast<size_t>(pairCount[static_cast<size_t>(q.point)]++)] = q;

    // Entries: a point's pairs in one block of a leaf become one entry
    leafMarks.assign(static_cast<size_t>(leafCount), 0);
    for (size_t s = 0; s < sortedPairs.size();) {
        const int32_t i = sortedPairs[s].point;
        activePoints.push_back(i);
        for (; s < sortedPairs.size() && sortedPairs[s].point == i; ++s) {
            const Pair& q = sortedPairs[s];
            const int32_t block = q.triangle / kBlockLanes;
            const uint32_t lane = 1u << (q.triangle % kBlockLanes);
            if (entries.size() > static_cast<size_t>(entryStart.back()) && entries.back().leaf == q.leaf &&
                entries.back().block == block)
                entries.back().lanes |= lane;
            else
                entries.push_back({q.leaf, block, lane});
            leafMarks[static_cast<size_t>(q.leaf)] = 1;
        }
        entryStart.push_back(static_cast<int32_t>(entries.size()));
    }
    for (int32_t l = 0; l < leafCount; ++l)
        if (leafMarks[static_cast<size_t>(l)] != 0) activeLeaves.push_back(l);
    return true;
}

void drSselfCandidates::binPoints(const drSvec3* p, int32_t pointCount, float cellSize) {
    drSvec3 lo = p[0], hi = p[0];
    for (int32_t i = 1; i < pointCount; ++i)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], p[i][k]);
            hi[k] = std::max(hi[k], p[i][k]);
        }
    // Cells of cellSize along x (kAcross times that along y and z), at most
    // kMaxCells along an axis and kCellsPerPoint per point in all (a draped
    // cloth fills few of its box's cells: coarser cells would make every
    // triangle test far more points)
    int64_t cells = 1;
    const double sizes[3] = {cellSize, kAcross * cellSize, kAcross * cellSize};
    for (int k = 0; k < 3; ++k) {
        const double extent = static_cast<double>(hi[k]) - lo[k];
        gridCounts[k] = static_cast<int32_t>(std::clamp(std::floor(extent / sizes[k]) + 1.0, 1.0, double{kMaxCells}));
    }
    for (;;) {
        cells = static_cast<int64_t>(gridCounts[0]) * gridCounts[1] * gridCounts[2];
        if (cells <= kCellsPerPoint * static_cast<int64_t>(pointCount) + 8) break;
        int k = 0;
        for (int a = 1; a < 3; ++a)
            if (gridCounts[a] > gridCounts[k]) k = a;
        gridCounts[k] = (gridCounts[k] + 1) / 2;
    }
    gridOrigin = lo;
    for (int k = 0; k < 3; ++k) {
        const double extent = static_cast<double>(hi[k]) - lo[k];
        double scale = 1.0 / sizes[k];
        if (extent > 0.0) scale = std::min(scale, gridCounts[k] / extent);
        gridScales[k] = static_cast<float>(scale);
    }

    // Counting sort of the points by cell
    cellStart.assign(static_cast<size_t>(cells) + 1, 0);
    pointCells.resize(static_cast<size_t>(pointCount));
#if DR_X86
    if (drSlaneWidth() == 16) {
        pointCells16(p, pointCount, gridOrigin, gridScales, gridCounts, pointCells.data());
        for (int32_t i = 0; i < pointCount; ++i) ++cellStart[static_cast<size_t>(pointCells[static_cast<size_t>(i)]) + 1];
    } else
#endif
        for (int32_t i = 0; i < pointCount; ++i) {
            int32_t c[3];
            for (int k = 0; k < 3; ++k) c[k] = cellOf(p[i][k], k);
            const int32_t cell = (c[2] * gridCounts[1] + c[1]) * gridCounts[0] + c[0];
            pointCells[static_cast<size_t>(i)] = cell;
            ++cellStart[static_cast<size_t>(cell) + 1];
        }
    for (int64_t c = 0; c < cells; ++c) cellStart[static_cast<size_t>(c) + 1] += cellStart[static_cast<size_t>(c)];
    cellPoints.resize(static_cast<size_t>(pointCount));
    std::vector<int32_t>& fill = pairCount;  // free until the grouping
    fill.assign(cellStart.begin(), cellStart.end() - 1);
    for (std::vector<float>* axis : {&cellX, &cellY, &cellZ}) axis->resize(static_cast<size_t>(pointCount));
    for (int32_t i = 0; i < pointCount; ++i) {
        const size_t s = static_cast<size_t>(fill[static_cast<size_t>(pointCells[static_cast<size_t>(i)])]++);
        cellPoints[s] = i;
        cellX[s] = p[i].x;
        cellY[s] = p[i].y;
        cellZ[s] = p[i].z;
    }
}

void drSselfCandidates::searchLeaves(int32_t begin, int32_t end, std::vector<Pair>& out, SearchScratch& scratch,
                                     uint8_t* turnable) const {
    const double rho = 0.5 * static_cast<double>(slack);  // more than any corner may move between searches
    const double far = static_cast<double>(reach);
    const bool lanes16 = DR_X86 && drSlaneWidth() == 16;
    // (the 16-lane set-up reads the corners at 32-bit offsets)
    const bool frames16 = lanes16 && static_cast<uint32_t>(corners) < drSpointOffsetLimit;
    if (lanes16 && scratch.nearIds.size() < kNearPairs + 16) {
        for (std::vector<float>* v : {&scratch.nearX, &scratch.nearY, &scratch.nearZ}) v->resize(kNearPairs + 16);
        scratch.nearIds.resize(kNearPairs + 16);
        scratch.nearTriangles.resize(kNearPairs + 16);
    }
    for (int32_t l = begin; l < end; ++l) {
        const drStriangleLeaf& leaf = *leaves[static_cast<size_t>(l)];
        const int32_t count = std::max(leaf.triangleCount, 0);
        if (count == 0) continue;
        const drStriangle* tri = leaf.triangles;
        std::vector<double>& values = scratch.triangles;
        std::vector<float>& bounds = scratch.bounds;
        LeafCorners leafList;
        leafList.list = leafCorners.data() + leafCornerStart[static_cast<size_t>(l)];
        leafList.count = leafCornerStart[static_cast<size_t>(l) + 1] - leafCornerStart[static_cast<size_t>(l)];
        if (leafList.count <= kSlotCorners)
            leafList.slots = cornerSlots.data() + 3 * static_cast<size_t>(slotStart[static_cast<size_t>(l)]);
        // (a thin triangle is bounded through the leaf's box, which does not turn)
        if (!setUpLeaf(positions, tri, count, rho, far, frames16, leafList, values, bounds)) turnable[l] = kFixed;

        // The triangles in runs: the points in the union of a run's boxes are
        // gathered from the grid once, then every triangle of the run tests
        // them (a leaf is usually a single run)
        for (int32_t first = 0; first < count; first += kRunTriangles) {
            const int32_t last = std::min(count, first + kRunTriangles);
            float runLo[3] = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::infinity()};
            float runHi[3] = {-runLo[0], -runLo[1], -runLo[2]};
#if DR_X86
            if (lanes16)
                runBox16(bounds.data(), first, last, runLo, runHi);
            else
#endif
                for (int32_t t = first; t < last; ++t) {
                    const float* box = boundsOf(bounds.data(), t);
                    for (int k = 0; k < 3; ++k) {
                        runLo[k] = std::min(runLo[k], box[k * kBlock]);
                        runHi[k] = std::max(runHi[k], box[(3 + k) * kBlock]);
                    }
                }
            gatherPoints(runLo, runHi, scratch, lanes16);
            const Gathered g{scratch.x.data(), scratch.y.data(), scratch.z.data(), scratch.ids.data(), scratch.gathered};
#if DR_X86
            if (lanes16) {
                const NearPairs near{scratch.nearX.data(), scratch.nearY.data(), scratch.nearZ.data(),
                                     scratch.nearIds.data(), scratch.nearTriangles.data(), kNearPairs};
                testRun16(g, tri, values.data(), bounds.data(), l, first, last, near, out);
                continue;
            }
#endif
            testRun(g, tri, values.data(), bounds.data(), l, first, last, out);
        }
    }
}

void drSselfCandidates::gatherPoints(const float* lo, const float* hi, SearchScratch& scratch,
                                     [[maybe_unused]] bool lanes16) const {
    const int32_t x0 = cellOf(lo[0], 0), x1 = cellOf(hi[0], 0);
    const int32_t y0 = cellOf(lo[1], 1), y1 = cellOf(hi[1], 1);
    const int32_t z0 = cellOf(lo[2], 2), z1 = cellOf(hi[2], 2);
    size_t kept = SIZE_MAX;
#if DR_X86
    // In 16 lanes straight into the arrays while they have room (they only
    // grow, so they mostly do)
    const Rows rows{cellStart.data(), gridCounts[0], gridCounts[1], x0, x1, y0, y1, z0, z1};
    if (lanes16)
        kept = keepInBox16(rows, cellX.data(), cellY.data(), cellZ.data(), cellPoints.data(), lo, hi, scratch.x.data(),
                           scratch.y.data(), scratch.z.data(), scratch.ids.data(), scratch.ids.size());
#endif
    if (kept == SIZE_MAX) {
        // Room for every point of the rows, rounded up to whole groups of
        // sixteen, and sixteen more for the 16-lane stores
        size_t room = 0;
        for (int32_t z = z0; z <= z1; ++z)
            for (int32_t y = y0; y <= y1; ++y) {
                const int32_t row = (z * gridCounts[1] + y) * gridCounts[0];
                room += static_cast<size_t>(cellStart[static_cast<size_t>(row + x1) + 1] - cellStart[static_cast<size_t>(row + x0)]);
            }
        room = (room + 15) / 16 * 16 + 16;
        if (scratch.ids.size() < room) {
            scratch.x.resize(room);
            scratch.y.resize(room);
            scratch.z.resize(room);
            scratch.ids.resize(room);
        }
        kept = 0;
#if DR_X86
        if (lanes16)
            kept = keepInBox16(rows, cellX.data(), cellY.data(), cellZ.data(), cellPoints.data(), lo, hi, scratch.x.data(),
                               scratch.y.data(), scratch.z.data(), scratch.ids.data(), scratch.ids.size());
        else
#endif
            for (int32_t z = z0; z <= z1; ++z)
                for (int32_t y = y0; y <= y1; ++y) {
                    // The cells x0 .. x1 of a row hold consecutive points
                    const int32_t row = (z * gridCounts[1] + y) * gridCounts[0];
                    const int32_t first = cellStart[static_cast<size_t>(row + x0)];
                    const int32_t last = cellStart[static_cast<size_t>(row + x1) + 1];
                    for (int32_t s = first; s < last; ++s) {
                        const float x = cellX[static_cast<size_t>(s)], y = cellY[static_cast<size_t>(s)],
                                    z = cellZ[static_cast<size_t>(s)];
                        if (!(x >= lo[0] && x <= hi[0] && y >= lo[1] && y <= hi[1] && z >= lo[2] && z <= hi[2])) continue;
                        scratch.x[kept] = x;
                        scratch.y[kept] = y;
                        scratch.z[kept] = z;
                        scratch.ids[kept] = cellPoints[static_cast<size_t>(s)];
                        ++kept;
                    }
                }
    }
    // Whole groups of sixteen; the padding is in no box
    for (; kept % 16 != 0; ++kept) {
        scratch.x[kept] = scratch.y[kept] = scratch.z[kept] = std::numeric_limits<float>::quiet_NaN();
        scratch.ids[kept] = -1;
    }
    scratch.gathered = static_cast<int32_t>(kept);
}
