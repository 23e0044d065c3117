#include <gtest/gtest.h>

#include "poolWith.h"

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "drScloth.h"
#include "drScollideMesh.h"
#include "drSsolver.h"
#include "drStriangleNode.h"
#include "grid.h"
#include "pool.h"

namespace {

/// A collision surface filled the way the host fills it: targets, triangles,
/// own positions, reset at `time`, offsets (0, -(depth + offset)).
struct Surface {
    std::vector<drSvec3> targets;
    drStriangleNode tree;
    drScollideMesh collider;

    Surface(std::vector<drSvec3> points, const std::vector<drStriangle>& triangles, float reach, float time = 0.0f)
        : targets(std::move(points)) {
        tree.pointCount = static_cast<int32_t>(targets.size());
        tree.setPositions(targets.data());
        for (const drStriangle& t : triangles) tree.addTriangle(t[0], t[1], t[2]);
        tree.setOwnsPositions(1);
        collider.tree = &tree;
        collider.reset(time);
        tree.setOffsets(0.0f, -reach);
    }
    /// Moves every target by `d`; the own positions follow in later sub-steps.
    void moveTargets(const drSvec3& d) {
        for (drSvec3& p : targets) p += d;
    }
};

/// A 10 x 10 square in y = 0 centred on the origin, front side +y.
Surface square(float reach, float time = 0.0f) {
    return Surface({{-5, 0, -5}, {-5, 0, 5}, {5, 0, -5}, {5, 0, 5}}, {{0, 1, 2}, {1, 3, 2}}, reach, time);
}

drScloth clothOf(const std::vector<drSvec3>& positions) {
    drScloth cloth;
    cloth.pointCount = static_cast<int32_t>(positions.size());
    cloth.resizePoints();
    cloth.positions = positions;
    for (float& m : cloth.masses) m = 1.0f;
    return cloth;
}

drSsolver clock(float time, float targetTime) {
    drSsolver solver;
    solver.time = time;
    solver.targetTime = targetTime;
    return solver;
}

bool finite(const drSvec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }


}  // namespace

TEST(CollideMesh, CatchesPointsBehindTheSurfaceDownToTheReachAndPushesThemOut) {
    // Offset 4 and depth 2: reach 6. depth = d - 0.05 * (-6) = d + 0.3.
    Surface s = square(6.0f);
    struct Case {
        float y, after;
    } cases[] = {
        {0.1f, 0.1f},    // in front: not caught
        {0.0f, 0.0f},    // on the surface: caught, depth +0.3, not moved
        {-0.2f, -0.2f},  // depth +0.1: not moved
        {-0.5f, -0.3f},  // depth -0.2: moved 0.2 out, still 0.3 behind
        {-6.0f, -0.3f},  // at the reach
        {-7.0f, -7.0f},  // beyond the reach
    };
    std::vector<drSvec3> points;
    for (const Case& c : cases) points.push_back({1.0f, c.y, 1.0f});
    drScloth cloth = clothOf(points);
    drSsolver solver = clock(0.0f, 1.0f);
    s.collider.apply(cloth, solver);
    for (size_t k = 0; k < std::size(cases); ++k) EXPECT_NEAR(cloth.positions[k].y, cases[k].after, 1e-6f) << cases[k].y;
}

TEST(CollideMesh, StaticSurfaceRemovesInwardVelocityAddsStickAndAppliesFriction) {
    // Point 0.1 behind, moving into the surface and sideways, pressed into it.
    // Relative velocity r = -v = (-0.5, 1, 0), rn = 1: t = (-0.5, 0, 0);
    // force += 0.1 t -> (1.95, -3, 0); v -> (0.5, 0, 0); stick 0.5 -> fy = -3.5;
    // the normal force goes: (1.95, 0, 0). Friction limit = 3.5 * friction.
    struct Case {
        float friction;
        drSvec3 force, velocity;
    } cases[] = {
        {0.0f, {1.95f, 0, 0}, {0.5f, 0, 0}},
        {0.5f, {1.95f * (1.0f - 1.75f / 1.95f), 0, 0}, {0.5f, 0, 0}},  // sliding, force reduced
        {1.0f, {0, 0, 0}, {0, 0, 0}},  // sticks: takes the surface's tangential velocity (zero)
    };
    for (const Case& c : cases) {
        Surface s = square(1.0f);
        s.collider.damping = 0.1f;
        s.collider.stick = 0.5f;
        s.collider.friction = c.friction;
        drScloth cloth = clothOf({{1, -0.1f, 1}});
        cloth.velocities[0] = {0.5f, -1.0f, 0.0f};
        cloth.forces[0] = {2.0f, -3.0f, 0.0f};
        drSsolver solver = clock(0.0f, 1.0f);
        s.collider.apply(cloth, solver);
        EXPECT_FLOAT_EQ(cloth.positions[0].y, -0.05f);  // depth -0.1 + 0.05
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(cloth.forces[0][k], c.force[k], 1e-5f) << c.friction;
            EXPECT_FLOAT_EQ(cloth.velocities[0][k], c.velocity[k]) << c.friction;
        }
    }
}

TEST(CollideMesh, MovingSurfaceSweepsTowardItsTargetsAndCarriesThePoint) {
    Surface s = square(1.0f);
    s.collider.friction = 1.0f;
    s.moveTargets({1.0f, 1.0f, 0.0f});  // up and sideways by 1 within the frame [0, 1]

    // Sub-step at time 0: the surface has not moved; its velocity is (1, 1, 0).
    drScloth cloth = clothOf({{1, 0, 1}});
    cloth.forces[0] = {0.0f, -1.0f, 0.0f};
    drSsolver solver = clock(0.0f, 1.0f);
    s.collider.apply(cloth, solver);
    EXPECT_EQ(s.tree.positions[0], (drSvec3{-5, 0, -5}));
    // Normal velocity taken over; static friction adds the tangential one.
    EXPECT_EQ(cloth.velocities[0], (drSvec3{1, 1, 0}));
    EXPECT_EQ(cloth.forces[0], (drSvec3{0, 0, 0}));

    // Sub-step at time 0.5: halfway along the path, surface velocity unchanged.
    cloth.positions[0] = {1.5f, 0.49f, 1.0f};
    cloth.velocities[0] = {0, 0, 0};
    cloth.forces[0] = {0.0f, -1.0f, 0.0f};
    solver.time = 0.5f;
    s.collider.apply(cloth, solver);
    EXPECT_EQ(s.collider.lastUpdate, 0.5f);
    EXPECT_EQ(s.tree.positions[0], (drSvec3{-4.5f, 0.5f, -5}));
    EXPECT_EQ(cloth.velocities[0], (drSvec3{1, 1, 0}));

    // Without friction the tangential motion of the surface is not passed on.
    s.collider.friction = 0.0f;
    cloth.velocities[0] = {0, 0, 0};
    cloth.forces[0] = {0.0f, -1.0f, 0.0f};
    solver.time = 0.75f;
    s.collider.apply(cloth, solver);
    EXPECT_EQ(cloth.velocities[0], (drSvec3{0, 1, 0}));
}

TEST(CollideMesh, NoRemainingTimeGivesASurfaceAtItsTargetsAndAtRest) {
    struct Case {
        const char* name;
        float reset, time, targetTime;
        float surfaceY;  // where the surface ends
    } cases[] = {
        {"time == lastUpdate == targetTime", 1.0f, 1.0f, 1.0f, 1.0f},
        {"time past the target", 0.0f, 2.0f, 1.0f, 1.0f},
        {"time before lastUpdate", 1.0f, 0.5f, 0.5f, 0.0f},  // the surface waits
    };
    for (const Case& c : cases) {
        Surface s = square(1.0f, c.reset);
        s.collider.friction = 1.0f;
        s.moveTargets({0.0f, 1.0f, 0.0f});
        drScloth cloth = clothOf({{1, c.surfaceY - 0.01f, 1}});
        cloth.forces[0] = {0.3f, -1.0f, 0.0f};
        drSsolver solver = clock(c.time, c.targetTime);
        s.collider.apply(cloth, solver);
        EXPECT_EQ(s.tree.positions[0].y, c.surfaceY) << c.name;
        EXPECT_TRUE(finite(cloth.positions[0]) && finite(cloth.velocities[0]) && finite(cloth.forces[0])) << c.name;
        EXPECT_EQ(cloth.velocities[0], (drSvec3{0, 0, 0})) << c.name;
    }
}

TEST(CollideMesh, BadInputLeavesTheClothAlone) {
    const std::vector<drSvec3> points = {{0, -0.1f, 0}, {1e6f, 0, 0}, {NAN, 0, 0}};
    auto untouched = [&](drScollideMesh& collider, const char* name) {
        drScloth cloth = clothOf(points);
        cloth.forces[0] = {0, -1, 0};
        drSsolver solver = clock(0.0f, 1.0f);
        collider.apply(cloth, solver);
        EXPECT_EQ(cloth.positions[0], points[0]) << name;
        EXPECT_EQ(cloth.forces[0], (drSvec3{0, -1, 0})) << name;
        drScloth none;
        collider.apply(none, solver);
    };
    drScollideMesh noTree;
    untouched(noTree, "no tree");
    Surface noTriangles({{-5, 0, -5}, {-5, 0, 5}, {5, 0, -5}}, {}, 1.0f);
    untouched(noTriangles.collider, "no triangles");
    Surface degenerate({{-5, 0, -5}, {-5, 0, 5}, {-5, 0, -5}}, {{0, 1, 2}}, 1.0f);
    untouched(degenerate.collider, "degenerate");
    Surface zeroReach = square(0.0f);
    untouched(zeroReach.collider, "zero reach");
}

TEST(CollideMesh, SameBitsForAnyWorkerCount) {
    auto run = [](int32_t processors) {
        PoolWith pool(processors);
        // A bumpy 30 x 30 surface that rises and shifts within the frame
        const GridMesh g = makeGrid(30, 30, 1.0);
        std::vector<drSvec3> points;
        for (int32_t i = 0; i < g.pointCount(); ++i) {
            const float x = static_cast<float>(g.points[3 * i]), z = static_cast<float>(g.points[3 * i + 2]);
            points.push_back({x, 0.5f * std::sin(0.4f * x) * std::cos(0.3f * z), z});
        }
        std::vector<drStriangle> triangles;
        for (const drSpolygon& p : g.polygons) {
            triangles.push_back({p.a, p.b, p.c});
            triangles.push_back({p.a, p.c, p.d});
        }
        Surface s(points, triangles, 2.0f);
        s.collider.friction = 0.4f;
        s.collider.stick = 0.01f;
        s.moveTargets({0.2f, 0.5f, 0.0f});
        // A seeded cloth of 2000 points around it
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> u(0.0f, 29.0f), h(-1.0f, 1.0f);
        std::vector<drSvec3> clothPoints;
        for (int32_t i = 0; i < 2000; ++i) clothPoints.push_back({u(rng), h(rng), u(rng)});
        drScloth cloth = clothOf(clothPoints);
        for (int32_t i = 0; i < cloth.pointCount; ++i) {
            cloth.velocities[i] = {h(rng), h(rng), h(rng)};
            cloth.forces[i] = {h(rng), h(rng) - 1.0f, h(rng)};
        }
        // Three sub-steps of the frame: the surface sweeps and refits each time
        for (float time : {0.25f, 0.5f, 0.75f}) {
            drSsolver solver = clock(time, 1.0f);
            s.collider.apply(cloth, solver);
        }
        return cloth;
    };
    auto sameBits = [](const std::vector<drSvec3>& a, const std::vector<drSvec3>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(drSvec3)) == 0;
    };
    const drScloth serial = run(1);
    int32_t moved = 0;
    for (int32_t i = 0; i < serial.pointCount; ++i) moved += serial.forces[i].y == 0.0f ? 1 : 0;
    EXPECT_GT(moved, 100);
    for (int32_t processors : {2, 3, 8}) {
        const drScloth parallel = run(processors);
        EXPECT_TRUE(sameBits(parallel.positions, serial.positions)) << processors;
        EXPECT_TRUE(sameBits(parallel.velocities, serial.velocities)) << processors;
        EXPECT_TRUE(sameBits(parallel.forces, serial.forces)) << processors;
    }
}
