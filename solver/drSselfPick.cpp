// Mixed sub-steps of the candidate lists: the points the lists still
// answer after parts of the cloth moved too far, and the leaves the others
// read.
#include <algorithm>
#include <cmath>
#include <limits>

#include "drSselfCandidates.h"
#include "drSselfMath.h"
#include "drStriangleNode.h"

using namespace drSself;

namespace {

/// Per leaf in a mixed sub-step: its translation (3), the bound, its spread,
/// 1 when it turns (then placed by its refitted box), and its turn (9, by rows).
constexpr size_t kFrame = 15;
/// True when a leaf of a mixed sub-step is placed by its refitted box: when
/// it moved too far for its translation (also when it turns).
bool placedByRefit(const double* frame) { return frame[3] < 0.0 || frame[5] != 0.0; }

}  // namespace

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
