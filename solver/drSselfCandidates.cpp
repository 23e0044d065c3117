#include "drSselfCandidates.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "drSselfMath.h"
#include "drStriangleNode.h"
#include "pool.h"

using namespace drSself;

namespace {

/// Chunks of a pass per worker of the pool.
constexpr int32_t kChunksPerWorker = 8;
/// Lists that expire within this many sub-steps of their search make the
/// next search wait.
constexpr int64_t kShortLife = 4;
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
