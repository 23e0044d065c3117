#include "drSselfCandidates.h"

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
#include "drStriangleNode.h"
#include "pool.h"

namespace {

/// Chunks of a pass per worker of the pool.
constexpr int32_t kChunksPerWorker = 8;
/// Leaves from which the search runs on the pool.
constexpr int32_t kParallelLeaves = 64;
/// Points from which the motion check runs on the pool.
constexpr int32_t kParallelPoints = 4096;
/// Leaves with candidates from which their refit runs on the pool.
constexpr int32_t kParallelRefits = 16;
/// A triangle's float test is trusted to within the margin while its
/// smallest altitude stays at least this share of its longest edge (angles
/// of about 3 degrees and more).
constexpr double kThinRatio = 0.05;
/// Share of a triangle's size added to the reach for the float test's errors.
constexpr double kShapeMargin = 0.02;
/// Share of the coordinates' size added to the reach for the rounding of positions.
constexpr double kScaleMargin = 2e-5;
/// Lists that expire within this many sub-steps of their search make the
/// next search wait.
constexpr int64_t kShortLife = 4;
/// Lists are not searched when the reach exceeds this share of the
/// triangles' longest edges.
constexpr double kWideReach = 0.5;
/// Lists with more entries than this many per point are not kept. An entry
/// costs about a tenth of a point query of the tree (one leaf box and one
/// block of four triangles against some ten of each): lists that long are
/// those of a band as wide as the triangles, where every point lists its
/// neighbours.
constexpr int64_t kCostlyShare = 2;
/// Sub-steps a search waits at most.
constexpr int64_t kMaxBackoff = 32;
/// Sub-steps a search waits at most after lists that were not kept.
constexpr int64_t kMaxCostlyBackoff = 1024;
/// A search costs about this many point queries of the tree per point.
constexpr double kSearchCost = 1.0;
/// A mixed sub-step's own cost (the whole tree refitted, the points picked),
/// in point queries per point.
constexpr double kMixedCost = 0.06;
/// Per leaf in a mixed sub-step: its translation (3), the bound, its spread,
/// 1 when it turns (then placed by its refitted box), and its turn (9, by rows).
constexpr size_t kFrame = 15;
/// True when a leaf of a mixed sub-step is placed by its refitted box: when
/// it moved too far for its translation (also when it turns).
bool placedByRefit(const double* frame) { return frame[3] < 0.0 || frame[5] != 0.0; }
/// Cells of the point grid per point at most.
constexpr int64_t kCellsPerPoint = 16;
/// Cells of the point grid along one axis at most.
constexpr int32_t kMaxCells = 1024;
/// Per triangle in the search scratch: the box (6), the reach with its
/// margin, 1 when the triangle is well shaped.
constexpr size_t kStride = 8;
/// Triangles of a leaf whose points are gathered at once.
constexpr int32_t kRunTriangles = 32;

/// The next float above f (the same for -0 and +0; +infinity stays).
float floatAbove(float f) {
    if (f == 0.0f) return std::numeric_limits<float>::denorm_min();
    if (f == std::numeric_limits<float>::infinity()) return f;
    const uint32_t bits = std::bit_cast<uint32_t>(f);
    return std::bit_cast<float>(f > 0.0f ? bits + 1u : bits - 1u);
}
/// The smallest float at least x, and the largest at most x: a float p is
/// at least x exactly when it is at least floatAtLeast(x), and so on.
float floatAtLeast(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? floatAbove(f) : f;
}
float floatAtMost(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? -floatAbove(-f) : f;
}

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

/// body(chunk, begin, end) over [0, count): split over the pool from `least` items on.
template <class Body>
void forRange(int32_t count, int32_t least, const Body& body) {
    drSselfForChunks(count, drSselfChunks(count, least), body);
}

/// True when p lies in the closed box [lo, hi] (false for a non-finite point).
bool inBox(const drSvec3& p, const drSvec3& lo, const drSvec3& hi) {
    return p.x >= lo.x && p.x <= hi.x && p.y >= lo.y && p.y <= hi.y && p.z >= lo.z && p.z <= hi.z;
}

struct Vec {
    double x, y, z;
    double operator[](int k) const { return k == 0 ? x : (k == 1 ? y : z); }
};
Vec toVec(const drSvec3& p) { return {p.x, p.y, p.z}; }
Vec operator-(const Vec& a, const Vec& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dotOf(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec crossOf(const Vec& a, const Vec& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
Vec scaled(const Vec& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
/// Half the diagonal of the box [lo, hi] (infinite for an empty box).
double halfDiagonal(const double* lo, const double* hi) {
    double sum = 0.0;
    for (int k = 0; k < 3; ++k) sum += (hi[k] - lo[k]) * (hi[k] - lo[k]);
    return 0.5 * std::sqrt(sum);
}

/// The orthonormal basis (u, v, w) of three points: u along X1 - X0, w
/// normal to their plane, v = w x u; written as u, v, w into `basis`.
/// False when the points are too close to a line for one.
bool orthonormal(const Vec& X0, const Vec& X1, const Vec& X2, double* basis) {
    const Vec e1 = X1 - X0;
    const Vec n = crossOf(e1, X2 - X0);
    const double l1 = dotOf(e1, e1), ln = dotOf(n, n);
    if (!(l1 > 0.0 && ln > 1e-6 * l1 * l1 && std::isfinite(l1) && std::isfinite(ln))) return false;
    const Vec u = scaled(e1, 1.0 / std::sqrt(l1)), w = scaled(n, 1.0 / std::sqrt(ln));
    const Vec v = crossOf(w, u);
    const double values[9] = {u.x, u.y, u.z, v.x, v.y, v.z, w.x, w.y, w.z};
    std::copy(values, values + 9, basis);
    return true;
}

}  // namespace

int32_t drSselfChunks(int32_t count, int32_t least) {
    const int32_t workers = poolWorkerCount();
    if (workers < 2 || count < least) return 1;
    return workers * std::clamp(count / workers, 1, kChunksPerWorker);
}

drSselfCandidates::Use drSselfCandidates::update(const drStriangleNode& tree, int32_t pointCount) {
    ++steps;
    positions = tree.positions;
    treeAsked = &tree;
    if (positions == nullptr || pointCount < 0 || pointCount > tree.pointCount) {
        valid = false;
        return Use::Tree;
    }
    const bool same = treeBuild == tree.buildId() && upper == tree.upperOffset && lower == tree.lowerOffset &&
                      points == pointCount && corners == tree.pointCount;
    if (valid && same) {
        const Motion moved = motion(positions, corners);
        if (moved == Motion::Within) {
            items = activeItems;
            return Use::Lists;
        }
        // Some parts moved too far: the lists still answer the points that
        // stayed with the triangles around them, and the tree the others,
        // while that costs less than a search would and leaves most points
        // to the lists
        if (moved == Motion::Farther && spent < kSearchCost * pointCount && 2 * static_cast<int64_t>(picked) <= pointCount)
            return Use::Mixed;
    }

    // Lists that lasted only a few sub-steps cost more to find than they
    // saved: while the cloth moves that much, wait longer and longer before
    // the next search and let the tree answer meanwhile.
    if (valid) {
        if (steps - searchedAt < kShortLife) {
            backoff = std::min(2 * backoff, kMaxBackoff);
            retryAt = steps + backoff;
        } else {
            backoff = 1;
        }
    }
    valid = false;
    if (same && steps < retryAt) return Use::Tree;
    treeBuild = tree.buildId();
    upper = tree.upperOffset;
    lower = tree.lowerOffset;
    points = pointCount;
    corners = tree.pointCount;
    searchedAt = steps;
    spent = 0.0;
    picked = 0;
    valid = search(tree, pointCount);
    // Lists that name many triangles (a band as wide as the triangles) cost
    // as much per sub-step as the tree: let the tree answer for a while
    if (valid && (wide || static_cast<int64_t>(entries.size()) > kCostlyShare * pointCount ||
                  static_cast<int64_t>(activeLeaves.size()) * 2 > static_cast<int64_t>(leaves.size()))) {
        valid = false;
        backoff = std::min(std::max(2 * backoff, kMaxBackoff), kMaxCostlyBackoff);
        retryAt = steps + backoff;
    }
    if (!valid) return Use::Tree;
    activeItems.resize(activePoints.size());
    for (size_t k = 0; k < activePoints.size(); ++k) activeItems[k] = {activePoints[k], static_cast<int32_t>(k)};
    items = activeItems;
    return Use::Lists;
}

drSselfCandidates::Motion drSselfCandidates::motion(const drSvec3* p, int32_t count) const {
    // Box of the displacements since the anchor, and whether one is not a number
    struct Range {
        float lo[3], hi[3];
        float finite;  ///< 0, or not a number when a displacement is not finite
    };
    auto measure = [p, this](int32_t begin, int32_t end) {
        Range range{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, 0.0f};
        if (begin >= end) return range;
        // Sixteen points at a time as 48 floats (x, y, z in turn): each float
        // keeps its own lowest and highest displacement and its own sum of
        // d - d (0, or not a number for a displacement that is not finite),
        // so that the loop runs in vector lanes; the lanes of an axis are
        // met at the end. Lowest and highest do not depend on the order.
        static_assert(sizeof(drSvec3) == 3 * sizeof(float));
        const float* pf = reinterpret_cast<const float*>(p + begin);
        const float* af = reinterpret_cast<const float*>(anchor.data() + begin);
        constexpr float kInf = std::numeric_limits<float>::infinity();
        float lo[48], hi[48], finite[48];
        for (int t = 0; t < 48; ++t) lo[t] = kInf, hi[t] = -kInf, finite[t] = 0.0f;
        const int32_t blocks = (end - begin) / 16;
        for (int32_t b = 0; b < blocks; ++b) {
            const float* x = pf + 48 * static_cast<ptrdiff_t>(b);
            const float* y = af + 48 * static_cast<ptrdiff_t>(b);
            for (int t = 0; t < 48; ++t) {
                const float d = x[t] - y[t];
                finite[t] += d - d;
                lo[t] = d < lo[t] ? d : lo[t];
                hi[t] = d > hi[t] ? d : hi[t];
            }
        }
        for (int32_t t = 48 * blocks; t < 3 * (end - begin); ++t) {
            const float d = pf[t] - af[t];
            finite[t % 48] += d - d;
            lo[t % 48] = d < lo[t % 48] ? d : lo[t % 48];
            hi[t % 48] = d > hi[t % 48] ? d : hi[t % 48];
        }
        for (int k = 0; k < 3; ++k) range.lo[k] = kInf, range.hi[k] = -kInf;
        for (int t = 0; t < 48; ++t) {
            range.finite += finite[t];
            range.lo[t % 3] = std::min(range.lo[t % 3], lo[t]);
            range.hi[t % 3] = std::max(range.hi[t % 3], hi[t]);
        }
        return range;
    };
    Range all{{0, 0, 0}, {0, 0, 0}, 0.0f};
    const int32_t chunks = drSselfChunks(count, kParallelPoints);
    if (chunks > 1) {
        std::vector<Range> parts(static_cast<size_t>(chunks));
        drSselfForChunks(count, chunks, [&](int32_t k, int32_t begin, int32_t end) { parts[static_cast<size_t>(k)] = measure(begin, end); });
        all = parts[0];
        for (const Range& r : parts) {
            all.finite += r.finite;
            for (int k = 0; k < 3; ++k) {
                all.lo[k] = std::min(all.lo[k], r.lo[k]);
                all.hi[k] = std::max(all.hi[k], r.hi[k]);
            }
        }
    } else {
        all = measure(0, count);
    }
    // Every displacement lies within half the box's diagonal of its centre
    double spread = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double e = static_cast<double>(all.hi[k]) - all.lo[k];
        spread += e * e;
    }
    const double delta = 0.5 * std::sqrt(spread);
    if (all.finite != 0.0f) return Motion::Lost;
    return 2.2 * delta * 1.001 <= static_cast<double>(slack) ? Motion::Within : Motion::Farther;
}

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

void drSselfCandidates::refitLeaves() { refitList(activeLeaves); }

void drSselfCandidates::refitList(const std::vector<int32_t>& which) {
    const int32_t count = static_cast<int32_t>(which.size());
    drStriangleLeaf* const* all = leaves.data();
    const int32_t* list = which.data();
    auto refit = [all, list](int32_t, int32_t begin, int32_t end) {
        for (int32_t k = begin; k < end; ++k) all[list[k]]->refit();
    };
    forRange(count, kParallelRefits, refit);
}

bool drSselfCandidates::query(int32_t k, drSindexHit& hit) const {
    const int32_t i = activePoints[static_cast<size_t>(k)];
    const drSvec3 p = positions[i];
    for (int32_t e = entryStart[static_cast<size_t>(k)]; e < entryStart[static_cast<size_t>(k) + 1]; ++e) {
        const Entry& entry = entries[static_cast<size_t>(e)];
        const drStriangleLeaf& leaf = *leaves[static_cast<size_t>(entry.leaf)];
        if (!leaf.boxContains(p)) continue;
        if (leaf.pointIndexScanBlock(i, p, entry.block, entry.lanes, hit)) return true;
    }
    return false;
}

// Why the lists still answer a point p that pickPoints leaves to them. The
// tree tries the triangles of the leaves whose box contains p, and only
// those. Take such a leaf L; let G be the centre of the box of its corners'
// displacements since the anchor and r half the box's diagonal, so that every
// corner moved by G plus at most r. With the common translation T = G in the
// argument at the top of the header, p moved relative to any weighted point
// of a triangle of L by at most |D_p - G| + 1.2 r. While that stays within the
// slack, and r within the half slack that the search allowed any corner
// (for the shapes and the leaf boxes it relied on), every triangle of L that
// accepts p is on p's list. A point that fails this for one leaf whose box
// contains it gets the tree's answer: the leaves whose refitted box contains
// it, tried in walk order.
void drSselfCandidates::pickPoints(drStriangleNode& tree) {
    const int32_t m = points;
    const int32_t leafCount = static_cast<int32_t>(leaves.size());
    const double allowed = static_cast<double>(slack) / 1.001;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    // True when d lies within g[3] of (g[0], g[1], g[2]) (never for a negative g[3])
    auto within = [](const double* d, const double* g) {
        const double x = d[0] - g[0], y = d[1] - g[1], z = d[2] - g[2];
        return g[3] >= 0.0 && x * x + y * y + z * z <= g[3] * g[3];
    };
    // True when point i, at p and moved by d since the anchor, lies within
    // the bound of where the frame g of its leaf takes it
    auto keeps = [this, &within](int32_t i, const drSvec3& p, const double* d, const double* g) {
        if (g[5] == 0.0) return within(d, g);
        const Vec A = toVec(anchor[static_cast<size_t>(i)]);
        const double* q = g + 6;
        const double f[3] = {static_cast<double>(p.x) - (q[0] * A.x + q[1] * A.y + q[2] * A.z),
                             static_cast<double>(p.y) - (q[3] * A.x + q[4] * A.y + q[5] * A.z),
                             static_cast<double>(p.z) - (q[6] * A.x + q[7] * A.y + q[8] * A.z)};
        return within(f, g);
    };

    // Every leaf's translation G and how far a point may be from it: the
    // bound, negative when the leaf's own spread is too large
    leafFrames.resize(static_cast<size_t>(leafCount) * kFrame);
    forRange(leafCount, kParallelLeaves, [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t l = begin; l < end; ++l) {
            // (an empty leaf keeps an empty box and no bound: it contains no point)
            double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
            for (int32_t s = leafCornerStart[static_cast<size_t>(l)];
                 s < leafCornerStart[static_cast<size_t>(l) + 1]; ++s) {
                const int32_t c = leafCorners[static_cast<size_t>(s)];
                for (int k = 0; k < 3; ++k) {
                    const double d =
                        static_cast<double>(positions[c][k]) - anchor[static_cast<size_t>(c)][k];
                    lo[k] = std::min(lo[k], d);
                    hi[k] = std::max(hi[k], d);
                }
            }
            double* frame = &leafFrames[static_cast<size_t>(l) * kFrame];
            double spread = 0.0;
            for (int k = 0; k < 3; ++k) {
                frame[k] = 0.5 * (lo[k] + hi[k]);
                spread += (hi[k] - lo[k]) * (hi[k] - lo[k]);
            }
            const double r = 0.5 * std::sqrt(spread);
            frame[3] = r * 1.001 <= 0.5 * static_cast<double>(slack) ? allowed - 1.2 * r : -1.0;
            frame[4] = r;
            frame[5] = 0.0;
            if (frame[3] < 0.0 && leafTurnable[static_cast<size_t>(l)] == kTurnsWithoutBasis) makeBasis(l);
            if (frame[3] < 0.0 && leafTurnable[static_cast<size_t>(l)] == kTurns) turnLeaf(l, frame);
        }
    });

    // The leaves' boxes, and a grid over them; when the grid cannot serve,
    // the whole tree is refitted and its own grid serves instead
    leafFresh.assign(static_cast<size_t>(leafCount), 0);
    wholeTree = !placeLeaves();
    if (wholeTree) tree.refit();
    const drSleafGrid& grid = wholeTree ? tree.leafBins() : movedGrid;
    const bool binned = grid.usable();
    auto leafOf = [this, &tree](int32_t id) { return wholeTree ? tree.walkLeaf(id) : id; };

    // Every cell of the grid: a centre and a radius such that a point within
    // the radius of the centre is within the bound of every leaf binned in
    // the cell (the leaves whose box may contain a point of the cell)
    if (binned) {
        const int32_t cells = grid.cellCount();
        cellFrames.resize(static_cast<size_t>(cells) * 4);
        forRange(cells, kParallelLeaves, [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t c = begin; c < end; ++c) {
                double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf}, bound = kInf;
                for (const int32_t* id = grid.cellBegin(c); id != grid.cellEnd(c); ++id) {
                    const double* frame = &leafFrames[static_cast<size_t>(leafOf(*id)) * kFrame];
                    // (a turning leaf takes each point by where it was: no radius serves its cells)
                    bound = std::min(bound, frame[5] != 0.0 ? -1.0 : frame[3]);
                    for (int k = 0; k < 3; ++k) {
                        lo[k] = std::min(lo[k], frame[k]);
                        hi[k] = std::max(hi[k], frame[k]);
                    }
                }
                double* cell = &cellFrames[static_cast<size_t>(c) * 4];
                if (bound == kInf) {  // no leaf
                    cell[0] = cell[1] = cell[2] = 0.0;
                    cell[3] = kInf;
                    continue;
                }
                double spread = 0.0;
                for (int k = 0; k < 3; ++k) {
                    cell[k] = 0.5 * (lo[k] + hi[k]);
                    spread += (hi[k] - lo[k]) * (hi[k] - lo[k]);
                }
                cell[3] = bound - 0.5 * std::sqrt(spread);
            }
        });
    }

    // Every point: within its cell's radius, or else within the bound of
    // every leaf whose box contains it; marked for the tree when not
    pointMarks.assign(static_cast<size_t>(m), 0);
    const int32_t jobs = drSselfChunks(m, kParallelPoints);
    if (jobLeaves.size() < static_cast<size_t>(jobs)) {
        jobLeaves.resize(static_cast<size_t>(jobs));
        jobStale.resize(static_cast<size_t>(jobs));
    }
    drSselfForChunks(m, jobs, [&](int32_t job, int32_t begin, int32_t end) {
        std::vector<int32_t>& leavesHere = jobLeaves[static_cast<size_t>(job)];
        std::vector<int32_t>& stale = jobStale[static_cast<size_t>(job)];
        stale.clear();
        for (int32_t i = begin; i < end; ++i) {
            const drSvec3& p = positions[i];
            if (wholeTree ? !tree.boxContains(p) : !inBox(p, placedMin, placedMax)) continue;  // in no leaf's box
            const double d[3] = {static_cast<double>(p.x) - anchor[static_cast<size_t>(i)].x,
                                 static_cast<double>(p.y) - anchor[static_cast<size_t>(i)].y,
                                 static_cast<double>(p.z) - anchor[static_cast<size_t>(i)].z};
            if (binned) {
                const double* cell = &cellFrames[static_cast<size_t>(grid.cellAt(p)) * 4];
                if (within(d, cell)) continue;
            }
            // The leaves of the cell: a leaf whose bound the point keeps
            // needs no look at its box
            bool kept = true;
            if (binned && !wholeTree) {
                const int32_t c = grid.cellAt(p);
                for (const int32_t* id = grid.cellBegin(c); kept && id != grid.cellEnd(c); ++id)
                    kept = keeps(i, p, d, &leafFrames[static_cast<size_t>(*id) * kFrame]) ||
                           !inBox(p, placedEntries[static_cast<size_t>(*id)].boxMin, placedEntries[static_cast<size_t>(*id)].boxMax);
                if (kept) continue;
            }
            leavesHere.clear();
            if (wholeTree)
                tree.leavesAt(p, leavesHere);
            else
                placedAt(p, leavesHere);
            for (int32_t l : leavesHere) {
                const double* frame = &leafFrames[static_cast<size_t>(l) * kFrame];
                if (!keeps(i, p, d, frame)) {
                    // handed to the tree: every leaf whose box contains it is read
                    pointMarks[static_cast<size_t>(i)] = 1;
                    stale.insert(stale.end(), leavesHere.begin(), leavesHere.end());
                    break;
                }
            }
        }
    });

    // The points in order: marked ones to the tree, the others to their lists
    items.clear();
    picked = 0;
    size_t a = 0;
    for (int32_t i = 0; i < m; ++i) {
        const bool active = a < activePoints.size() && activePoints[a] == i;
        if (pointMarks[static_cast<size_t>(i)] != 0) {
            items.push_back({i, -1});
            ++picked;
        } else if (active) {
            items.push_back({i, static_cast<int32_t>(a)});
        }
        if (active) ++a;
    }
    spent += picked + kMixedCost * m;
    if (wholeTree) return;

    // Refit the leaves the sub-step reads: those of the lists, and every
    // leaf whose box may contain a point handed to the tree
    for (int32_t l : activeLeaves) leafFresh[static_cast<size_t>(l)] |= 2;
    for (int32_t job = 0; job < jobs; ++job)
        for (int32_t l : jobStale[static_cast<size_t>(job)]) leafFresh[static_cast<size_t>(l)] |= 2;
    staleLeaves.clear();
    for (int32_t l = 0; l < leafCount; ++l)
        if (leafFresh[static_cast<size_t>(l)] == 2) staleLeaves.push_back(l);
    refitList(staleLeaves);
}

// A leaf whose corners moved apart by more than a translation allows may have
// turned as a whole (a skirt swinging down). Let Q be the turn of its basis
// since the anchor (an orthogonal matrix), G the centre of the box of its
// corners' X - Q A and r half the box's diagonal, so that every corner is
// within r of Q A + G. Q keeps distances, so the argument for the lists runs
// as for a translation with p's offset |p - Q p0 - G| in place of |D_p - G|:
// a triangle of the leaf that accepts p lies, at the anchor, within the
// reach of p0. Only leaves whose triangles were all well shaped at the
// search take a turn: the float test of a thin triangle was bounded through
// the leaf's box, which does not turn. The leaf keeps its translation when
// the turn does not bring r within the half slack.
// A leaf's basis at the anchor: from its first corner, the corner farthest
// from it and the corner farthest from their line. A leaf without one (its
// corners too close to a line) does not turn.
void drSselfCandidates::makeBasis(int32_t l) {
    const int32_t first = leafCornerStart[static_cast<size_t>(l)], last = leafCornerStart[static_cast<size_t>(l) + 1];
    auto at = [this](int32_t s) { return toVec(anchor[static_cast<size_t>(leafCorners[static_cast<size_t>(s)])]); };
    const Vec X0 = at(first);
    int32_t c1 = first, c2 = first;
    double best = 0.0;
    for (int32_t s = first; s < last; ++s)
        if (dotOf(at(s) - X0, at(s) - X0) > best) best = dotOf(at(s) - X0, at(s) - X0), c1 = s;
    best = 0.0;
    for (int32_t s = first; s < last; ++s) {
        const Vec n = crossOf(at(c1) - X0, at(s) - X0);
        if (dotOf(n, n) > best) best = dotOf(n, n), c2 = s;
    }
    if (!orthonormal(X0, at(c1), at(c2), &leafBases[static_cast<size_t>(l) * 9])) {
        leafTurnable[static_cast<size_t>(l)] = kFixed;
        return;
    }
    leafReferences[static_cast<size_t>(l) * 2] = leafCorners[static_cast<size_t>(c1)];
    leafReferences[static_cast<size_t>(l) * 2 + 1] = leafCorners[static_cast<size_t>(c2)];
    leafTurnable[static_cast<size_t>(l)] = kTurns;
}

void drSselfCandidates::turnLeaf(int32_t l, double* frame) const {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const int32_t first = leafCornerStart[static_cast<size_t>(l)], last = leafCornerStart[static_cast<size_t>(l) + 1];
    const int32_t* ref = &leafReferences[static_cast<size_t>(l) * 2];
    double now[9];
    if (!orthonormal(toVec(positions[leafCorners[static_cast<size_t>(first)]]), toVec(positions[ref[0]]),
                     toVec(positions[ref[1]]), now))
        return;
    const double* was = &leafBases[static_cast<size_t>(l) * 9];
    double turn[9];
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            turn[3 * row + col] = now[row] * was[col] + now[3 + row] * was[3 + col] + now[6 + row] * was[6 + col];
    double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
    for (int32_t s = first; s < last; ++s) {
        const int32_t c = leafCorners[static_cast<size_t>(s)];
        const Vec X = toVec(positions[c]), A = toVec(anchor[static_cast<size_t>(c)]);
        for (int k = 0; k < 3; ++k) {
            const double e = X[k] - (turn[3 * k] * A.x + turn[3 * k + 1] * A.y + turn[3 * k + 2] * A.z);
            lo[k] = std::min(lo[k], e);
            hi[k] = std::max(hi[k], e);
        }
    }
    const double r = halfDiagonal(lo, hi);
    if (!(r * 1.001 <= 0.5 * static_cast<double>(slack))) return;
    for (int k = 0; k < 3; ++k) frame[k] = 0.5 * (lo[k] + hi[k]);
    frame[3] = static_cast<double>(slack) / 1.001 - 1.2 * r;
    frame[4] = r;
    frame[5] = 1.0;
    std::copy(turn, turn + 9, frame + 6);
}

// Boxes that hold a leaf's box wherever its corners are while its spread
// stays within the half slack: the corners' box at the anchor, moved by the
// leaf's translation and grown by the spread, widened as a refit widens the
// triangles' boxes (5 % of their extent, which the spread can grow by twice
// itself), and by the band along any normal, plus a margin for the float
// rounding of a refit. Leaves beyond the half slack are refitted at once and
// placed by their own boxes.
bool drSselfCandidates::placeLeaves() {
    const int32_t leafCount = static_cast<int32_t>(leaves.size());
    const double band = std::max(std::fabs(static_cast<double>(upper)), std::fabs(static_cast<double>(lower))) * 1.001;
    placedEntries.resize(static_cast<size_t>(leafCount));
    forRange(leafCount, kParallelLeaves, [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t l = begin; l < end; ++l) {
            const double* frame = &leafFrames[static_cast<size_t>(l) * kFrame];
            drSleafGrid::Entry& entry = placedEntries[static_cast<size_t>(l)];
            entry.id = l;
            if (placedByRefit(frame)) continue;  // placed after its refit
            const double* box = &leafAnchorBoxes[static_cast<size_t>(l) * 6];
            const double r = frame[4] * 1.001;
            for (int k = 0; k < 3; ++k) {
                const double grow = r + 0.05 * (box[3 + k] - box[k] + 2.0 * r) + band;
                const double lo = box[k] + frame[k] - grow, hi = box[3 + k] + frame[k] + grow;
                const double margin = 1e-5 * (1.0 + std::max(std::fabs(lo), std::fabs(hi)));
                entry.boxMin[k] = -floatAbove(-static_cast<float>(lo - margin));
                entry.boxMax[k] = floatAbove(static_cast<float>(hi + margin));
            }
        }
    });
    staleLeaves.clear();
    for (int32_t l = 0; l < leafCount; ++l)
        if (placedByRefit(&leafFrames[static_cast<size_t>(l) * kFrame])) staleLeaves.push_back(l);
    refitList(staleLeaves);
    placedMin = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
    placedMax = {-placedMin.x, -placedMin.y, -placedMin.z};
    for (int32_t l = 0; l < leafCount; ++l) {
        drSleafGrid::Entry& entry = placedEntries[static_cast<size_t>(l)];
        if (placedByRefit(&leafFrames[static_cast<size_t>(l) * kFrame])) {
            leafFresh[static_cast<size_t>(l)] = 1;
            entry.boxMin = leaves[static_cast<size_t>(l)]->boxMin;
            entry.boxMax = leaves[static_cast<size_t>(l)]->boxMax;
        }
        if (!(entry.boxMin.x <= entry.boxMax.x && entry.boxMin.y <= entry.boxMax.y && entry.boxMin.z <= entry.boxMax.z))
            continue;  // empty
        for (int k = 0; k < 3; ++k) {
            placedMin[k] = std::min(placedMin[k], entry.boxMin[k]);
            placedMax[k] = std::max(placedMax[k], entry.boxMax[k]);
        }
    }
    if (!(placedMin.x <= placedMax.x)) return false;  // no leaf has a box

    // The grid bins every leaf by its box grown by a quarter of the slack,
    // and serves the next mixed sub-steps of the same lists as long as every
    // leaf's box stays within the box it was binned with: a cell then lists
    // every leaf whose box may contain a point of the cell, and some more,
    // each tested by its own box. (More growth keeps the grid longer, but
    // the extra leaves of a cell slow the pass over the points more.)
    bool keep = gridSearch == searches && movedGrid.usable() && binnedEntries.size() == placedEntries.size();
    for (int32_t l = 0; keep && l < leafCount; ++l) {
        const drSleafGrid::Entry& now = placedEntries[static_cast<size_t>(l)];
        const drSleafGrid::Entry& was = binnedEntries[static_cast<size_t>(l)];
        if (!(now.boxMin.x <= now.boxMax.x && now.boxMin.y <= now.boxMax.y && now.boxMin.z <= now.boxMax.z))
            continue;  // empty: in no cell
        keep = was.boxMin.x <= now.boxMin.x && was.boxMin.y <= now.boxMin.y && was.boxMin.z <= now.boxMin.z &&
               now.boxMax.x <= was.boxMax.x && now.boxMax.y <= was.boxMax.y && now.boxMax.z <= was.boxMax.z;
    }
    if (keep) return true;
    binnedEntries = placedEntries;
    drSvec3 lo = placedMin, hi = placedMax;
    const float grow = 0.25f * slack;
    for (drSleafGrid::Entry& entry : binnedEntries) {
        if (!(entry.boxMin.x <= entry.boxMax.x && entry.boxMin.y <= entry.boxMax.y && entry.boxMin.z <= entry.boxMax.z))
            continue;  // empty
        for (int k = 0; k < 3; ++k) {
            entry.boxMin[k] -= grow;
            entry.boxMax[k] += grow;
            lo[k] = std::min(lo[k], entry.boxMin[k]);
            hi[k] = std::max(hi[k], entry.boxMax[k]);
        }
    }
    movedGrid.build(lo, hi, binnedEntries);
    gridSearch = searches;
    return movedGrid.usable();
}

void drSselfCandidates::placedAt(const drSvec3& p, std::vector<int32_t>& out) const {
    for (const int32_t* id = movedGrid.cellBegin(movedGrid.cellAt(p)); id != movedGrid.cellEnd(movedGrid.cellAt(p)); ++id) {
        const drSleafGrid::Entry& entry = placedEntries[static_cast<size_t>(*id)];
        if (inBox(p, entry.boxMin, entry.boxMax)) out.push_back(*id);
    }
}

bool drSselfCandidates::itemQuery(int32_t k, drSindexHit& hit) const {
    const Item& item = items[static_cast<size_t>(k)];
    if (item.active >= 0) return query(item.active, hit);
    if (wholeTree) return treeAsked->pointIndexQuery(item.point, hit);
    // The tree's answer: the leaves whose box contains the point, in walk
    // order (each refitted by pickPoints, so its box is current)
    const drSvec3 p = positions[item.point];
    const int32_t c = movedGrid.cellAt(p);
    for (const int32_t* id = movedGrid.cellBegin(c); id != movedGrid.cellEnd(c); ++id) {
        const drSleafGrid::Entry& entry = placedEntries[static_cast<size_t>(*id)];
        if (!inBox(p, entry.boxMin, entry.boxMax)) continue;
        const drStriangleLeaf& leaf = *leaves[static_cast<size_t>(*id)];
        if (leaf.boxContains(p) && leaf.pointIndexScan(item.point, p, hit)) return true;
    }
    return false;
}
