#include <gtest/gtest.h>

#include "poolWith.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "drScloth.h"
#include "drScollideSelf.h"
#include "drSselfCandidates.h"
#include "drSselfSetUp.h"
#include "drSlanes.h"
#include "drSsolver.h"
#include "drStriangleNode.h"
#include "grid.h"
#include "pool.h"

namespace {

/// A cloth whose triangles are in a tree over its own positions, set up the
/// way the host and the cloth object do it, with thickness `tau`.
struct SelfCloth {
    drScloth cloth;
    drStriangleNode tree;
    drScollideSelf collider;
    drSsolver solver;

    SelfCloth(const std::vector<drSvec3>& points, const std::vector<drStriangle>& triangles, float tau) {
        cloth.pointCount = static_cast<int32_t>(points.size());
        cloth.resizePoints();
        cloth.positions = points;
        tree.pointCount = cloth.pointCount;
        tree.setPositions(cloth.positions.data());
        for (const drStriangle& t : triangles) tree.addTriangle(t[0], t[1], t[2]);
        tree.setOffsets(tau, -tau);
        collider.tree = &tree;
        collider.pointCount = cloth.pointCount;
        collider.pointFlags = cloth.pointFlags.data();
    }
    void apply() { collider.apply(cloth, solver); }
};

/// One triangle in y = 0 (front +y; u = z / 2, v = x / 2) and a free point 3.
SelfCloth oneTriangle(const drSvec3& point, float tau = 5.0f) {
    return SelfCloth({{0, 0, 0}, {0, 0, 2}, {2, 0, 0}, point}, {{0, 1, 2}}, tau);
}

/// Two 20 x 20 layers 0.3 apart, the upper one shifted, in one mesh.
SelfCloth twoLayers() {
    const GridMesh g = makeGrid(20, 20, 1.0);
    std::vector<drSvec3> points;
    std::vector<drStriangle> triangles;
    for (int32_t layer = 0; layer < 2; ++layer) {
        const int32_t base = layer * g.pointCount();
        for (int32_t i = 0; i < g.pointCount(); ++i)
            points.push_back({static_cast<float>(g.points[3 * i]) + 0.3f * static_cast<float>(layer),
                              0.3f * static_cast<float>(layer),
                              static_cast<float>(g.points[3 * i + 2]) + 0.4f * static_cast<float>(layer)});
        for (const drSpolygon& p : g.polygons) {
            triangles.push_back({base + p.a, base + p.b, base + p.c});
            triangles.push_back({base + p.a, base + p.c, base + p.d});
        }
    }
    return SelfCloth(points, triangles, 0.5f);
}

/// Two `side` x `side` sheets spaced 2 (as the common drape), 2 apart, the
/// upper one shifted and dipping in the middle to 0.2 above the lower one:
/// with a thickness of 0.5, contacts only around the dip, as where a cloth
/// folds onto itself.
void dippedLayers(std::vector<drSvec3>& points, std::vector<drStriangle>& triangles, int32_t side = 40) {
    const GridMesh g = makeGrid(side, side, 2.0);
    for (int32_t layer = 0; layer < 2; ++layer) {
        const int32_t base = layer * g.pointCount();
        for (int32_t i = 0; i < g.pointCount(); ++i) {
            const float x = static_cast<float>(g.points[3 * i]), z = static_cast<float>(g.points[3 * i + 2]);
            const float middle = static_cast<float>(side);
            const float r2 = (x - middle) * (x - middle) + (z - middle) * (z - middle);
            if (layer == 0)
                points.push_back({x, 0.0f, z});
            else
                points.push_back({x + 0.6f, 2.0f - 1.8f * std::exp(-r2 / 160.0f), z + 0.8f});
        }
        for (const drSpolygon& p : g.polygons) {
            triangles.push_back({base + p.a, base + p.b, base + p.c});
            triangles.push_back({base + p.a, base + p.c, base + p.d});
        }
    }
}

bool sameBits(const void* a, const void* b, size_t bytes) { return std::memcmp(a, b, bytes) == 0; }
bool sameBits(const std::vector<drSvec3>& a, const std::vector<drSvec3>& b) {
    return a.size() == b.size() && sameBits(a.data(), b.data(), a.size() * sizeof(drSvec3));
}

/// The dipped layers with candidate lists, and a second tree over the same
/// positions that is refitted and asked for every point: the answers the
/// lists must give.
struct ListsAndReference {
    std::vector<drSvec3> points;
    std::vector<drStriangle> triangles;
    int32_t n = 0;
    drStriangleNode tree, reference;
    drSselfCandidates lists;

    explicit ListsAndReference(int32_t side = 40) {
        dippedLayers(points, triangles, side);
        n = static_cast<int32_t>(points.size());
        for (drStriangleNode* t : {&tree, &reference}) {
            t->pointCount = n;
            t->setPositions(points.data());
            for (const drStriangle& tri : triangles) t->addTriangle(tri[0], tri[1], tri[2]);
            t->setOffsets(0.5f, -0.5f);
            t->refit();
        }
    }
    /// A sub-step as the collider runs it: the lists' update, the refits it
    /// asks for, then every point's answer compared with the reference.
    /// Returns the use, and counts the contacts.
    drSselfCandidates::Use subStep(const std::string& label, int32_t& contacts) {
        reference.refit();
        const drSselfCandidates::Use use = lists.update(tree, n);
        if (use == drSselfCandidates::Use::Lists)
            lists.refitLeaves();
        else if (use == drSselfCandidates::Use::Mixed)
            lists.pickPoints(tree);
        else
            tree.refit();
        std::vector<int32_t> item(static_cast<size_t>(n), -1);
        for (int32_t k = 0; use != drSselfCandidates::Use::Tree && k < lists.itemCount(); ++k)
            item[static_cast<size_t>(lists.itemPoint(k))] = k;
        for (int32_t i = 0; i < n; ++i) {
            drSindexHit want, got;
            const bool expected = reference.pointIndexQuery(i, want);
            const int32_t k = item[static_cast<size_t>(i)];
            const bool found = use != drSselfCandidates::Use::Tree ? k >= 0 && lists.itemQuery(k, got)
                                                                   : tree.pointIndexQuery(i, got);
            EXPECT_EQ(found, expected) << label << ", point " << i;
            if (!found || !expected) continue;
            ++contacts;
            EXPECT_TRUE(want.a == got.a && want.b == got.b && want.c == got.c && sameBits(&want, &got, sizeof want))
                << label << ", point " << i;
        }
        return use;
    }
};

/// The candidate lists against the tree over 40 sub-steps of a moving cloth.
void listsFollowTheMovingCloth() {
    ListsAndReference c;
    std::vector<drSvec3>& points = c.points;
    const int32_t n = c.n;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> jitter(-0.004f, 0.004f);
    int32_t listed = 0, mixed = 0, contacts = 0;
    for (int32_t step = 0; step < 40; ++step) {
        for (int32_t i = 0; i < n; ++i) {
            points[i] += drSvec3{0.05f + jitter(rng), -0.1f + jitter(rng), 0.02f + jitter(rng)};
            if (i >= n / 2 && step >= 8 && step < 20) points[i].y -= 0.04f;  // the upper layer sinks
        }
        if (step == 24)
            for (int32_t i = 0; i < n; i += 7) points[i].y += 0.4f;  // a jolt
        if (step == 30) points[n / 2 + 20 * 40 + 21] = (points[n / 2 + 20 * 40 + 20] + points[n / 2 + 20 * 40 + 22]) * 0.5f;
        const drSvec3 kept = points[n / 2 + 5];
        if (step == 34) points[n / 2 + 5].x = std::nanf("");

        const drSselfCandidates::Use use = c.subStep("step " + std::to_string(step), contacts);
        listed += use == drSselfCandidates::Use::Lists ? 1 : 0;
        mixed += use == drSselfCandidates::Use::Mixed ? 1 : 0;
        points[n / 2 + 5] = kept;
    }
    EXPECT_GT(contacts, 2000);
    EXPECT_GE(listed, 15);  // many sub-steps ran on the lists...
    EXPECT_LT(c.lists.searchCount(), listed);  // ...which outlived their search
    EXPECT_GE(mixed, 3);  // and on the lists for most points while the upper layer sank
}
}  // namespace

TEST(CollideSelf, PointAboveALowerLayerHandsItsForceToTheCornersAndStopsApproaching) {
    // d = 0.5 < 5, u = v = 0.25: weights 0.5, 0.25, 0.25.
    SelfCloth c = oneTriangle({0.5f, 0.5f, 0.5f});
    c.collider.friction = 0.5f;
    c.cloth.velocities[3] = {0.2f, -1.0f, 0.0f};
    c.cloth.forces[3] = {0.0f, -2.0f, 0.4f};
    c.apply();
    // Force: the normal part goes to the corners; drag 0.5 on the sliding (0.2, 0, 0)
    EXPECT_EQ(c.cloth.forces[3], (drSvec3{-0.1f, 0.0f, 0.4f}));
    EXPECT_EQ(c.cloth.forces[0], (drSvec3{0, -1.0f, 0}));
    EXPECT_EQ(c.cloth.forces[1], (drSvec3{0, -0.5f, 0}));
    EXPECT_EQ(c.cloth.forces[2], (drSvec3{0, -0.5f, 0}));
    EXPECT_EQ(c.cloth.velocities[3], (drSvec3{0.2f, 0.0f, 0.0f}));
    // Corners: velocities never changed
    for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(c.cloth.velocities[i], (drSvec3{0, 0, 0}));
}

TEST(CollideSelf, SideDecidesWhichMotionIsStopped) {
    // The point moves and is pushed along y with the same sign; "stopped" means
    // its y velocity and y force are removed and the force went to the corners.
    struct Case {
        const char* name;
        int32_t side;
        float y, vy;
        bool stopped;
    } cases[] = {
        {"front, approaching", 0, 0.5f, -1.0f, true},
        {"front, leaving", 0, 0.5f, 1.0f, false},
        {"in the plane counts as front", 0, 0.0f, -1.0f, true},
        {"in the plane, leaving", 0, 0.0f, 1.0f, false},
        {"behind, approaching", 0, -0.5f, 1.0f, true},
        {"behind, leaving", 0, -0.5f, -1.0f, false},
        {"forced front, behind, moving back", 1, -0.5f, -1.0f, true},
        {"forced front, behind, moving forward", 1, -0.5f, 1.0f, false},
        {"forced back, in front, moving forward", -1, 0.5f, 1.0f, true},
        {"at the thickness", 0, 5.0f, -1.0f, true},
        {"beyond the thickness", 0, 5.01f, -1.0f, false},
    };
    for (const Case& k : cases) {
        SelfCloth c = oneTriangle({0.5f, k.y, 0.5f});
        c.collider.side = k.side;
        c.cloth.velocities[3] = {0.0f, k.vy, 0.0f};
        c.cloth.forces[3] = {0.0f, 2.0f * k.vy, 0.0f};
        c.apply();
        EXPECT_EQ(c.cloth.velocities[3].y, k.stopped ? 0.0f : k.vy) << k.name;
        EXPECT_EQ(c.cloth.forces[3].y, k.stopped ? 0.0f : 2.0f * k.vy) << k.name;
        EXPECT_EQ(c.cloth.forces[0].y, k.stopped ? k.vy : 0.0f) << k.name;  // weight 0.5
    }
}

TEST(CollideSelf, CornersAndFlaggedPointsAreNotTestedButFlaggedCornersReceiveForces) {
    SelfCloth c = oneTriangle({0.5f, 0.5f, 0.5f});
    for (int32_t i = 0; i < 4; ++i) {
        c.cloth.velocities[i] = {0.0f, -1.0f, 0.0f};
        c.cloth.forces[i] = {0.0f, -2.0f, 0.0f};
    }
    c.cloth.velocities[3].y = -2.0f;  // faster than the corners: approaching
    c.cloth.pointFlags[0] = 1;
    c.apply();
    // Corner 0 is flagged, yet takes half of the point's normal force
    EXPECT_EQ(c.cloth.forces[0], (drSvec3{0, -3.0f, 0}));
    EXPECT_EQ(c.cloth.forces[1], (drSvec3{0, -2.5f, 0}));
    EXPECT_EQ(c.cloth.velocities[1], (drSvec3{0, -1.0f, 0}));  // a corner of its own triangle: no contact
    // Only the relative approach is removed: the point keeps the corners' velocity
    EXPECT_EQ(c.cloth.velocities[3], (drSvec3{0, -1.0f, 0}));

    // The point itself flagged: left alone
    SelfCloth f = oneTriangle({0.5f, 0.5f, 0.5f});
    f.cloth.velocities[3] = {0.0f, -1.0f, 0.0f};
    f.cloth.pointFlags[3] = 1;
    f.apply();
    EXPECT_EQ(f.cloth.velocities[3], (drSvec3{0, -1.0f, 0}));
}

TEST(CollideSelf, BadInputDoesNothing) {
    auto unchanged = [](SelfCloth& c, const char* name) {
        c.cloth.velocities[3] = {0.0f, -1.0f, 0.0f};
        c.apply();
        EXPECT_EQ(c.cloth.velocities[3], (drSvec3{0, -1.0f, 0})) << name;
    };
    SelfCloth noTree = oneTriangle({0.5f, 0.5f, 0.5f});
    noTree.collider.tree = nullptr;
    unchanged(noTree, "no tree");
    SelfCloth noPositions = oneTriangle({0.5f, 0.5f, 0.5f});
    noPositions.tree.setPositions(nullptr);
    unchanged(noPositions, "no positions");
    SelfCloth noPoints = oneTriangle({0.5f, 0.5f, 0.5f});
    noPoints.collider.pointCount = 0;
    unchanged(noPoints, "point count 0");
    SelfCloth zeroThickness = oneTriangle({0.5f, 0.5f, 0.5f}, 0.0f);
    unchanged(zeroThickness, "thickness 0");
    SelfCloth biggerTree = oneTriangle({0.5f, 0.5f, 0.5f});
    biggerTree.tree.pointCount = 10;  // corners could lie beyond the cloth
    biggerTree.collider.pointCount = 10;
    unchanged(biggerTree, "tree larger than the cloth");
    SelfCloth noTriangles({{0, 0, 0}, {0, 0, 2}, {2, 0, 0}, {0.5f, 0.5f, 0.5f}}, {}, 5.0f);
    unchanged(noTriangles, "no triangles");
    SelfCloth degenerate({{0, 0, 0}, {0, 0, 2}, {0, 0, 0}, {0.5f, 0.5f, 0.5f}}, {{0, 1, 2}}, 5.0f);
    unchanged(degenerate, "degenerate");
}

TEST(CollideSelf, PointPassOnThePoolEqualsTheSerialPassAndKeepsEveryCornerForce) {
    auto run = [](int32_t processors, float friction) {
        PoolWith pool(processors);
        SelfCloth c = twoLayers();
        c.collider.friction = friction;
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> h(-1.0f, 1.0f);
        for (int32_t i = 0; i < c.cloth.pointCount; ++i) {
            c.cloth.velocities[i] = {h(rng), h(rng), h(rng)};
            c.cloth.forces[i] = {h(rng), h(rng), h(rng)};
        }
        drSvec3 before{};
        for (const drSvec3& f : c.cloth.forces) before += f;
        const std::vector<drSvec3> velocities = c.cloth.velocities;
        c.apply();
        int32_t contacts = 0;
        for (int32_t i = 0; i < c.cloth.pointCount; ++i) contacts += c.cloth.velocities[i] == velocities[i] ? 0 : 1;
        EXPECT_GT(contacts, 50);
        c.apply();  // a second sub-step reuses the per-job buffers
        drSvec3 after{};
        for (const drSvec3& f : c.cloth.forces) after += f;
        // Without friction the hand-over only moves force around: the sum stays
        if (friction == 0.0f) {
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(after[k], before[k], 1e-3f) << processors;
        }
        return c.cloth;
    };
    const drScloth serial = run(1, 0.3f);
    for (int32_t processors : {2, 4}) {
        const drScloth parallel = run(processors, 0.3f);
        EXPECT_EQ(parallel.velocities, serial.velocities) << processors;
        EXPECT_EQ(parallel.forces, serial.forces) << processors;
        run(processors, 0.0f);
    }
}

TEST(CollideSelf, CandidateListsGiveTheTreesAnswerWhileTheClothMoves) {
    // Sub-steps that keep the lists (the cloth drifts, the upper layer sinks
    // onto the lower one: new contacts appear between searches) and
    // sub-steps that end them (a jolt, a triangle made thin, a point that is
    // not a number). The search tests its points 16 at a time in vector
    // lanes where the processor has them, and one by one otherwise: both.
    for (int32_t width : {16, 1}) {
        if (drSsetLaneWidth(width) != width) continue;  // not on this processor
        SCOPED_TRACE("lanes " + std::to_string(width));
        listsFollowTheMovingCloth();
    }
    drSsetLaneWidth(0);
}
TEST(CollideSelf, SearchListsTheSamePointsInSixteenLanesAsOneByOne) {
    // The search sets its triangles up eight at a time and tests points
    // sixteen at a time where the processor has the lanes; one by one it
    // must list exactly the same. Points straddle the edge of the reach
    // (0.5 + 0.5 and the margins, about 1.08 here) above a sheet whose
    // triangles lean every way; a few of its triangles are thin; and a fan
    // of 45 triangles around one centroid cannot be split, so its leaf has
    // several runs of triangles and a partial block.
    std::vector<drSvec3> points;
    std::vector<drStriangle> triangles;
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const GridMesh g = makeGrid(24, 24, 2.0);
    for (int32_t i = 0; i < g.pointCount(); ++i) {
        const float x = static_cast<float>(g.points[3 * i]), z = static_cast<float>(g.points[3 * i + 2]);
        points.push_back({x, 0.4f * std::sin(0.7f * x) + 0.3f * std::cos(0.9f * z), z});
    }
    for (const drSpolygon& p : g.polygons) {
        triangles.push_back({p.a, p.b, p.c});
        triangles.push_back({p.a, p.c, p.d});
    }
    for (int32_t k = 0; k < 40; k += 7) points[static_cast<size_t>(triangles[static_cast<size_t>(k)][2])].x += 1.9f;  // thin
    const drSvec3 hub{60.0f, 0.0f, 60.0f};
    for (int32_t k = 0; k < 45; ++k) {
        const int32_t base = static_cast<int32_t>(points.size());
        const float angle = 0.13f * static_cast<float>(k), r = k % 9 == 0 ? 0.02f : 1.5f;  // some thin ones
        for (int32_t c = 0; c < 3; ++c) {
            const float a = angle + 2.0943951f * static_cast<float>(c);
            points.push_back(hub + drSvec3{(c == 2 && r < 1.0f ? 40.0f : 1.0f) * r * std::cos(a), 0.0f, r * std::sin(a)});
        }
        points.back() = hub + (hub - points[static_cast<size_t>(base)]) - (points[static_cast<size_t>(base) + 1] - hub);
        triangles.push_back({base, base + 1, base + 2});
    }
    for (int32_t k = 0; k < 3000; ++k) {
        const float x = 48.0f * unit(rng), z = 48.0f * unit(rng);
        const float y = 0.4f * std::sin(0.7f * x) + 0.3f * std::cos(0.9f * z) + (unit(rng) < 0.5f ? 1.0f : -1.0f) * (0.95f + 0.2f * unit(rng));
        points.push_back(k % 5 == 0 ? hub + drSvec3{4.0f * unit(rng) - 2.0f, 0.95f + 0.2f * unit(rng), 4.0f * unit(rng) - 2.0f}
                                    : drSvec3{x, y, z});
    }
    const int32_t n = static_cast<int32_t>(points.size());

    std::vector<int32_t> listed[2];
    std::vector<std::array<int64_t, 3>> entries[2];
    bool searched[2] = {false, false};
    for (int32_t width : {16, 1}) {
        if (drSsetLaneWidth(width) != width) continue;  // not on this processor
        drStriangleNode tree;
        tree.pointCount = n;
        tree.setPositions(points.data());
        for (const drStriangle& t : triangles) tree.addTriangle(t[0], t[1], t[2]);
        tree.setOffsets(0.5f, -0.5f);
        tree.refit();
        int32_t largest = 0;
        for (const drStriangleLeaf* leaf : tree.leafOrder()) largest = std::max(largest, leaf->triangleCount);
        EXPECT_GT(largest, 40);
        drSselfCandidates lists;
        lists.update(tree, n);
        const int32_t w = width == 16 ? 0 : 1;
        for (int32_t k = 0; k < lists.activeCount(); ++k) listed[w].push_back(lists.activePoint(k));
        for (int64_t k = 0; k < lists.entryCount(); ++k) entries[w].push_back(lists.entry(k));
        searched[w] = true;
        EXPECT_GT(lists.activeCount(), 200) << width;
        EXPECT_LT(lists.activeCount(), 3000) << width;  // the far ones are not listed
    }
    drSsetLaneWidth(0);
    if (!searched[0]) GTEST_SKIP() << "no 16 lanes on this processor";
    EXPECT_EQ(listed[0], listed[1]);
    EXPECT_EQ(entries[0], entries[1]);  // the same triangles, in the same order
}
TEST(CollideSelf, SearchSetsTrianglesUpBitForBitInSixteenLanesAsOneByOne) {
    // Triangles of every shape (well shaped, slivers, a repeated corner,
    // three corners on a line, tiny ones, far from the origin), 45 to a leaf
    // (a partial block of eight): over 20 corners, which the 16-lane path
    // reads from the leaf's corners, and over 150, which it gathers. Every
    // value and bound must have the bits of the plain path.
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (const int32_t cornerCount : {20, 150}) {
        std::vector<drSvec3> points;
        for (int32_t i = 0; i < cornerCount; ++i) {
            const float scale = i % 7 == 0 ? 0.001f : (i % 5 == 0 ? 30.0f : 8.0f);
            const drSvec3 offset = i % 3 == 0 ? drSvec3{4096.5f, -777.0f, 0.0f} : drSvec3{};
            points.push_back(offset + drSvec3{scale * unit(rng), scale * unit(rng), scale * unit(rng)});
        }
        std::vector<drStriangle> triangles;
        for (int32_t t = 0; t < 45; ++t) {
            auto corner = [&] { return static_cast<int32_t>(std::uniform_int_distribution<int32_t>(0, cornerCount - 1)(rng)); };
            drStriangle tri{corner(), corner(), corner()};
            if (t % 11 == 0) tri[2] = tri[0];  // a repeated corner
            if (t % 13 == 0) {  // three on a line
                tri[2] = static_cast<int32_t>(points.size());
                points.push_back((points[static_cast<size_t>(tri[0])] + points[static_cast<size_t>(tri[1])]) * 0.5f);
            }
            if (t % 17 == 0) {  // a sliver
                tri[2] = static_cast<int32_t>(points.size());
                points.push_back(points[static_cast<size_t>(tri[0])] + drSvec3{1e-4f, 2e-4f, 0.0f});
            }
            triangles.push_back(tri);
        }
        std::vector<double> plain, lanes;
        std::vector<float> plainBounds, laneBounds;
        drSselfSearchSetUp(points.data(), triangles.data(), 45, 0.5f, 0, plain, plainBounds);
        ASSERT_EQ(plain.size(), 45u * 26u);
        int32_t shaped = 0;
        for (int32_t t = 0; t < 45; ++t) shaped += plain[static_cast<size_t>(t) * 26 + 6] != 0.0 ? 1 : 0;
        EXPECT_GT(shaped, 5) << cornerCount;
        EXPECT_LT(shaped, 40) << cornerCount;
        for (int32_t path : {1, 2}) {
            drSselfSearchSetUp(points.data(), triangles.data(), 45, 0.5f, path, lanes, laneBounds);
            if (lanes.empty()) GTEST_SKIP() << "no 16 lanes on this processor";
            EXPECT_TRUE(lanes.size() == plain.size() && sameBits(lanes.data(), plain.data(), plain.size() * sizeof(double)))
                << cornerCount << " corners, path " << path;
            EXPECT_TRUE(laneBounds.size() == plainBounds.size() &&
                        sameBits(laneBounds.data(), plainBounds.data(), plainBounds.size() * sizeof(float)))
                << cornerCount << " corners, path " << path;
        }
    }
}
TEST(CollideSelf, ListsLeaveEveryPointToTheTreeOnceAPositionIsNotFinite) {
    // A coordinate that is not a number or infinite, on a point at the start,
    // inside a group of sixteen or in the tail of the motion check (4231
    // points: past the size from which the check runs on the pool's workers).
    // The lists cannot stand in for the tree: Within would let them answer.
    const float bad[] = {std::nanf(""), std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
    for (int32_t processors : {1, 2}) {
        PoolWith pool(processors);
        int32_t axis = 0;
        for (const int32_t which : {0, 21, -1})
            for (const float value : bad) {
                ListsAndReference c(46);
                ASSERT_EQ(c.lists.update(c.tree, c.n), drSselfCandidates::Use::Lists);
                const int32_t i = which < 0 ? c.n - 1 : which;
                c.points[static_cast<size_t>(i)][axis] = value;
                EXPECT_EQ(c.lists.update(c.tree, c.n), drSselfCandidates::Use::Tree)
                    << processors << " processors, point " << i << ", axis " << axis << ", value " << value;
                axis = (axis + 1) % 3;
            }
    }
}

TEST(CollideSelf, MixedSubStepGivesTheTreesAnswerWhenOneLayerMovesAgainstTheOther) {
    // The lists are found, then one layer moves by more than they allow
    // while the other stays: the next sub-step keeps the lists for the
    // points that moved with the leaves around them and asks the tree for
    // the others. A dropped layer brings triangles that were beyond the
    // lists' reach within the band of the other layer's points: only the
    // tree knows them. Layers of 48 x 48 points, so that the points are
    // picked on the pool when it has workers; the picks are the same for
    // any worker count, and for 16 lanes (in which the search gathers and
    // tests the points) and 1.
    // A layer that turns moves its leaves apart by far more than a
    // translation allows, but each leaf as a whole: only the points near the
    // other layer's dip are asked of the tree. Then the layer goes on moving
    // a little at a time, sub-step after sub-step.
    struct Motion {
        const char* what;
        drSvec3 upper, lower;
        float turn = 0.0f;  ///< of the lower layer about the vertical through its corner, in radians
    };
    const Motion motions[] = {
        {"the upper layer drops onto the lower one", {0.0f, -1.6f, 0.0f}, {0.0f, 0.0f, 0.0f}},
        {"the lower layer rises to the upper one", {0.0f, 0.0f, 0.0f}, {0.3f, 1.6f, 0.2f}},
        {"the lower layer slides under the dip", {0.0f, 0.0f, 0.0f}, {0.7f, 0.0f, 0.4f}},
        {"the lower layer turns under the dip", {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, 0.15f},
    };
    for (const Motion& motion : motions) {
        int32_t serialPicks = -1;
        for (int32_t width : {16, 1}) {
            for (int32_t processors : {1, 3}) {
                if (drSsetLaneWidth(width) != width) continue;  // not on this processor
                PoolWith pool(processors);
                ListsAndReference c(48);
                int32_t contacts = 0;
                ASSERT_EQ(c.subStep(motion.what, contacts), drSselfCandidates::Use::Lists);
                for (int32_t i = 0; i < c.n; ++i) c.points[i] += i < c.n / 2 ? motion.lower : motion.upper;
                const float cosine = std::cos(motion.turn), sine = std::sin(motion.turn);
                for (int32_t i = 0; motion.turn != 0.0f && i < c.n / 2; ++i) {
                    const float x = c.points[i].x, z = c.points[i].z;
                    c.points[i].x = cosine * x - sine * z;
                    c.points[i].z = sine * x + cosine * z;
                }
                contacts = 0;
                EXPECT_EQ(c.subStep(motion.what, contacts), drSselfCandidates::Use::Mixed) << motion.what;
                EXPECT_GT(c.lists.pickedCount(), 0) << motion.what;
                EXPECT_LT(c.lists.pickedCount(), motion.turn != 0.0f ? c.n / 8 : c.n) << motion.what;
                EXPECT_GT(contacts, 20) << motion.what;
                if (serialPicks < 0) serialPicks = c.lists.pickedCount();
                EXPECT_EQ(c.lists.pickedCount(), serialPicks) << motion.what << ", " << processors << " processors, lanes " << width;
                // The moving layer goes on a little at a time (on the pool's
                // workers): the answers stay the tree's, and where few points
                // were picked the next sub-step stays mixed, keeping the first
                // one's grid of the leaves while they stay within the boxes it
                // binned them by; once the picks have cost about as much as a
                // search, a new search gives lists again
                const bool few = c.lists.pickedCount() < c.n / 8;
                for (int32_t step = 0; processors > 1 && step < 3; ++step) {
                    for (int32_t i = 0; i < c.n; ++i) c.points[i] += (i < c.n / 2 ? motion.lower : motion.upper) * 0.25f;
                    const drSselfCandidates::Use use = c.subStep(motion.what, contacts);
                    EXPECT_TRUE(!few || use == drSselfCandidates::Use::Mixed ||
                                (step > 0 && use == drSselfCandidates::Use::Lists))
                        << motion.what << ", step " << step;
                }
            }
        }
    }
    drSsetLaneWidth(0);
}

TEST(CollideSelf, SameBitsForAnyWorkerCount) {
    // Sub-steps of the collider with a simple integration in between, on the
    // lists (contacts around the dip only) and on the tree (a cloth made of
    // contacts throughout)
    auto run = [](int32_t processors, bool dipped) {
        PoolWith pool(processors);
        std::vector<drSvec3> points;
        std::vector<drStriangle> triangles;
        dippedLayers(points, triangles);
        SelfCloth c(points, triangles, dipped ? 0.5f : 2.5f);
        c.collider.friction = 0.3f;
        std::mt19937 rng(13);
        std::uniform_real_distribution<float> h(-1.0f, 1.0f);
        for (int32_t i = 0; i < c.cloth.pointCount; ++i) c.cloth.velocities[i] = {h(rng), h(rng), h(rng)};
        int32_t changed = 0;
        for (int32_t step = 0; step < 8; ++step) {
            for (int32_t i = 0; i < c.cloth.pointCount; ++i) c.cloth.forces[i] = {0.1f * h(rng), -1.0f + 0.1f * h(rng), 0.1f * h(rng)};
            const std::vector<drSvec3> velocities = c.cloth.velocities;
            c.apply();
            for (int32_t i = 0; i < c.cloth.pointCount; ++i) {
                changed += c.cloth.velocities[i] == velocities[i] ? 0 : 1;
                c.cloth.velocities[i] += c.cloth.forces[i] * 0.01f;
                c.cloth.positions[i] += c.cloth.velocities[i] * 0.02f;
            }
        }
        EXPECT_GT(changed, 10) << processors;
        return c.cloth;
    };
    for (bool dipped : {true, false}) {
        const drScloth serial = run(1, dipped);
        for (int32_t processors : {2, 3, 8}) {
            const drScloth parallel = run(processors, dipped);
            EXPECT_TRUE(sameBits(parallel.positions, serial.positions)) << processors << " " << dipped;
            EXPECT_TRUE(sameBits(parallel.velocities, serial.velocities)) << processors << " " << dipped;
            EXPECT_TRUE(sameBits(parallel.forces, serial.forces)) << processors << " " << dipped;
        }
    }
}
