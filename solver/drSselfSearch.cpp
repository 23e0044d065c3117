// The search of the candidate lists: every point within reach of every
// triangle, found through a grid of the points.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DR_X86_BOXES 1
#else
#define DR_X86_BOXES 0
#endif

#include "drSlanes.h"
#include "drSselfCandidates.h"
#include "drSselfMath.h"
#include "drStriangleNode.h"

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
/// Lists are not searched when the reach exceeds this share of the
/// triangles' longest edges.
constexpr double kWideReach = 0.5;
/// Cells of the point grid per point at most.
constexpr int64_t kCellsPerPoint = 16;
/// Cells of the point grid along one axis at most.
constexpr int32_t kMaxCells = 1024;
/// Per triangle in the search scratch: the box (6), the reach with its
/// margin, 1 when the triangle is well shaped.
constexpr size_t kStride = 8;
/// Triangles of a leaf whose points are gathered at once.
constexpr int32_t kRunTriangles = 32;

/// Bit k set when point k of the sixteen at (x, y, z) lies in the closed box
/// [lo, hi] (never for a point that is not a number).
uint32_t inBoxPlain(const float* x, const float* y, const float* z, const float* lo, const float* hi) {
    uint32_t mask = 0;
    for (int k = 0; k < 16; ++k)
        if (x[k] >= lo[0] && x[k] <= hi[0] && y[k] >= lo[1] && y[k] <= hi[1] && z[k] >= lo[2] && z[k] <= hi[2])
            mask |= 1u << k;
    return mask;
}
#if DR_X86_BOXES
/// inBoxPlain in 16 lanes.
__attribute__((target("avx512f"))) uint32_t inBox16(const float* x, const float* y, const float* z, const float* lo,
                                                    const float* hi) {
    const __m512 vx = _mm512_loadu_ps(x), vy = _mm512_loadu_ps(y), vz = _mm512_loadu_ps(z);
    __mmask16 m = _mm512_cmp_ps_mask(vx, _mm512_set1_ps(lo[0]), _CMP_GE_OQ);
    m = _mm512_mask_cmp_ps_mask(m, vx, _mm512_set1_ps(hi[0]), _CMP_LE_OQ);
    m = _mm512_mask_cmp_ps_mask(m, vy, _mm512_set1_ps(lo[1]), _CMP_GE_OQ);
    m = _mm512_mask_cmp_ps_mask(m, vy, _mm512_set1_ps(hi[1]), _CMP_LE_OQ);
    m = _mm512_mask_cmp_ps_mask(m, vz, _mm512_set1_ps(lo[2]), _CMP_GE_OQ);
    m = _mm512_mask_cmp_ps_mask(m, vz, _mm512_set1_ps(hi[2]), _CMP_LE_OQ);
    return m;
}
#else
uint32_t inBox16(const float* x, const float* y, const float* z, const float* lo, const float* hi) {
    return inBoxPlain(x, y, z, lo, hi);
}
#endif

#if DR_X86_BOXES
// The 16-lane intrinsics start from a deliberately undefined vector, which
// GCC 12 reports as (possibly) uninitialised, depending on the inlining.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
/// Appends the points [first, last) of the grid's arrays that lie in the
/// closed box [lo, hi] to (xs, ys, zs, out), in order, sixteen at a time;
/// returns how many.
__attribute__((target("avx512f"))) size_t keepInBox16(const float* x, const float* y, const float* z,
                                                     const int32_t* ids, int32_t first, int32_t last, const float* lo,
                                                     const float* hi, float* xs, float* ys, float* zs, int32_t* out) {
    const __m512 x0 = _mm512_set1_ps(lo[0]), x1 = _mm512_set1_ps(hi[0]);
    const __m512 y0 = _mm512_set1_ps(lo[1]), y1 = _mm512_set1_ps(hi[1]);
    const __m512 z0 = _mm512_set1_ps(lo[2]), z1 = _mm512_set1_ps(hi[2]);
    size_t kept = 0;
    for (int32_t s = first; s < last; s += 16) {
        const __mmask16 lanes = last - s >= 16 ? __mmask16(0xffff) : static_cast<__mmask16>((1u << (last - s)) - 1u);
        const __m512 px = _mm512_maskz_loadu_ps(lanes, x + s), py = _mm512_maskz_loadu_ps(lanes, y + s),
                     pz = _mm512_maskz_loadu_ps(lanes, z + s);
        __mmask16 in = _mm512_mask_cmp_ps_mask(lanes, px, x0, _CMP_GE_OQ);
        in = _mm512_mask_cmp_ps_mask(in, px, x1, _CMP_LE_OQ);
        in = _mm512_mask_cmp_ps_mask(in, py, y0, _CMP_GE_OQ);
        in = _mm512_mask_cmp_ps_mask(in, py, y1, _CMP_LE_OQ);
        in = _mm512_mask_cmp_ps_mask(in, pz, z0, _CMP_GE_OQ);
        in = _mm512_mask_cmp_ps_mask(in, pz, z1, _CMP_LE_OQ);
        _mm512_mask_compressstoreu_ps(xs + kept, in, px);
        _mm512_mask_compressstoreu_ps(ys + kept, in, py);
        _mm512_mask_compressstoreu_ps(zs + kept, in, pz);
        _mm512_mask_compressstoreu_epi32(out + kept, in, _mm512_maskz_loadu_epi32(lanes, ids + s));
        kept += static_cast<size_t>(std::popcount(static_cast<uint32_t>(in)));
    }
    return kept;
}
#pragma GCC diagnostic pop
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
    if (cornersBuild != tree.buildId()) {
        leafCornerStart.assign(1, 0);
        leafCorners.clear();
        std::vector<int32_t> stamps(static_cast<size_t>(n), -1);  // per point: the last leaf it was found in
        for (int32_t l = 0; l < leafCount; ++l) {
            const drStriangleLeaf& leaf = *leaves[static_cast<size_t>(l)];
            for (int32_t t = 0; t < std::max(leaf.triangleCount, 0); ++t)
                for (int32_t c : leaf.triangles[t])
                    if (stamps[static_cast<size_t>(c)] != l) {
                        stamps[static_cast<size_t>(c)] = l;
                        leafCorners.push_back(c);
                    }
            leafCornerStart.push_back(static_cast<int32_t>(leafCorners.size()));
        }
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
            double* box = &leafAnchorBoxes[static_cast<size_t>(l) * 6];
            for (int k = 0; k < 3; ++k) {
                box[k] = std::numeric_limits<double>::infinity();
                box[3 + k] = -std::numeric_limits<double>::infinity();
            }
            for (int32_t s = first; s < last; ++s)
                for (int k = 0; k < 3; ++k) {
                    const double x = anchor[static_cast<size_t>(leafCorners[static_cast<size_t>(s)])][k];
                    box[k] = std::min(box[k], x);
                    box[3 + k] = std::max(box[3 + k], x);
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
    // Cells of cellSize, at most kMaxCells along an axis and kCellsPerPoint
    // per point in all (a draped cloth fills few of its box's cells: coarser
    // cells would make every triangle test far more points)
    int64_t cells = 1;
    for (int k = 0; k < 3; ++k) {
        const double extent = static_cast<double>(hi[k]) - lo[k];
        gridCounts[k] = static_cast<int32_t>(std::clamp(std::floor(extent / cellSize) + 1.0, 1.0, double{kMaxCells}));
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
    double scale = 1.0 / cellSize;
    for (int k = 0; k < 3; ++k) {
        const double extent = static_cast<double>(hi[k]) - lo[k];
        if (extent > 0.0) scale = std::min(scale, gridCounts[k] / extent);
    }
    gridScale = static_cast<float>(scale);

    // Counting sort of the points by cell
    cellStart.assign(static_cast<size_t>(cells) + 1, 0);
    pointCells.resize(static_cast<size_t>(pointCount));
    for (int32_t i = 0; i < pointCount; ++i) {
        int32_t c[3];
        for (int k = 0; k < 3; ++k) {
            const double f = (static_cast<double>(p[i][k]) - gridOrigin[k]) * gridScale;
            c[k] = static_cast<int32_t>(std::clamp(std::floor(f), 0.0, static_cast<double>(gridCounts[k] - 1)));
        }
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
    const bool lanes16 = drSlaneWidth() == 16;
    for (int32_t l = begin; l < end; ++l) {
        const drStriangleLeaf& leaf = *leaves[static_cast<size_t>(l)];
        const int32_t count = std::max(leaf.triangleCount, 0);
        const drStriangle* tri = leaf.triangles;
        std::vector<double>& boxes = scratch.triangles;
        boxes.resize(static_cast<size_t>(count) * kStride);

        // Every triangle's box of reach (the widened triangle's box grown by
        // the reach and its margin), whether it is well shaped, and the
        // union of the boxes, which bounds the leaf's box while the lists hold
        double leafLo[3] = {std::numeric_limits<double>::max(), std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::max()};
        double leafHi[3] = {-leafLo[0], -leafLo[1], -leafLo[2]};
        for (int32_t t = 0; t < count; ++t) {
            const Vec A = toVec(positions[tri[t][0]]), B = toVec(positions[tri[t][1]]), C = toVec(positions[tri[t][2]]);
            const Vec e1 = B - A, e2 = C - A, e3 = C - B;
            const double longest = std::sqrt(std::max({dotOf(e1, e1), dotOf(e2, e2), dotOf(e3, e3)}));
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
            double* box = &boxes[static_cast<size_t>(t) * kStride];
            for (int k = 0; k < 3; ++k) {
                const double lo = std::min({A[k], B[k], C[k]}), hi = std::max({A[k], B[k], C[k]});
                const double widen = 0.1 * (hi - lo) + R;
                box[k] = lo - widen;
                box[3 + k] = hi + widen;
                leafLo[k] = std::min(leafLo[k], box[k]);
                leafHi[k] = std::max(leafHi[k], box[3 + k]);
            }
            box[6] = R;
            box[7] = shaped ? 1.0 : 0.0;
            // (a thin triangle is bounded through the leaf's box, which does not turn)
            if (!shaped) turnable[l] = kFixed;
        }

        // The box a triangle tests points against: its own, or the leaf's
        // for a triangle whose float test is not trusted to the margin. The
        // points are floats, so the bounds are rounded inward to floats: a
        // point passes the float bounds exactly when it passes the exact ones.
        std::vector<float>& bounds = scratch.bounds;
        bounds.resize(static_cast<size_t>(count) * 6);
        for (int32_t t = 0; t < count; ++t) {
            const double* own = &boxes[static_cast<size_t>(t) * kStride];
            const bool wellShaped = own[7] != 0.0;
            float* box = &bounds[static_cast<size_t>(t) * 6];
            for (int k = 0; k < 3; ++k) {
                box[k] = floatAtLeast(wellShaped ? own[k] : leafLo[k]);
                box[3 + k] = floatAtMost(wellShaped ? own[3 + k] : leafHi[k]);
            }
        }

        // The triangles in runs: the points in the union of a run's boxes are
        // gathered from the grid once, then every triangle of the run tests
        // them sixteen at a time (a leaf is usually a single run)
        for (int32_t first = 0; first < count; first += kRunTriangles) {
            const int32_t last = std::min(count, first + kRunTriangles);
            float runLo[3] = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::infinity()};
            float runHi[3] = {-runLo[0], -runLo[1], -runLo[2]};
            for (int32_t t = first; t < last; ++t)
                for (int k = 0; k < 3; ++k) {
                    runLo[k] = std::min(runLo[k], bounds[static_cast<size_t>(t) * 6 + k]);
                    runHi[k] = std::max(runHi[k], bounds[static_cast<size_t>(t) * 6 + 3 + k]);
                }
            gatherPoints(runLo, runHi, scratch, lanes16);
            const int32_t gathered = scratch.gathered;

            for (int32_t t = first; t < last; ++t) {
                const float* lo = &bounds[static_cast<size_t>(t) * 6];
                const float* hi = lo + 3;
                const double* own = &boxes[static_cast<size_t>(t) * kStride];
                const bool wellShaped = own[7] != 0.0;
                const double R = own[6];
                const int32_t a = tri[t][0], b = tri[t][1], c = tri[t][2];

                // The triangle's frame, made when a point first lies in the box
                bool framed = false;
                Vec A{}, e1{}, e2{}, N{};
                double l1 = 0.0, l2 = 0.0, l12 = 0.0, reachN = 0.0, uLeast = 0.0, vLeast = 0.0, sumMost = 0.0;
                for (int32_t g = 0; g < gathered; g += 16) {
                    uint32_t mask = lanes16 ? inBox16(&scratch.x[static_cast<size_t>(g)], &scratch.y[static_cast<size_t>(g)],
                                                      &scratch.z[static_cast<size_t>(g)], lo, hi)
                                            : inBoxPlain(&scratch.x[static_cast<size_t>(g)], &scratch.y[static_cast<size_t>(g)],
                                                         &scratch.z[static_cast<size_t>(g)], lo, hi);
                    for (; mask != 0; mask &= mask - 1) {
                        const size_t s = static_cast<size_t>(g + std::countr_zero(mask));
                        const int32_t j = scratch.ids[s];
                        if (j == a || j == b || j == c) continue;  // never its own triangle
                        if (wellShaped) {
                            // Within R of the widened triangle: the distance to its plane
                            // and the barycentric coordinates, each off by at most R times
                            // its gradient. With |N| = a (twice the area) and q = a^2: the
                            // distance is N.w / a, the coordinates (w1 l2 - w2 l12) / q and
                            // (w2 l1 - w1 l12) / q, their gradients |e2| / a, |e1| / a and
                            // |e3| / a; each test is multiplied by a or q (positive) so
                            // that a point costs no division.
                            if (!framed) {
                                A = toVec(positions[a]);
                                e1 = toVec(positions[b]) - A;
                                e2 = toVec(positions[c]) - A;
                                N = crossOf(e1, e2);
                                const double area2 = std::sqrt(dotOf(N, N)), q = area2 * area2;
                                l1 = dotOf(e1, e1);
                                l2 = dotOf(e2, e2);
                                l12 = dotOf(e1, e2);
                                const Vec e3 = toVec(positions[c]) - toVec(positions[b]);
                                reachN = R * area2;
                                uLeast = -kBaryMargin * q - reachN * std::sqrt(l2);
                                vLeast = -kBaryMargin * q - reachN * std::sqrt(l1);
                                sumMost = (1.0 + kBaryMargin) * q + reachN * std::sqrt(dotOf(e3, e3));
                                framed = true;
                            }
                            const Vec w = Vec{scratch.x[s], scratch.y[s], scratch.z[s]} - A;
                            const double w1 = dotOf(w, e1), w2 = dotOf(w, e2);
                            const double u = w1 * l2 - w2 * l12, v = w2 * l1 - w1 * l12;
                            if (!(std::fabs(dotOf(N, w)) <= reachN && u >= uLeast && v >= vLeast && u + v <= sumMost))
                                continue;
                        }
                        out.push_back({j, l, t});
                    }
                }
            }
        }
    }
}

void drSselfCandidates::gatherPoints(const float* lo, const float* hi, SearchScratch& scratch, bool lanes16) const {
    (void)lanes16;  // (read where the 16 lanes are built)
    const int32_t x0 = cellOf(lo[0], 0), x1 = cellOf(hi[0], 0);
    const int32_t y0 = cellOf(lo[1], 1), y1 = cellOf(hi[1], 1);
    const int32_t z0 = cellOf(lo[2], 2), z1 = cellOf(hi[2], 2);
    // Room for every point of the rows, rounded up to whole groups of
    // sixteen (the arrays only grow: the points kept are written in place)
    size_t room = 0;
    for (int32_t z = z0; z <= z1; ++z)
        for (int32_t y = y0; y <= y1; ++y) {
            const int32_t row = (z * gridCounts[1] + y) * gridCounts[0];
            room += static_cast<size_t>(cellStart[static_cast<size_t>(row + x1) + 1] - cellStart[static_cast<size_t>(row + x0)]);
        }
    room = (room + 15) / 16 * 16;
    if (scratch.ids.size() < room) {
        scratch.x.resize(room);
        scratch.y.resize(room);
        scratch.z.resize(room);
        scratch.ids.resize(room);
    }
    float* xs = scratch.x.data();
    float* ys = scratch.y.data();
    float* zs = scratch.z.data();
    int32_t* ids = scratch.ids.data();
    size_t kept = 0;
    for (int32_t z = z0; z <= z1; ++z)
        for (int32_t y = y0; y <= y1; ++y) {
            // The cells x0 .. x1 of a row hold consecutive points
            const int32_t row = (z * gridCounts[1] + y) * gridCounts[0];
            const int32_t first = cellStart[static_cast<size_t>(row + x0)];
            const int32_t last = cellStart[static_cast<size_t>(row + x1) + 1];
#if DR_X86_BOXES
            if (lanes16) {
                kept += keepInBox16(cellX.data(), cellY.data(), cellZ.data(), cellPoints.data(), first, last, lo, hi,
                                    xs + kept, ys + kept, zs + kept, ids + kept);
                continue;
            }
#endif
            for (int32_t s = first; s < last; ++s) {
                const float x = cellX[static_cast<size_t>(s)], y = cellY[static_cast<size_t>(s)], z = cellZ[static_cast<size_t>(s)];
                if (!(x >= lo[0] && x <= hi[0] && y >= lo[1] && y <= hi[1] && z >= lo[2] && z <= hi[2])) continue;
                xs[kept] = x;
                ys[kept] = y;
                zs[kept] = z;
                ids[kept] = cellPoints[static_cast<size_t>(s)];
                ++kept;
            }
        }
    // Whole groups of sixteen; the padding is in no box
    for (; kept % 16 != 0; ++kept) {
        xs[kept] = ys[kept] = zs[kept] = std::numeric_limits<float>::quiet_NaN();
        ids[kept] = -1;
    }
    scratch.gathered = static_cast<int32_t>(kept);
}
