#include <gtest/gtest.h>

#include "poolWith.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "drSlanes.h"
#include "drStriangleNode.h"
#include "grid.h"
#include "pool.h"

namespace {

/// A tree over borrowed positions, filled the way the host fills it.
struct Tree {
    std::vector<drSvec3> points;
    std::vector<drStriangle> triangles;
    drStriangleNode root;

    void fill(float upper, float lower) {
        root.pointCount = static_cast<int32_t>(points.size());
        root.setPositions(points.data());
        for (const drStriangle& t : triangles) root.addTriangle(t[0], t[1], t[2]);
        root.setOffsets(upper, lower);
    }
};

/// Visits every node of the tree.
void forEachNode(const drStriangleNode& node, const std::function<void(const drStriangleNode&)>& visit) {
    visit(node);
    for (const auto& child : node.children) forEachNode(*child, visit);
}

int32_t leafTriangles(const drStriangleNode& root, int32_t& leaves) {
    int32_t total = 0;
    leaves = 0;
    forEachNode(root, [&](const drStriangleNode& n) {
        if (n.leaf) {
            ++leaves;
            total += n.leaf->triangleCount;
        }
    });
    return total;
}

/// A wavy grid of (nx x nz) points spaced 1 apart, two triangles per cell.
void wavyGrid(Tree& t, int32_t nx, int32_t nz, float phase = 0.0f) {
    const GridMesh g = makeGrid(nx, nz, 1.0);
    t.points.clear();
    for (int32_t i = 0; i < g.pointCount(); ++i) {
        const float x = static_cast<float>(g.points[3 * i]), z = static_cast<float>(g.points[3 * i + 2]);
        t.points.push_back({x, std::sin(0.3f * x + phase) * std::cos(0.2f * z), z});
    }
    t.triangles.clear();
    for (const drSpolygon& p : g.polygons) {
        t.triangles.push_back({p.a, p.b, p.c});
        t.triangles.push_back({p.a, p.c, p.d});
    }
}


}  // namespace

TEST(TriangleTree, LeavesSplitFromThirtyTwoSpreadTrianglesAndEveryTriangleLandsOnce) {
    struct Case {
        int32_t strips;    // cells along x of a 1-cell-deep strip: 2 triangles each
        bool split;
    } cases[] = {{15, false}, {16, true}, {200, true}};  // 30, 32 and 400 triangles
    for (const Case& c : cases) {
        Tree t;
        wavyGrid(t, c.strips + 1, 2);
        if (c.strips == 15) t.triangles.push_back({0, 1, 2 + c.strips});  // 31 triangles
        t.fill(0.1f, -0.1f);
        t.root.refit();
        int32_t leaves = 0;
        const int32_t total = leafTriangles(t.root, leaves);
        EXPECT_EQ(total, static_cast<int32_t>(t.triangles.size())) << c.strips;
        EXPECT_EQ(t.root.childCount > 0, c.split) << c.strips;
        EXPECT_EQ(t.root.leaf != nullptr, !c.split) << c.strips;
        forEachNode(t.root, [](const drStriangleNode& n) {
            if (n.leaf && n.leaf->triangleCount >= 32) ADD_FAILURE() << "leaf of " << n.leaf->triangleCount;
            EXPECT_EQ(n.childCount, static_cast<int32_t>(n.children.size()));
        });
    }
}

TEST(TriangleTree, TrianglesCrowdedIntoOneOctantMakeOneLeaf) {
    // Every triangle shares the far corner (10, 10, 10) and has its other two
    // near the origin: all centroids lie near (3.3, 3.3, 3.3), below the centre.
    Tree t;
    t.points.push_back({10, 10, 10});
    for (int32_t k = 0; k < 100; ++k) {
        const float s = 0.01f * static_cast<float>(k + 1);
        t.points.push_back({s, 0, 0});
        t.points.push_back({0, s, 0.01f});
        t.triangles.push_back({0, 2 * k + 1, 2 * k + 2});
    }
    t.fill(0.1f, -0.1f);
    t.root.refit();
    ASSERT_NE(t.root.leaf, nullptr);
    EXPECT_EQ(t.root.childCount, 0);
    EXPECT_EQ(t.root.leaf->triangleCount, 100);
}

TEST(TriangleTree, LeafBoxCoversTheWidenedTriangleAndTheOffsetSlab) {
    // Normal (B - A) x (C - A) = (1,0,0) x (0,0,1) = (0,-1,0).
    Tree t;
    t.points = {{0, 0, 0}, {1, 0, 0}, {0, 0, 1}, {5, 5, 5}, {5, 5, 5}, {6, 6, 6}};
    t.triangles = {{0, 1, 2}, {3, 4, 5}};  // the second is degenerate (two equal corners)
    t.fill(0.25f, -0.5f);
    t.root.refit();
    ASSERT_NE(t.root.leaf, nullptr);
    const drStriangleLeaf& leaf = *t.root.leaf;
    EXPECT_EQ(leaf.faceNormal(0), (drSvec3{0, -1, 0}));
    EXPECT_EQ(leaf.faceNormal(1).x, 4.0f);
    // x and z widened by 5 %; y: lower * n.y = 0.5 raises max, upper * n.y = -0.25 lowers min.
    EXPECT_EQ(t.root.boxMin, (drSvec3{-0.05f, -0.25f, -0.05f}));
    EXPECT_EQ(t.root.boxMax, (drSvec3{1.05f, 0.5f, 1.05f}));
    drSsurfaceHit hit;
    EXPECT_FALSE(t.root.pointQuery({5, 5, 5}, hit));
}

TEST(TriangleTree, BoxesAreTightAfterEveryRefitAndFollowThePositions) {
    Tree t;
    wavyGrid(t, 20, 20);
    t.fill(0.1f, -0.1f);
    t.root.refit();
    ASSERT_GT(t.root.childCount, 1);
    auto checkTight = [&] {
        forEachNode(t.root, [](const drStriangleNode& n) {
            drSvec3 lo{1e9f, 1e9f, 1e9f}, hi{-1e9f, -1e9f, -1e9f};
            if (n.leaf) {
                lo = n.leaf->boxMin;
                hi = n.leaf->boxMax;
            }
            for (const auto& c : n.children)
                for (int k = 0; k < 3; ++k) {
                    lo[k] = std::min(lo[k], c->boxMin[k]);
                    hi[k] = std::max(hi[k], c->boxMax[k]);
                }
            EXPECT_EQ(n.boxMin, lo);
            EXPECT_EQ(n.boxMax, hi);
        });
    };
    checkTight();
    // Flat grid in y = 0 with offsets 0.1: the root's y range is exactly the slab
    // (the first build's enlarged box is gone).
    for (drSvec3& p : t.points) p.y = 0.0f;
    t.root.refit();
    checkTight();
    EXPECT_EQ(t.root.boxMin.y, -0.1f);
    EXPECT_EQ(t.root.boxMax.y, 0.1f);
    EXPECT_EQ(t.root.boxMin.x, -0.05f);
}

TEST(TriangleTree, QueriesAcceptTheBarycentricAndDistanceBounds) {
    // Triangle A = (0,0,0), B = (0,0,1), C = (1,0,0): normal +y, u = z, v = x
    // exactly. A second triangle widens the leaf box so that the barycentric
    // test, not the box, decides. Point 3 coincides with corner A.
    Tree t;
    t.points = {{0, 0, 0}, {0, 0, 1}, {1, 0, 0}, {0, 0, 0}, {-2, 0, -2}, {-2, 0, -1}, {-1, 0, -2}, {0, 0, 0}};
    t.triangles = {{0, 1, 2}, {4, 5, 6}};
    t.fill(0.5f, -1.0f);
    t.root.refit();
    struct Case {
        drSvec3 p;
        bool surfaceHit, indexHit;
    } cases[] = {
        {{0.3f, 0.0f, 0.3f}, true, true},       // in the plane
        {{0.3f, 0.01f, 0.3f}, false, true},     // in front: only the index query reaches it
        {{0.3f, 0.5f, 0.3f}, false, true},      // at the upper offset
        {{0.3f, 0.51f, 0.3f}, false, false},
        {{0.3f, -1.0f, 0.3f}, true, true},      // at the lower offset
        {{0.3f, -1.01f, 0.3f}, false, false},
        {{0.3f, -0.1f, -0.04f}, true, true},    // u = -0.04
        {{0.3f, -0.1f, -0.06f}, false, false},  // u = -0.06
        {{0.3f, -0.1f, -0.05f}, true, true},    // u = -0.05: both inclusive
        {{-0.05f, -0.1f, 0.3f}, true, false},   // v = -0.05: strict for the index query
        {{0.0f, -0.1f, 1.05f}, true, false},    // u + v = 1.05: strict for the index query
        {{0.5f, -0.1f, 0.56f}, false, false},   // u + v = 1.06
        {{50, 0, 50}, false, false},            // far outside every box
        {{NAN, 0, 0.3f}, false, false},
    };
    for (const Case& c : cases) {
        drSsurfaceHit hit;
        EXPECT_EQ(t.root.pointQuery(c.p, hit), c.surfaceHit) << c.p.x << " " << c.p.y << " " << c.p.z;
        t.points[7] = c.p;
        drSindexHit index;
        EXPECT_EQ(t.root.pointIndexQuery(7, index), c.indexHit) << c.p.x << " " << c.p.y << " " << c.p.z;
    }

    // A hit in the plane: depth -0.05 * lowerOffset; weights 1 - u - v, u, v
    drSsurfaceHit hit;
    ASSERT_TRUE(t.root.pointQuery({0.25f, 0.0f, 0.5f}, hit));
    EXPECT_EQ(hit.depth, 0.05f);
    EXPECT_EQ(hit.normal, (drSvec3{0, 1, 0}));
    EXPECT_EQ(hit.motion, (drSvec3{0, 0, 0}));
    t.points[7] = {0.25f, 0.2f, 0.5f};
    drSindexHit index;
    ASSERT_TRUE(t.root.pointIndexQuery(7, index));
    EXPECT_EQ(index.distance, 0.2f);
    EXPECT_EQ((drStriangle{index.a, index.b, index.c}), (drStriangle{0, 1, 2}));
    EXPECT_EQ(index.wa, 0.25f);
    EXPECT_EQ(index.wb, 0.5f);
    EXPECT_EQ(index.wc, 0.25f);

    // A corner never collides with its own triangle; a point at the same place does
    EXPECT_FALSE(t.root.pointIndexQuery(0, index));
    EXPECT_TRUE(t.root.pointIndexQuery(3, index));
    EXPECT_FALSE(t.root.pointIndexQuery(-1, index));
    EXPECT_FALSE(t.root.pointIndexQuery(8, index));
}

TEST(TriangleTree, QueriesReturnTheFirstAcceptedTriangleInStoredOrder) {
    // Two triangles over the same spot, 0.2 apart: the later, nearer one is not taken.
    Tree t;
    t.points = {{0, -0.2f, 0}, {0, -0.2f, 1}, {1, -0.2f, 0}, {0, 0, 0}, {0, 0, 1}, {1, 0, 0}, {0.2f, 0.1f, 0.2f}};
    t.triangles = {{0, 1, 2}, {3, 4, 5}};
    t.fill(0.5f, -1.0f);
    t.root.refit();
    drSsurfaceHit hit;
    ASSERT_TRUE(t.root.pointQuery({0.2f, -0.3f, 0.2f}, hit));
    EXPECT_FLOAT_EQ(hit.depth, -0.1f + 0.05f);
    drSindexHit index;
    ASSERT_TRUE(t.root.pointIndexQuery(6, index));
    EXPECT_EQ(index.a, 0);
}

/// The answers of a recursive walk over the children, in order: what the
/// root's queries must return however they find their leaves.
bool walkedPointQuery(const drStriangleNode& node, const drSvec3& p, drSsurfaceHit& hit) {
    if (!node.boxContains(p)) return false;
    if (node.leaf) return node.leaf->pointQuery(p, hit);
    for (const auto& child : node.children)
        if (walkedPointQuery(*child, p, hit)) return true;
    return false;
}
bool walkedIndexQuery(const drStriangleNode& node, int32_t i, const drSvec3& p, drSindexHit& hit) {
    if (!node.boxContains(p)) return false;
    if (node.leaf) return node.leaf->pointIndexQuery(i, p, hit);
    for (const auto& child : node.children)
        if (walkedIndexQuery(*child, i, p, hit)) return true;
    return false;
}

TEST(TriangleTree, BinnedQueriesAnswerLikeTheRecursiveWalk) {
    // A wavy sheet folded over itself (two layers 0.6 apart), so that many
    // points have candidates in several leaves, at two offset settings and
    // after the sheet has moved.
    // The bins are filled on the pool from 256 leaves on: 70 x 70 points make
    // several hundred, 40 x 40 fewer.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> jitter(-0.7f, 0.7f);
    struct Case {
        int32_t side, processors;
        float upper, lower;
    };
    for (const Case& c : {Case{40, 1, 0.5f, -0.5f}, Case{40, 1, 0.0f, -1.0f}, Case{70, 2, 0.5f, -0.5f},
                          Case{70, 4, 0.0f, -1.0f}}) {
        PoolWith pool(c.processors);
        const auto offsets = std::pair{c.upper, c.lower};
        Tree t;
        wavyGrid(t, c.side, c.side);
        const float half = 0.5f * static_cast<float>(c.side);
        for (drSvec3& p : t.points) {
            if (p.z > half) p = {p.x, 0.6f + p.y * 0.5f, 2.0f * half - p.z};
        }
        t.fill(offsets.first, offsets.second);
        for (int32_t round = 0; round < 2; ++round) {
            t.root.refit();
            ASSERT_TRUE(t.root.binned());
            int32_t hits = 0;
            for (int32_t i = 0; i < t.root.pointCount; ++i) {
                drSindexHit a, b;
                const bool found = t.root.pointIndexQuery(i, a);
                ASSERT_EQ(found, walkedIndexQuery(t.root, i, t.points[i], b)) << "point " << i;
                if (found) {
                    ++hits;
                    EXPECT_TRUE(a.a == b.a && a.b == b.b && a.c == b.c && a.distance == b.distance) << "point " << i;
                }
                const drSvec3 q = t.points[i] + drSvec3{jitter(rng), jitter(rng), jitter(rng)};
                drSsurfaceHit c, d;
                const bool surface = t.root.pointQuery(q, c);
                ASSERT_EQ(surface, walkedPointQuery(t.root, q, d)) << "query near point " << i;
                if (surface) {
                    EXPECT_TRUE(c.depth == d.depth && c.normal == d.normal) << "query near point " << i;
                }
            }
            EXPECT_GT(hits, 100) << "the layers must meet";
            for (drSvec3& p : t.points) p += drSvec3{0.3f, 0.1f * std::sin(p.x), 0.2f};  // move, then refit again
        }
        // Far outside and not a number: nothing, either way
        drSsurfaceHit none;
        EXPECT_FALSE(t.root.pointQuery({1e6f, 0, 0}, none));
        EXPECT_FALSE(t.root.pointQuery({std::nanf(""), 0, 0}, none));
    }
}

TEST(TriangleTree, BarycentricVectorsMatchADoublePrecisionSolve) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coord(-10.0f, 10.0f);
    int32_t checked = 0;
    double worst = 0.0;
    while (checked < 2000) {
        Tree t;
        t.points = {{coord(rng), coord(rng), coord(rng)}, {coord(rng), coord(rng), coord(rng)},
                    {coord(rng), coord(rng), coord(rng)}};
        t.triangles = {{0, 1, 2}};
        // Double-precision reference of edges, Gram matrix and normal
        double e1[3], e2[3];
        for (int k = 0; k < 3; ++k) {
            e1[k] = static_cast<double>(t.points[1][k]) - t.points[0][k];
            e2[k] = static_cast<double>(t.points[2][k]) - t.points[0][k];
        }
        const double g11 = e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2];
        const double g22 = e2[0] * e2[0] + e2[1] * e2[1] + e2[2] * e2[2];
        const double g12 = e1[0] * e2[0] + e1[1] * e2[1] + e1[2] * e2[2];
        const double det = g11 * g22 - g12 * g12;
        // Keep triangles whose smallest angle has a sine of at least 0.2
        if (det < 0.04 * g11 * g22) continue;
        t.fill(1.0f, -1.0f);
        t.root.refit();
        const drStriangleLeaf& leaf = *t.root.leaf;
        const double nRef[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                                e1[0] * e2[1] - e1[1] * e2[0]};
        const double nLen = std::sqrt(det);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(leaf.faceNormal(0)[k], nRef[k] / nLen, 1e-5);

        // A random point near the triangle: compare u and v
        const drSvec3 p{coord(rng) * 0.5f, coord(rng) * 0.5f, coord(rng) * 0.5f};
        double w[3];
        for (int k = 0; k < 3; ++k) w[k] = static_cast<double>(p[k]) - t.points[0][k];
        const double we1 = w[0] * e1[0] + w[1] * e1[1] + w[2] * e1[2];
        const double we2 = w[0] * e2[0] + w[1] * e2[1] + w[2] * e2[2];
        const double uRef = (g22 * we1 - g12 * we2) / det;
        const double vRef = (g11 * we2 - g12 * we1) / det;
        const drSvec3 wf = p - t.points[0];
        const double scale = 1.0 + std::fabs(uRef) + std::fabs(vRef);
        const double du = std::fabs(dot(wf, leaf.baryU(0)) - uRef) / scale;
        const double dv = std::fabs(dot(wf, leaf.baryV(0)) - vRef) / scale;
        worst = std::max(worst, std::max(du, dv));
        ++checked;
    }
    // Relative to the size of the coordinates: a few hundred float ulps at worst.
    EXPECT_LT(worst, 2e-5);
}

TEST(TriangleTree, OwnPositionsStartAtZeroAndMoveTowardTheTargets) {
    Tree t;
    wavyGrid(t, 5, 4);  // 24 triangles: one leaf
    t.fill(0.0f, -1.0f);
    t.root.setOwnsPositions(1);
    ASSERT_NE(t.root.positions, t.points.data());
    EXPECT_EQ(t.root.targetPositions, t.points.data());
    for (int32_t i = 0; i < t.root.pointCount; ++i) EXPECT_EQ(t.root.positions[i], (drSvec3{0, 0, 0}));
    t.root.moveToward(0.25f);
    EXPECT_EQ(t.root.positions[19], t.points[19] * 0.25f);
    t.root.moveToward(1.0f);
    for (int32_t i = 0; i < t.root.pointCount; ++i) EXPECT_EQ(t.root.positions[i], t.points[i]);
    t.root.refit();
    ASSERT_NE(t.root.leaf, nullptr);
    EXPECT_EQ(t.root.leaf->positions, t.root.positions);

    // New targets: the motion of a query is target minus own position
    std::vector<drSvec3> raised = t.points;
    for (drSvec3& p : raised) p.y += 2.0f;
    t.root.setPositions(raised.data());
    EXPECT_EQ(t.root.leaf->targetPositions, raised.data());
    drSsurfaceHit hit;
    ASSERT_TRUE(t.root.pointQuery(t.points[6] + drSvec3{0.1f, -0.05f, 0.1f}, hit));
    EXPECT_FLOAT_EQ(hit.motion.y, 2.0f);

    // Dropping the copy returns to the targets
    t.root.setOwnsPositions(0);
    EXPECT_EQ(t.root.positions, raised.data());
    EXPECT_EQ(t.root.leaf->positions, raised.data());
    t.root.moveToward(0.5f);  // nothing to move
    EXPECT_EQ(raised[0].y, t.points[0].y + 2.0f);
}

TEST(TriangleTree, NeedsARefitExactlyWhenWhatTheLeavesDependOnHasChanged) {
    for (int32_t processors : {1, 2}) {
        PoolWith pool(processors);
        Tree t;
        wavyGrid(t, 30, 30);  // enough points for the split of moveToward
        t.fill(0.0f, -1.0f);
        t.root.setOwnsPositions(1);
        EXPECT_TRUE(t.root.needsRefit()) << "never refitted";
        t.root.moveToward(1.0f);
        t.root.refit();
        EXPECT_FALSE(t.root.needsRefit());

        t.root.moveToward(0.5f);  // already on the targets
        t.root.setOffsets(0.0f, -1.0f);  // the same offsets
        EXPECT_FALSE(t.root.needsRefit()) << "nothing moved";

        t.root.setOffsets(0.0f, -2.0f);
        EXPECT_TRUE(t.root.needsRefit()) << "new offsets";
        t.root.refit();

        t.points[t.points.size() - 1].y += 1.0f;  // a target moves in place
        t.root.moveToward(0.0f);
        EXPECT_FALSE(t.root.needsRefit()) << "no time to move yet";
        t.root.moveToward(0.5f);
        EXPECT_TRUE(t.root.needsRefit()) << "the last point moved (job of the last worker)";
        t.root.refit();

        std::vector<drSvec3> other = t.points;
        t.root.setPositions(other.data());
        EXPECT_TRUE(t.root.needsRefit()) << "new target array";
        t.root.refit();

        t.root.setOwnsPositions(0);
        t.root.refit();
        EXPECT_TRUE(t.root.needsRefit()) << "borrowed positions may change unseen";
    }
}

TEST(TriangleTree, BadInputIsInert) {
    drSsurfaceHit hit;
    drSindexHit index;
    // No triangles
    Tree empty;
    empty.points = {{0, 0, 0}};
    empty.fill(1.0f, -1.0f);
    empty.root.refit();
    EXPECT_FALSE(empty.root.pointQuery({0, 0, 0}, hit));
    EXPECT_FALSE(empty.root.pointIndexQuery(0, index));
    // Only degenerate triangles, also non-finite ones
    Tree flat;
    flat.points = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {NAN, 0, 0}};
    flat.triangles = {{0, 1, 2}, {0, 1, 3}, {0, 0, 1}};
    flat.fill(1.0f, -1.0f);
    flat.root.refit();
    EXPECT_FALSE(flat.root.pointQuery({1, 0, 0}, hit));
    EXPECT_EQ(flat.root.boxMin.x, 1e9f);
    // Corner indices outside the points are not taken
    Tree wrong;
    wrong.points = {{0, 0, 0}, {0, 0, 1}, {1, 0, 0}};
    wrong.triangles = {{0, 1, 3}, {-1, 1, 2}};
    wrong.fill(1.0f, -1.0f);
    EXPECT_EQ(wrong.root.pendingCount, 0);
    // No positions yet: refit and queries do nothing
    drStriangleNode unset;
    unset.pointCount = 3;
    unset.addTriangle(0, 1, 2);
    unset.refit();
    EXPECT_EQ(unset.leaf, nullptr);
    EXPECT_FALSE(unset.pointIndexQuery(0, index));
    // Zero offsets: only points exactly in the plane
    Tree thin;
    thin.points = {{0, 0, 0}, {0, 0, 1}, {1, 0, 0}, {0.2f, 0, 0.2f}};
    thin.triangles = {{0, 1, 2}};
    thin.fill(0.0f, 0.0f);
    thin.root.refit();
    EXPECT_TRUE(thin.root.pointIndexQuery(3, index));
    thin.points[3].y = 1e-6f;
    EXPECT_FALSE(thin.root.pointIndexQuery(3, index));
}

TEST(TriangleTree, BuildCentresTheOctantsOnTheCurrentPositions) {
    // Triangles added at positions far from those of the first refit (the
    // self-collision host adds them in the mesh's own space) still split.
    Tree t;
    wavyGrid(t, 20, 20);
    t.fill(0.1f, -0.1f);
    for (drSvec3& p : t.points) p += drSvec3{500, 500, 500};
    t.root.refit();
    EXPECT_GT(t.root.childCount, 1);
    int32_t leaves = 0;
    EXPECT_EQ(leafTriangles(t.root, leaves), 722);
}

TEST(TriangleTree, RefitAndMoveTowardOnThePoolEqualTheSerialResult) {
    struct Snapshot {
        std::vector<drSvec3> data;
        std::vector<int32_t> hits;
    };
    auto run = [](int32_t processors) {
        PoolWith pool(processors);
        Tree t;
        wavyGrid(t, 60, 60);
        t.fill(0.2f, -0.3f);
        t.root.setOwnsPositions(1);
        t.root.moveToward(1.0f);
        t.root.refit();
        wavyGrid(t, 60, 60, 0.7f);  // new targets, same topology
        t.root.setPositions(t.points.data());
        t.root.moveToward(0.3f);
        t.root.refit();
        Snapshot s;
        for (int32_t i = 0; i < t.root.pointCount; ++i) s.data.push_back(t.root.positions[i]);
        forEachNode(t.root, [&](const drStriangleNode& n) {
            s.data.push_back(n.boxMin);
            s.data.push_back(n.boxMax);
            if (!n.leaf) return;
            for (int32_t k = 0; k < n.leaf->refittedCount(); ++k) {
                s.data.push_back(n.leaf->faceNormal(k));
                s.data.push_back(n.leaf->baryU(k));
                s.data.push_back(n.leaf->baryV(k));
            }
        });
        for (int32_t i = 0; i < 3000; ++i) {
            drSsurfaceHit hit;
            const drSvec3 p{0.02f * static_cast<float>(i), -0.1f, 0.0197f * static_cast<float>(i)};
            s.hits.push_back(t.root.pointQuery(p, hit) ? static_cast<int32_t>(hit.depth * 1e6f) : -1);
        }
        return s;
    };
    const Snapshot serial = run(1);
    EXPECT_GT(std::count_if(serial.hits.begin(), serial.hits.end(), [](int32_t h) { return h != -1; }), 50);
    for (int32_t processors : {2, 4}) {
        const Snapshot parallel = run(processors);
        ASSERT_EQ(parallel.data.size(), serial.data.size());
        for (size_t k = 0; k < serial.data.size(); ++k) ASSERT_EQ(parallel.data[k], serial.data[k]) << processors;
        EXPECT_EQ(parallel.hits, serial.hits);
    }
}

namespace {

/// Scalar reference of the queries: a recursive walk over the nodes, every
/// leaf's triangles one after the other, with the formulas as written.
struct ReferenceQuery {
    const drStriangleNode& root;
    const drSvec3* positions;

    bool surface(const drStriangleNode& node, const drSvec3& p, drSsurfaceHit& hit) const {
        if (!node.boxContains(p)) return false;
        if (node.leaf) {
            const drStriangleLeaf& leaf = *node.leaf;
            for (int32_t t = 0; t < leaf.refittedCount(); ++t) {
                const drSvec3 n = leaf.faceNormal(t);
                if (n.x > 2.0f) continue;
                const drStriangle& tri = leaf.triangles[t];
                const drSvec3 w = p - positions[tri[0]];
                const float d = dot(n, w);
                if (!(d <= 0.0f && d >= leaf.lowerOffset)) continue;
                const float u = dot(w, leaf.baryU(t));
                if (!(u >= -0.05f)) continue;
                const float v = dot(w, leaf.baryV(t));
                if (!(v >= -0.05f && u + v <= 1.05f)) continue;
                hit.normal = n;
                hit.depth = d - 0.05f * leaf.lowerOffset;
                hit.motion = (leaf.targetPositions[tri[0]] - positions[tri[0]]) * (1.0f - u - v) +
                             (leaf.targetPositions[tri[1]] - positions[tri[1]]) * u +
                             (leaf.targetPositions[tri[2]] - positions[tri[2]]) * v;
                return true;
            }
            return false;
        }
        for (const auto& child : node.children)
            if (surface(*child, p, hit)) return true;
        return false;
    }

    bool index(const drStriangleNode& node, int32_t i, drSindexHit& hit) const {
        const drSvec3 p = positions[i];
        if (!node.boxContains(p)) return false;
        if (node.leaf) {
            const drStriangleLeaf& leaf = *node.leaf;
            for (int32_t t = 0; t < leaf.refittedCount(); ++t) {
                const drSvec3 n = leaf.faceNormal(t);
                if (n.x > 2.0f) continue;
                const drStriangle& tri = leaf.triangles[t];
                const drSvec3 w = p - positions[tri[0]];
                const float d = dot(n, w);
                if (!(d >= leaf.lowerOffset && d <= leaf.upperOffset)) continue;
                if (i == tri[0] || i == tri[1] || i == tri[2]) continue;
                const float u = dot(w, leaf.baryU(t));
                if (!(u >= -0.05f)) continue;
                const float v = dot(w, leaf.baryV(t));
                if (!(v > -0.05f && u + v < 1.05f)) continue;
                hit = {d, n, tri[0], tri[1], tri[2], 1.0f - u - v, u, v};
                return true;
            }
            return false;
        }
        for (const auto& child : node.children)
            if (index(*child, i, hit)) return true;
        return false;
    }
};

}  // namespace

TEST(TriangleTree, QueriesMatchAScanOfEveryTriangleInTreeOrder) {
    // Crumpled sheets, some triangles collapsed, refitted after a move, probed
    // at every point and at random points around them: each query returns the
    // same first triangle, bit for bit, as the plain scan.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> jitter(-0.6f, 0.6f);
    int32_t indexHits = 0, surfaceHits = 0;
    for (int32_t round = 0; round < 6; ++round) {
        Tree t;
        wavyGrid(t, 12 + round * 5, 9 + round * 3, 0.3f * static_cast<float>(round));
        for (drSvec3& p : t.points) p += drSvec3{0.2f * jitter(rng), 2.0f * jitter(rng), 0.2f * jitter(rng)};
        for (size_t k = 0; k < t.triangles.size(); k += 7) t.triangles[k][1] = t.triangles[k][0];  // degenerate
        const float reach = 0.4f + 0.2f * static_cast<float>(round);
        t.fill(reach, -1.5f * reach);
        t.root.refit();
        for (drSvec3& p : t.points) p.y += 0.3f * jitter(rng);  // a sub-step later
        t.root.refit();
        const ReferenceQuery reference{t.root, t.points.data()};
        for (int32_t i = 0; i < t.root.pointCount; ++i) {
            drSindexHit got, want;
            const bool hit = reference.index(t.root, i, want);
            ASSERT_EQ(t.root.pointIndexQuery(i, got), hit) << round << " " << i;
            if (!hit) continue;
            ++indexHits;
            EXPECT_EQ((std::array<float, 6>{got.distance, got.normal.x, got.normal.y, got.normal.z, got.wa, got.wb}),
                      (std::array<float, 6>{want.distance, want.normal.x, want.normal.y, want.normal.z, want.wa,
                                            want.wb}));
            EXPECT_EQ((std::array<int32_t, 3>{got.a, got.b, got.c}), (std::array<int32_t, 3>{want.a, want.b, want.c}));
            EXPECT_EQ(got.wc, want.wc);
        }
        for (int32_t k = 0; k < 2000; ++k) {
            const drSvec3 p = t.points[static_cast<size_t>(k) % t.points.size()] +
                              drSvec3{jitter(rng), 0.5f * jitter(rng), jitter(rng)};
            drSsurfaceHit got, want;
            const bool hit = reference.surface(t.root, p, want);
            ASSERT_EQ(t.root.pointQuery(p, got), hit) << round << " " << k;
            if (!hit) continue;
            ++surfaceHits;
            EXPECT_EQ(got.normal, want.normal);
            EXPECT_EQ(got.depth, want.depth);
            EXPECT_EQ(got.motion, want.motion);
        }
    }
    // Both queries must have found plenty, or the comparison proves little
    EXPECT_GT(indexHits, 200) << surfaceHits;
    EXPECT_GT(surfaceHits, 1000);
}

// The 16-lane refit against the four-lane one: the same bits in every
// block and in the box, for leaves that end inside a block or a group of
// sixteen, with degenerate, non-finite and flat triangles among the others,
// triangles that turn degenerate after a first refit, and boxes that meet
// at signed zeros (whose order decides the box).
TEST(TriangleTree, RefitGivesTheSameBlocksAndBoxInSixteenLanesAsInFour) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> spread(-3.0f, 3.0f);
    std::vector<drSvec3> points;
    for (int32_t i = 0; i < 200; ++i) points.push_back({spread(random), spread(random), spread(random)});
    points.push_back({NAN, 0.0f, 0.0f});        // 200: not a number
    points.push_back({INFINITY, 1.0f, 0.0f});   // 201: infinite
    points.push_back({-0.0f, 0.0f, 0.0f});      // 202..205: flat triangles on x = 0
    points.push_back({0.0f, 1.0f, 0.0f});
    points.push_back({0.0f, 0.0f, 1.0f});
    points.push_back({-0.0f, -0.0f, 2.0f});
    points.push_back(points[5]);                // 206: on point 5
    // The first refit sees every point finite and apart
    std::vector<drSvec3> before = points;
    before[200] = {0.5f, 0.2f, -0.1f};
    before[201] = {0.1f, 1.0f, 0.3f};
    before[206] = {1.0f, -2.0f, 0.5f};
    const std::vector<drStriangle> odd = {
        {0, 0, 1},    // a repeated corner
        {0, 1, 200},  // not a number
        {2, 201, 3},  // infinite
        {5, 206, 6},  // degenerate after the first refit
    };
    // Normal +x and -x: with zero offsets the lower x of their boxes is +0
    // for the first, -0 for the other two
    const std::vector<drStriangle> flat = {{202, 203, 204}, {202, 204, 203}, {205, 204, 203}};
    struct Case {
        int32_t count;       ///< triangles in the leaf
        int32_t oddEvery;    ///< an odd triangle at every this many (0: none)
        bool flatOnly;       ///< only the flat triangles, picked at random
        float upper, lower;  ///< offsets
    };
    const Case cases[] = {{1, 0, false, 0.1f, -0.2f}, {5, 2, false, 0.1f, -0.2f}, {16, 3, false, 0.0f, 0.0f},
                          {17, 1, false, 0.3f, -0.1f}, {37, 4, false, 0.05f, -0.05f}, {64, 0, false, 0.05f, -0.05f},
                          {5, 0, true, 0.0f, 0.0f},   {7, 0, true, 0.0f, -0.0f},   {19, 0, true, 0.0f, 0.0f}};
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (int32_t k = 0; k < 40; ++k) all.push_back({16, 0, true, 0.0f, 0.0f});  // the zeros in many orders
    for (const Case& c : all) {
        std::vector<drStriangle> triangles;
        std::uniform_int_distribution<int32_t> corner(0, 199);
        for (int32_t t = 0; t < c.count; ++t) {
            if (c.flatOnly)
                triangles.push_back(flat[static_cast<size_t>(corner(random)) % flat.size()]);
            else if (c.oddEvery > 0 && t % c.oddEvery == 0)
                triangles.push_back(odd[static_cast<size_t>(t / c.oddEvery) % odd.size()]);
            else
                triangles.push_back({corner(random), corner(random), corner(random)});
        }
        auto refitAt = [&](int32_t width) {
            drSsetLaneWidth(width);
            drStriangleLeaf leaf;
            leaf.triangleCount = c.count;
            leaf.triangles = triangles.data();
            leaf.upperOffset = c.upper;
            leaf.lowerOffset = c.lower;
            leaf.positions = before.data();
            leaf.refit();
            leaf.positions = points.data();
            leaf.refit();
            drSsetLaneWidth(0);
            return leaf;
        };
        const drStriangleLeaf four = refitAt(4);
        if (drSsetLaneWidth(16) != 16) GTEST_SKIP() << "no 16-lane vectors on this processor";
        const drStriangleLeaf sixteen = refitAt(16);
        ASSERT_EQ(sixteen.blocks.size(), four.blocks.size());
        EXPECT_EQ(std::memcmp(sixteen.blocks.data(), four.blocks.data(), four.blocks.size() * sizeof(drStriangleBlock)), 0)
            << c.count << " triangles";
        EXPECT_EQ(std::memcmp(&sixteen.boxMin, &four.boxMin, sizeof(drSvec3)), 0) << c.count << " triangles";
        EXPECT_EQ(std::memcmp(&sixteen.boxMax, &four.boxMax, sizeof(drSvec3)), 0) << c.count << " triangles";
    }
}
