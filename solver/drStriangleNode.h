// Triangle octree over moving corner positions. The triangle set is fixed:
// the tree is built once, at the first refit after the triangles were added,
// and afterwards only refitted (leaf data and boxes recomputed from the current
// positions). The root is the tree.
//
// Set-up by the owner, in this order:
//   tree.pointCount = n;
//   tree.setPositions(targets);          // borrowed, n points
//   tree.addTriangle(a, b, c); ...       // indices in [0, n)
//   tree.setOwnsPositions(1);            // optional: private copy that follows the targets
//   tree.setOffsets(upper, lower);
// Per sub-step: moveToward(a) (own copy only), refit() (or only when
// needsRefit()), then queries, which are read-only and may run from
// concurrent jobs.
//
// Leaves hold fewer than 32 triangles, except where the centroids of a set do
// not spread over octants: such a set becomes one leaf, however large.
// Queries return the first accepted triangle in traversal order, not the
// nearest one.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "drSleafGrid.h"
#include "drStriangleLeaf.h"
#include "drSvec.h"

class drStriangleNode {
public:
    drStriangleNode();
    ~drStriangleNode();
    drStriangleNode(const drStriangleNode&) = delete;
    drStriangleNode& operator=(const drStriangleNode&) = delete;

    /// Unless the tree owns its positions, `target` becomes `positions`; then
    /// (positions, target) are stored in every node and leaf.
    void setPositions(const drSvec3* target);
    /// Appends a triangle and grows the box by its corners. Ignored when an
    /// index lies outside [0, pointCount) or once the tree is built.
    void addTriangle(int32_t a, int32_t b, int32_t c);
    /// 1: the tree takes a zero-filled private copy of pointCount positions
    /// that moveToward moves toward the targets. 0: the copy is dropped and
    /// the targets are used directly.
    void setOwnsPositions(int32_t flag);
    /// Stores the offsets (length units; lower is negative) in every node and leaf.
    void setOffsets(float upper, float lower);
    /// Own copy only: positions[i] += (targetPositions[i] - positions[i]) * a.
    /// Split over the pool when it has two or more workers.
    void moveToward(float a);
    /// Builds the tree on the first call after triangles were added, then
    /// recomputes every leaf and the tight boxes from the current positions.
    /// Does nothing while the tree has no positions.
    void refit();
    /// False only when a refit would reproduce the current leaves and boxes
    /// exactly: the tree is built and refitted, owns its positions, and
    /// neither moveToward nor a set-up call has changed them (or the
    /// pointers or offsets) since. Borrowed positions may change unseen, so
    /// a tree that borrows them always needs a refit.
    bool needsRefit() const { return stale || ownsPositions == 0 || pendingCount > 0; }
    /// Mesh collision: first triangle that `p` lies on or behind (signed
    /// distance in [lowerOffset, 0]) inside the triangle widened by 0.05.
    bool pointQuery(const drSvec3& p, drSsurfaceHit& hit) const;
    /// Self collision: first triangle, not having point `i` as a corner, whose
    /// plane is within [lowerOffset, upperOffset] of positions[i].
    bool pointIndexQuery(int32_t i, drSindexHit& hit) const;
    /// True when `p` lies in the closed box (false for a non-finite point).
    bool boxContains(const drSvec3& p) const;
    /// True when the root answers queries through its leaf grid rather than
    /// by walking (same answers; a tree of a few leaves walks).
    bool binned() const { return leafGrid.usable(); }
    /// Root, once built: every leaf in walk order, the order in which the
    /// queries try them.
    const std::vector<drStriangleLeaf*>& leafOrder() const { return leaves; }
    /// Root, refitted: appends to `out` the position in leafOrder() of every
    /// leaf whose box contains `p`, in walk order: the leaves a query of `p` tries.
    void leavesAt(const drSvec3& p, std::vector<int32_t>& out) const;
    /// Root: the grid of its leaves (binned by walk position, see walkLeaf).
    const drSleafGrid& leafBins() const { return leafGrid; }
    /// Root: position in leafOrder() of the leaf at walk position `k` (an id of leafBins()).
    int32_t walkLeaf(int32_t k) const { return walkLeaves[static_cast<size_t>(k)]; }
    /// True while added triangles wait for the build of the next refit.
    bool needsBuild() const { return pendingCount > 0; }
    /// Root: a number that no other build of any tree has had; changes when
    /// the leaves are laid out anew.
    uint64_t buildId() const { return buildId_; }

    int32_t pointCount = 0;        ///< points in the position arrays (root only)
    float upperOffset = 0.0f;      ///< reach in front of a triangle (length units)
    float lowerOffset = 0.0f;      ///< reach behind a triangle, negative (length units)
    int32_t ownsPositions = 0;     ///< 1: positions is the tree's own copy following targetPositions
    int32_t childCount = 0;        ///< 0 or up to 8
    std::vector<std::unique_ptr<drStriangleNode>> children;  ///< octants that hold triangles, owned
    std::unique_ptr<drStriangleLeaf> leaf;  ///< present exactly on built nodes without children
    const drSvec3* positions = nullptr;        ///< positions the triangles are tested against
    const drSvec3* targetPositions = nullptr;  ///< positions supplied by the owner (borrowed)
    int32_t pendingCount = 0;      ///< triangles added but not yet distributed
    std::vector<drStriangle> pending;  ///< their corners; lent to the leaf after the build
    drSvec3 boxMin{1e9f, 1e9f, 1e9f};    ///< axis-aligned box; empty is +1e9
    drSvec3 boxMax{-1e9f, -1e9f, -1e9f};  ///< empty is -1e9

private:
    /// Appends without the range check (distribution to the octants).
    void insertTriangle(const drStriangle& triangle);
    /// Stores both pointers here, in the children and in the leaf.
    void setPointers(const drSvec3* own, const drSvec3* target);
    /// Distributes the pending triangles of this subtree (first refit).
    void build();
    /// Appends the leaves of this subtree in traversal order.
    void collectLeaves(std::vector<drStriangleLeaf*>& out);
    /// Splits the pending triangles over octant children; false when they do
    /// not spread over two or more octants (the node then becomes a leaf).
    bool split();
    /// Recomputes this subtree's boxes from its leaves' boxes.
    void mergeBoxes();
    /// True once the tree was built (it has a leaf or children).
    bool built() const { return leaf != nullptr || childCount > 0; }

    /// A node of the walk order: the tree laid out depth first, children in
    /// order, so that a query walks an array instead of following pointers.
    struct WalkNode {
        drSvec3 boxMin, boxMax;  ///< copy of the node's box, refreshed at every refit
        int32_t next = 0;        ///< index of the first node after this subtree
        const drStriangleLeaf* leaf = nullptr;  ///< the node's leaf, null for an inner node
    };

    /// Appends this subtree to the walk order (depth first).
    void collectWalk(std::vector<WalkNode>& out, std::vector<const drStriangleNode*>& nodes) const;
    /// Root: bins the leaves of the walk order by their new boxes.
    void binLeaves();
    /// Root: calls visit(leaf node) for every leaf whose box contains `p`,
    /// in walk order, until one returns true; returns whether one did.
    template <class Visit>
    bool forEachLeafAt(const drSvec3& p, const Visit& visit) const;

    std::vector<drSvec3> ownPositions;  ///< storage of positions while ownsPositions is 1
    uint64_t buildId_ = 0;  ///< see buildId()
    bool stale = true;  ///< something the leaves depend on changed since the last refit
    std::vector<drStriangleLeaf*> leaves;  ///< root: every leaf in traversal order, gathered at the build
    std::vector<WalkNode> walk;            ///< root: every node in walk order, gathered at the build
    std::vector<const drStriangleNode*> walkNodes;  ///< root: the node of each walk entry
    std::vector<int32_t> walkLeaves;                ///< root: position in `leaves` of each walk entry's leaf, or -1
    drSleafGrid leafGrid;                          ///< root: the leaves binned by their boxes
    std::vector<drSleafGrid::Entry> leafEntries;   ///< root: the leaves handed to leafGrid
};
