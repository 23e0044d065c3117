// Candidate triangles of every cloth point for self collision, kept over
// several sub-steps.
//
// The tree answers a point with the first accepted triangle of the leaves
// whose box contains the point, in walk order. Most points of a cloth have
// no triangle within reach except their own, which never count, so asking
// the tree for every point at every sub-step mostly tests triangles that
// cannot be accepted. Here every point gets, once, the short list of the
// triangles that could be accepted while the cloth keeps its shape, in the
// tree's order; a sub-step then refits only the leaves of those triangles
// and tests only the listed triangles, with the tree's own test and leaf
// boxes. The first accepted triangle is therefore the tree's.
//
// Why the lists stay complete. A triangle accepts a point p only when p lies
// within the band `tau` (the larger offset) of a point Q of the triangle
// widened by the barycentric margin, where Q = sum w_k X_k with weights of at
// least -0.05 (|w| sums to at most 1.2). Let every point have moved by D_j
// since the lists were made, and let T be any common translation, so that
// |D_j - T| <= delta for all j. Then at the anchor positions, p lay within
// tau + delta + 1.2 delta of the same weighted point of the triangle. The
// lists therefore hold every triangle within reach = tau + slack (slack =
// tau) of the point, plus a margin for rounding, and are made again as
// soon as 2.2 delta exceeds the slack. T is the centre of the displacements'
// box, so a cloth that falls or slides in one piece keeps its lists.
//
// When only parts of the cloth moved too far (a drape sliding off a body
// while its top rests on it), the lists still answer the points that stayed
// with the triangles around them, whether these moved or turned: see
// pickPoints and turnLeaf. The others get the tree's
// answer from the leaves whose box contains them, refitted for the sub-step,
// until that costs as much as a search.
//
// Rounding: the margin covers the float test's errors for triangles whose
// shape stays well conditioned while the points move by up to the slack.
// Any other triangle (thin, small or degenerate) is listed for every point
// within reach of its whole leaf, whose box bounds where it can accept a
// point whatever its data. Positions that are not finite make the lists
// unusable: the caller then asks the tree, as for a tree without the lists.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "drSvec.h"
#include "drSleafGrid.h"
#include "drStriangleLeaf.h"
#include "pool.h"

class drStriangleNode;

/// Chunks of a self collision pass over `count` items: several per worker
/// from `least` items on, so that a worker on a slower processor does less
/// (see poolParallelChunks); 1 when the pass runs inline.
int32_t drSselfChunks(int32_t count, int32_t least);
/// Runs body(chunk, begin, end) over [0, count) in `chunks` chunks (from
/// drSselfChunks): claimed by the pool's workers, or inline when 1. Chunk c
/// covers the same items whoever runs it.
template <class Body>
void drSselfForChunks(int32_t count, int32_t chunks, const Body& body) {
    if (chunks > 1)
        poolParallelChunks(count, chunks, body);
    else
        body(0, 0, count);
}

class drSselfCandidates {
public:
    /// How a sub-step is answered.
    enum class Use {
        Tree,   ///< the whole tree, refitted, for every point
        Lists,  ///< the lists for every point, after refitLeaves()
        Mixed,  ///< the whole tree refitted, then pickPoints(): the lists for most points, the tree for the rest
    };
    /// Makes the lists fit for the tree's current positions and the points
    /// [0, pointCount): keeps them, or finds them again when the cloth moved
    /// too far, the tree or its band changed, or nothing is listed yet. The
    /// tree must be built. Tree when the lists cannot stand in for the tree
    /// this sub-step; the caller then refits the tree and asks it.
    Use update(const drStriangleNode& tree, int32_t pointCount);
    /// Refits the leaves that hold a listed triangle (the tree's leaf data
    /// for them is then current; the other leaves and the tree's boxes are
    /// left as they were).
    void refitLeaves();
    /// Mixed sub-steps: finds the points that the lists may not answer any
    /// more and hands them to the tree, and refits the leaves the sub-step
    /// reads (or, when that cannot be worked out, the whole tree).
    void pickPoints(drStriangleNode& tree);
    /// Points answered this sub-step (ascending), and the k-th of them.
    int32_t itemCount() const { return static_cast<int32_t>(items.size()); }
    int32_t itemPoint(int32_t k) const { return items[static_cast<size_t>(k)].point; }
    /// The tree's answer for the k-th item: from its candidates, or from the tree.
    bool itemQuery(int32_t k, drSindexHit& hit) const;
    /// Number of points with a candidate, and the k-th of them (ascending).
    int32_t activeCount() const { return static_cast<int32_t>(activePoints.size()); }
    int32_t activePoint(int32_t k) const { return activePoints[static_cast<size_t>(k)]; }
    /// The tree's answer for the k-th active point, from its candidates.
    bool query(int32_t k, drSindexHit& hit) const;
    /// Forgets the lists: the next update finds them again.
    void invalidate() { valid = false; }
    /// Lists made so far (for measurements and tests).
    int64_t searchCount() const { return searches; }
    /// Points handed to the tree by the last pickPoints (for tests).
    int32_t pickedCount() const { return picked; }
    /// Listed triangles in all, grouped by block.
    int64_t entryCount() const { return static_cast<int64_t>(entries.size()); }
    /// Entry k as leaf, block and lanes (for tests).
    std::array<int64_t, 3> entry(int64_t k) const {
        const Entry& e = entries[static_cast<size_t>(k)];
        return {e.leaf, e.block, e.lanes};
    }

private:
    /// The candidate triangles of one point within one block of a leaf.
    struct Entry {
        int32_t leaf;    ///< index in the tree's leaf order
        int32_t block;   ///< block of the leaf
        uint32_t lanes;  ///< bit k: lane k is a candidate
    };
    /// A point answered in a sub-step: by its lists (index of the active
    /// point) or, at -1, by the tree.
    struct Item {
        int32_t point, active;
    };
    /// A point found within reach of a triangle (search result, before grouping).
    struct Pair {
        int32_t point, leaf, triangle;
    };

    /// How far the positions moved since the anchor.
    enum class Motion {
        Within,   ///< less than the slack allows for every point
        Farther,  ///< farther, but every displacement is finite
        Lost,     ///< a displacement is not finite
    };
    Motion motion(const drSvec3* positions, int32_t count) const;
    /// Finds the lists at the current positions. False when a position is not finite.
    bool search(const drStriangleNode& tree, int32_t pointCount);
    /// Bins the points [0, pointCount) of the current positions in the point grid.
    void binPoints(const drSvec3* positions, int32_t pointCount, float cellSize);
    /// Places every leaf's box for a mixed sub-step (see the .cpp) and bins
    /// them; false when the bins cannot serve the queries.
    bool placeLeaves();
    /// Appends the leaves whose placed box contains `p`, in walk order.
    void placedAt(const drSvec3& p, std::vector<int32_t>& out) const;
    /// Refits the leaves `which`.
    void refitList(const std::vector<int32_t>& which);
    /// Cell of coordinate x along axis k of the point grid, clamped to the grid.
    int32_t cellOf(double x, int k) const {
        const double f = (x - gridOrigin[k]) * gridScales[k];
        return static_cast<int32_t>(std::clamp(std::floor(f), 0.0, static_cast<double>(gridCounts[k] - 1)));
    }
    /// Scratch of one search job.
    struct SearchScratch {
        std::vector<double> triangles;  ///< per triangle of a leaf: its box of reach, shape and frame, in blocks of 8
        std::vector<float> bounds;      ///< per triangle of a leaf: the box it tests points against, in blocks of 8
        std::vector<float> x, y, z;     ///< the points gathered for a run of triangles, in groups of 16
        std::vector<int32_t> ids;       ///< their indices (-1 for the padding)
        int32_t gathered = 0;           ///< points gathered, with the padding (the arrays may hold more)
        /// 16-lane search: the points found within a triangle's bounds, with
        /// their coordinates and the triangle, awaiting the exact test
        std::vector<float> nearX, nearY, nearZ;
        std::vector<int32_t> nearIds, nearTriangles;
    };
    /// Appends the pairs of the leaves [begin, end) to `out`, in leaf and triangle order.
    /// Clears turnable[l] of the leaves with a triangle whose float test is
    /// not trusted to the margin.
    void searchLeaves(int32_t begin, int32_t end, std::vector<Pair>& out, SearchScratch& scratch,
                      uint8_t* turnable) const;
    /// Gives leaf l, whose translation leaves its corners too far apart, a
    /// turning frame in `frame` when a turn brings them close enough.
    void turnLeaf(int32_t l, double* frame) const;
    /// Makes leaf l's basis at the anchor, or marks it kFixed when it has none.
    void makeBasis(int32_t l);

    /// Gathers the points of the grid in the box [lo, hi] into `scratch`, in
    /// whole groups of sixteen (in 16 lanes when `lanes16`).
    void gatherPoints(const float* lo, const float* hi, SearchScratch& scratch, bool lanes16) const;

    bool valid = false;
    bool wide = false;               ///< the last search found the reach too wide for lists
    uint64_t treeBuild = 0;          ///< tree build the lists belong to
    float upper = 0.0f, lower = 0.0f;  ///< its band
    int32_t points = 0;              ///< points listed: [0, points)
    int32_t corners = 0;             ///< the tree's point count
    float slack = 0.0f;              ///< motion allowed before a new search
    float reach = 0.0f;              ///< band plus slack
    std::vector<drSvec3> anchor;     ///< positions of the last search
    const drSvec3* positions = nullptr;  ///< the tree's positions during a search
    std::vector<drStriangleLeaf*> leaves;  ///< the tree's leaves in walk order

    std::vector<int32_t> activePoints;   ///< points with candidates, ascending
    std::vector<int32_t> entryStart;     ///< first entry of each active point, and the total
    std::vector<Entry> entries;          ///< per active point, in the tree's order
    std::vector<int32_t> activeLeaves;   ///< leaves holding a candidate, ascending
    std::vector<uint8_t> leafMarks;      ///< per leaf: holds a candidate (search scratch)

    // Point grid of the search
    drSvec3 gridOrigin;
    float gridScales[3] = {0.0f, 0.0f, 0.0f};  ///< cells per length unit along each axis
    int32_t gridCounts[3] = {1, 1, 1};
    std::vector<int32_t> cellStart;      ///< first point of each cell in cellPoints, and the total
    std::vector<int32_t> cellPoints;     ///< point indices, cell by cell
    std::vector<float> cellX, cellY, cellZ;  ///< their coordinates, in the same order
    std::vector<int32_t> pointCells;     ///< cell of each point (search scratch)

    std::vector<uint8_t> cornerSlots;             ///< per triangle of every leaf (leaf order): its corners' places in the leaf's corners, and padding
    std::vector<int32_t> slotStart;               ///< first triangle of each leaf in cornerSlots
    std::vector<std::vector<Pair>> jobPairs;      ///< pairs found by each chunk of leaves
    std::vector<SearchScratch> jobScratch;        ///< per chunk of leaves
    std::vector<int32_t> pairCount;               ///< pairs per point (search scratch)
    std::vector<Pair> sortedPairs;                ///< the pairs by point
    std::vector<Item> items;                      ///< the points answered this sub-step
    std::vector<Item> activeItems;                ///< every active point on its lists
    const drStriangleNode* treeAsked = nullptr;   ///< the tree of the last update
    std::vector<double> leafMotion;               ///< per leaf: its translation and bound, negative for a leaf that turns (pickPoints scratch)
    std::vector<double> leafFrames;               ///< per leaf: its translation and the bound (pickPoints scratch)
    std::vector<double> cellFrames;               ///< per cell of the tree's leaf grid: centre and radius (pickPoints scratch)
    std::vector<std::vector<int32_t>> jobLeaves;  ///< per chunk: leaves whose box contains a point (pickPoints scratch)
    std::vector<std::vector<int32_t>> jobStale;   ///< per chunk: the leaves of the points it handed to the tree (pickPoints scratch)
    std::vector<std::vector<int32_t>> jobLooks;   ///< per chunk: its points not settled by their cell (pickPoints scratch)
    std::vector<std::vector<int32_t>> jobCells;   ///< per chunk: the cells of those points (pickPoints scratch)
    std::vector<std::vector<int32_t>> jobPicked;  ///< per chunk: the points it handed to the tree, ascending (pickPoints scratch)
    std::vector<double> slotFrames;               ///< per id of the leaf grid's cells: its leaf's translation and bound, by component (pickPoints scratch)
    std::vector<float> slotBoxes;                 ///< per id of the leaf grid's cells: its leaf's placed box, by component (pickPoints scratch)
    std::vector<uint8_t> cellMarks;               ///< per cell of the leaf grid: its slots are filled (pickPoints scratch)
    std::vector<int32_t> markedCells;             ///< the cells whose slots are filled (pickPoints scratch)
    std::vector<int32_t> leafCornerStart;         ///< first corner of each leaf in leafCorners, and the total
    std::vector<int32_t> leafCorners;             ///< every leaf's corners, once each
    uint64_t cornersBuild = 0;                    ///< tree build of leafCorners
    int32_t picked = 0;                           ///< points handed to the tree by the last pickPoints
    bool wholeTree = true;                        ///< the last pickPoints refitted the whole tree
    std::vector<double> leafAnchorBoxes;          ///< per leaf: its corners' box at the anchor
    std::vector<double> leafBases;                ///< per leaf: its basis at the anchor (u, v, w)
    std::vector<int32_t> leafReferences;          ///< per leaf: the second and third corner of its basis (the first is its first corner)
    std::vector<uint8_t> leafTurnable;            ///< per leaf: kFixed, kTurnsWithoutBasis or kTurns (see turnLeaf)
    static constexpr uint8_t kFixed = 0;               ///< a leaf that does not turn
    static constexpr uint8_t kTurnsWithoutBasis = 1;   ///< a leaf that may turn, its basis not made yet
    static constexpr uint8_t kTurns = 2;               ///< a leaf that may turn, with its basis
    std::vector<drSleafGrid::Entry> placedEntries;  ///< per leaf: its placed box (mixed sub-steps)
    drSvec3 placedMin, placedMax;                 ///< their union
    drSleafGrid movedGrid;                        ///< the placed boxes, binned
    std::vector<drSleafGrid::Entry> binnedEntries;  ///< the boxes movedGrid was built with (the placed ones grown)
    int64_t gridSearch = -1;                      ///< the search whose lists movedGrid served
    std::vector<uint8_t> leafFresh;               ///< per leaf: 1 refitted, 2 to be refitted (pickPoints scratch)
    std::vector<int32_t> staleLeaves;             ///< leaves to refit (pickPoints scratch)
    /// A chunk's share of placeLeaves: the union of its leaves' boxes, and
    /// whether each lies within the box it was binned with
    struct PlacePart {
        drSvec3 lo, hi;
        bool keep;
    };
    std::vector<PlacePart> placeParts;            ///< per chunk (placeLeaves scratch)
    double spent = 0.0;                           ///< cost of the mixed sub-steps since the search, in point queries
    int64_t searches = 0;
    int64_t steps = 0;       ///< updates so far
    int64_t searchedAt = 0;  ///< update of the last search
    int64_t retryAt = 0;     ///< no search before this update unless the tree or its band changes
    int64_t backoff = 1;     ///< the last wait, in updates
};
