#include "drStriangleNode.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "pool.h"

namespace {

/// A node splits its pending triangles over octants from this many on.
constexpr int32_t kSplitCount = 32;

void growBox(drSvec3& boxMin, drSvec3& boxMax, const drSvec3& p) {
    for (int k = 0; k < 3; ++k) {
        boxMin[k] = std::min(boxMin[k], p[k]);
        boxMax[k] = std::max(boxMax[k], p[k]);
    }
}

void unionBox(drSvec3& boxMin, drSvec3& boxMax, const drSvec3& otherMin, const drSvec3& otherMax) {
    for (int k = 0; k < 3; ++k) {
        boxMin[k] = std::min(boxMin[k], otherMin[k]);
        boxMax[k] = std::max(boxMax[k], otherMax[k]);
    }
}

}  // namespace

drStriangleNode::drStriangleNode() = default;
drStriangleNode::~drStriangleNode() = default;

void drStriangleNode::setPositions(const drSvec3* target) {
    if (ownsPositions == 0) positions = target;
    setPointers(positions, target);
}

void drStriangleNode::addTriangle(int32_t a, int32_t b, int32_t c) {
    if (built()) return;  // the leaves borrow `pending`: it must not grow any more
    if (a < 0 || b < 0 || c < 0 || a >= pointCount || b >= pointCount || c >= pointCount) return;
    insertTriangle({a, b, c});
}

void drStriangleNode::insertTriangle(const drStriangle& triangle) {
    stale = true;
    pending.push_back(triangle);
    pendingCount = static_cast<int32_t>(pending.size());
    if (positions == nullptr) return;
    for (int32_t corner : triangle) growBox(boxMin, boxMax, positions[corner]);
}

void drStriangleNode::setOwnsPositions(int32_t flag) {
    if (flag == 1 && ownsPositions == 0) {
        ownPositions.assign(static_cast<size_t>(pointCount > 0 ? pointCount : 0), drSvec3{});
        setPointers(ownPositions.data(), targetPositions);
    } else if (flag == 0 && ownsPositions != 0) {
        std::vector<drSvec3>().swap(ownPositions);
        setPointers(targetPositions, targetPositions);
    }
    ownsPositions = flag;
}

void drStriangleNode::setPointers(const drSvec3* own, const drSvec3* target) {
    stale = true;
    positions = own;
    targetPositions = target;
    for (auto& child : children) child->setPointers(own, target);
    if (leaf) {
        leaf->positions = own;
        leaf->targetPositions = target;
    }
}

void drStriangleNode::setOffsets(float upper, float lower) {
    if (upper != upperOffset || lower != lowerOffset) stale = true;
    upperOffset = upper;
    lowerOffset = lower;
    for (auto& child : children) child->setOffsets(upper, lower);
    if (leaf) {
        leaf->upperOffset = upper;
        leaf->lowerOffset = lower;
    }
}

void drStriangleNode::moveToward(float a) {
    if (ownsPositions == 0 || targetPositions == nullptr) return;
    drSvec3* own = ownPositions.data();
    const drSvec3* target = targetPositions;
    const int32_t n = std::min(pointCount, static_cast<int32_t>(ownPositions.size()));
    // Only positions that change are written, and the tree is marked for a
    // refit when any does: a surface at rest on its targets costs one read.
    std::atomic<bool> moved{false};
    auto move = [own, target, a, &moved](int32_t, int32_t begin, int32_t end) {
        bool any = false;
        for (int32_t i = begin; i < end; ++i) {
            const drSvec3 next = own[i] + (target[i] - own[i]) * a;
            if (std::memcmp(&next, &own[i], sizeof next) != 0) {
                own[i] = next;
                any = true;
            }
        }
        if (any) moved.store(true, std::memory_order_relaxed);
    };
    if (poolWorkerCount() >= 2)
        poolParallelFor(n, move);
    else
        move(0, 0, n);
    if (moved.load(std::memory_order_relaxed)) stale = true;
}

void drStriangleNode::refit() {
    if (positions == nullptr) return;

    // First call after the triangles were added: distribute them
    if (pendingCount > 0) {
        build();
        leaves.clear();
        collectLeaves(leaves);
        walk.clear();
        walkNodes.clear();
        collectWalk(walk, walkNodes);
        walkLeaves.assign(walk.size(), -1);
        for (size_t k = 0, l = 0; k < walk.size(); ++k)
            if (walk[k].leaf != nullptr) walkLeaves[k] = static_cast<int32_t>(l++);
        static std::atomic<uint64_t> builds{0};
        buildId_ = builds.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    // Refit the leaves, split into one run of consecutive leaves per worker
    const int32_t leafCount = static_cast<int32_t>(leaves.size());
    drStriangleLeaf* const* leaf0 = leaves.data();
    auto refitLeaves = [leaf0](int32_t, int32_t begin, int32_t end) {
        for (int32_t k = begin; k < end; ++k) leaf0[k]->refit();
    };
    const bool parallel = poolWorkerCount() >= 2;
    if (!parallel || leafCount < 2) {
        refitLeaves(0, 0, leafCount);
        mergeBoxes();
    } else {
        poolParallelFor(leafCount, refitLeaves);

        // Merge each child's subtree as a job, then the root's box
        if (childCount == 0) {
            mergeBoxes();
        } else {
            for (auto& child : children)
                poolSubmit([](void* node) { static_cast<drStriangleNode*>(node)->mergeBoxes(); }, child.get());
            poolFlush();
            boxMin = {1e9f, 1e9f, 1e9f};
            boxMax = {-1e9f, -1e9f, -1e9f};
            for (auto& child : children) unionBox(boxMin, boxMax, child->boxMin, child->boxMax);
        }
    }

    // The walk order takes the new boxes
    for (size_t k = 0; k < walk.size(); ++k) {
        walk[k].boxMin = walkNodes[k]->boxMin;
        walk[k].boxMax = walkNodes[k]->boxMax;
    }
    binLeaves();
    stale = false;
}

void drStriangleNode::binLeaves() {
    leafEntries.clear();
    for (size_t k = 0; k < walk.size(); ++k)
        if (walk[k].leaf != nullptr) leafEntries.push_back({walk[k].boxMin, walk[k].boxMax, static_cast<int32_t>(k)});
    if (walk.empty())
        leafGrid.build({}, {}, leafEntries);  // unusable: nothing to bin
    else
        leafGrid.build(walk[0].boxMin, walk[0].boxMax, leafEntries);
}

void drStriangleNode::collectWalk(std::vector<WalkNode>& out, std::vector<const drStriangleNode*>& nodes) const {
    const size_t index = out.size();
    out.push_back(WalkNode{boxMin, boxMax, 0, leaf.get()});
    nodes.push_back(this);
    for (const auto& child : children) child->collectWalk(out, nodes);
    out[index].next = static_cast<int32_t>(out.size());
}

void drStriangleNode::build() {
    // Split over octants, or become a leaf
    if (pendingCount > 0) {
        if (pendingCount < kSplitCount || !split()) {
            leaf = std::make_unique<drStriangleLeaf>();
            leaf->triangles = pending.data();
            leaf->triangleCount = pendingCount;
            leaf->positions = positions;
            leaf->targetPositions = targetPositions;
            leaf->upperOffset = upperOffset;
            leaf->lowerOffset = lowerOffset;
        }
        pendingCount = 0;
    }
    for (auto& child : children) child->build();
}

void drStriangleNode::collectLeaves(std::vector<drStriangleLeaf*>& out) {
    if (leaf) out.push_back(leaf.get());
    for (auto& child : children) child->collectLeaves(out);
}

bool drStriangleNode::split() {
    // Box of the pending triangles at the current positions. The box grown by
    // addTriangle may come from other positions (self collision adds the
    // triangles in the mesh's own space); centring the octants on it could
    // put every centroid into one octant and leave one huge leaf.
    boxMin = {1e9f, 1e9f, 1e9f};
    boxMax = {-1e9f, -1e9f, -1e9f};
    for (const drStriangle& tri : pending)
        for (int32_t corner : tri) growBox(boxMin, boxMax, positions[corner]);

    // Enlarge the box a little on every side and take its centre
    drSvec3 centre;
    for (int k = 0; k < 3; ++k) {
        const float e = std::max(0.001f * (boxMax[k] - boxMin[k]), 0.0001f);
        boxMin[k] -= e;
        boxMax[k] += e;
        centre[k] = (boxMin[k] + boxMax[k]) * 0.5f;
    }

    // Eight empty children that inherit the pointers and the offsets
    children.clear();
    for (int k = 0; k < 8; ++k) {
        auto child = std::make_unique<drStriangleNode>();
        child->positions = positions;
        child->targetPositions = targetPositions;
        child->upperOffset = upperOffset;
        child->lowerOffset = lowerOffset;
        children.push_back(std::move(child));
    }

    // Distribute the triangles by the octant of their centroids
    for (const drStriangle& tri : pending) {
        const drSvec3 g = (positions[tri[0]] + positions[tri[1]] + positions[tri[2]]) * 0.333333f;
        const int octant = (g.x >= centre.x ? 1 : 0) + 2 * (g.y >= centre.y ? 1 : 0) + 4 * (g.z >= centre.z ? 1 : 0);
        children[static_cast<size_t>(octant)]->insertTriangle(tri);
    }

    // Keep the children that received triangles, in octant order
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [](const std::unique_ptr<drStriangleNode>& c) { return c->pendingCount == 0; }),
                   children.end());
    if (children.size() > 1) {
        childCount = static_cast<int32_t>(children.size());
        std::vector<drStriangle>().swap(pending);  // the children hold the triangles now
        return true;
    }
    children.clear();
    childCount = 0;
    return false;
}

void drStriangleNode::mergeBoxes() {
    if (childCount == 0) {
        if (leaf) {
            boxMin = leaf->boxMin;
            boxMax = leaf->boxMax;
        } else {
            boxMin = {1e9f, 1e9f, 1e9f};
            boxMax = {-1e9f, -1e9f, -1e9f};
        }
        return;
    }
    boxMin = {1e9f, 1e9f, 1e9f};
    boxMax = {-1e9f, -1e9f, -1e9f};
    for (auto& child : children) {
        child->mergeBoxes();
        unionBox(boxMin, boxMax, child->boxMin, child->boxMax);
    }
}

bool drStriangleNode::boxContains(const drSvec3& p) const {
    // Written so that a NaN coordinate is outside.
    return p.x >= boxMin.x && p.x <= boxMax.x && p.y >= boxMin.y && p.y <= boxMax.y &&
           p.z >= boxMin.z && p.z <= boxMax.z;
}

namespace {
/// True when p lies in the walk node's box (boundaries included). Written
/// as "accept if" so that a coordinate that is not a number never hits.
template <class WalkNode>
inline bool walkBoxContains(const WalkNode& node, const drSvec3& p) {
    return (p.x >= node.boxMin.x) & (p.x <= node.boxMax.x) & (p.y >= node.boxMin.y) & (p.y <= node.boxMax.y) &
           (p.z >= node.boxMin.z) & (p.z <= node.boxMax.z);
}
}  // namespace

// The root visits the leaves whose box contains the point in walk order:
// through the leaf grid when it is usable, else by walking its depth-first
// array (a node whose box misses the point is skipped with its subtree, a
// leaf is visited, an inner node leads to its first child). Either visits
// the leaves of a recursive walk over the children in order, so the first
// accepted triangle is the same. Other nodes (not built through the root)
// walk recursively.
template <class Visit>
bool drStriangleNode::forEachLeafAt(const drSvec3& p, const Visit& visit) const {
    const WalkNode* nodes = walk.data();
    if (!walkBoxContains(nodes[0], p)) return false;
    if (leafGrid.usable())
        return leafGrid.forEachAt(p, [nodes, &p, &visit](int32_t k) {
            return walkBoxContains(nodes[k], p) && visit(nodes[k]);
        });
    const int32_t count = static_cast<int32_t>(walk.size());
    for (int32_t k = 0; k < count;) {
        const WalkNode& node = nodes[k];
        if (!walkBoxContains(node, p)) {
            k = node.next;
            continue;
        }
        if (node.leaf != nullptr && visit(node)) return true;
        ++k;
    }
    return false;
}

void drStriangleNode::leavesAt(const drSvec3& p, std::vector<int32_t>& out) const {
    if (walk.empty()) return;
    forEachLeafAt(p, [this, &out](const WalkNode& node) {
        out.push_back(walkLeaves[static_cast<size_t>(&node - walk.data())]);
        return false;
    });
}

bool drStriangleNode::pointQuery(const drSvec3& p, drSsurfaceHit& hit) const {
    if (!walk.empty())
        return forEachLeafAt(p, [&p, &hit](const WalkNode& node) { return node.leaf->pointQuery(p, hit); });
    if (!boxContains(p)) return false;
    if (leaf) return leaf->pointQuery(p, hit);
    for (const auto& child : children)
        if (child->pointQuery(p, hit)) return true;
    return false;
}

bool drStriangleNode::pointIndexQuery(int32_t i, drSindexHit& hit) const {
    if (positions == nullptr || i < 0 || i >= pointCount) return false;
    const drSvec3 p = positions[i];
    if (!walk.empty()) {
        // A leaf's box equals its node's box after a refit: the node test covers it
        return forEachLeafAt(p, [i, &p, &hit](const WalkNode& node) { return node.leaf->pointIndexScan(i, p, hit); });
    }
    // The walk below the root: nodes and leaves test their boxes first.
    struct Walk {
        static bool query(const drStriangleNode& node, int32_t i, const drSvec3& p, drSindexHit& hit) {
            if (!node.boxContains(p)) return false;
            if (node.leaf) return node.leaf->pointIndexQuery(i, p, hit);
            for (const auto& child : node.children)
                if (query(*child, i, p, hit)) return true;
            return false;
        }
    };
    return Walk::query(*this, i, p, hit);
}
