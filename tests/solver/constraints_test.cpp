// Nail, pin and sew constraints: the hard and elastic nail modes, the pin as
// a nail with bindings, and the sew pairs (force pass, parallel force pass
// and midpoint correction).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "drScloth.h"
#include "drSgravity.h"
#include "drSnail.h"
#include "drSpin.h"
#include "drSsew.h"
#include "drSsolver.h"
#include "pool.h"
#include "poolWith.h"

namespace {

/// A cloth of n unit-mass points at (i, 0, 0), at rest, with zero forces.
drScloth makeCloth(int32_t n) {
    drScloth cloth;
    cloth.pointCount = n;
    cloth.resizePoints();
    for (int32_t i = 0; i < n; ++i) {
        cloth.positions[i] = {static_cast<float>(i), 0.0f, 0.0f};
        cloth.masses[i] = 1.0f;
    }
    return cloth;
}

void expectVec(const drSvec3& actual, const drSvec3& expected) {
    EXPECT_FLOAT_EQ(actual.x, expected.x);
    EXPECT_FLOAT_EQ(actual.y, expected.y);
    EXPECT_FLOAT_EQ(actual.z, expected.z);
}

/// Fills `nail` with one entry per (point, target) and resets it.
void fillNail(drSnail& nail, const std::vector<int32_t>& points, const std::vector<drSvec3>& targets) {
    nail.setCount(static_cast<int32_t>(points.size()));
    for (size_t k = 0; k < points.size(); ++k) {
        nail.pointIndices[k] = points[k];
        nail.targets[k] = targets[k];
        nail.weights[k] = 1.0f;
    }
    nail.reset(0.0f);
}

}  // namespace

TEST(Nail, ReportsItsTypeAndPhase) {
    drSnail nail;
    drSpin pin;
    drSsew sew;
    EXPECT_EQ(nail.typeId(), 5);
    EXPECT_EQ(nail.phase(), 3);
    EXPECT_EQ(pin.typeId(), 6);
    EXPECT_EQ(pin.phase(), 3);
    EXPECT_EQ(sew.typeId(), 22);
    EXPECT_EQ(sew.phase(), 1);
}

// The target travels from currentTargets towards targets, arriving at
// targetTime: 10 units with T - p = 1 and a sub-step of 0.25 is 2.5 units,
// at 10 units per frame.
TEST(Nail, HardModeMovesThePointAlongTheTargetPath) {
    drScloth cloth = makeCloth(3);
    drSnail nail;
    fillNail(nail, {1}, {{1.0f, 0.0f, 0.0f}});
    nail.currentTargets[0] = {1.0f, 0.0f, 0.0f};
    nail.targets[0] = {1.0f, 10.0f, 0.0f};
    drSsolver solver;
    solver.previousTime = 2.0f;
    solver.time = 2.25f;
    solver.targetTime = 3.0f;
    cloth.velocities[1] = {5.0f, 5.0f, 5.0f};

    nail.postStep(cloth, solver);

    expectVec(nail.currentTargets[0], {1.0f, 2.5f, 0.0f});
    expectVec(cloth.positions[1], {1.0f, 2.5f, 0.0f});
    expectVec(cloth.velocities[1], {0.0f, 10.0f, 0.0f});
    expectVec(cloth.positions[0], {0.0f, 0.0f, 0.0f});
    expectVec(cloth.positions[2], {2.0f, 0.0f, 0.0f});
}

TEST(Nail, HardModeErasesTheWholeForceAndKeepsTheState) {
    drScloth cloth = makeCloth(3);
    for (auto& f : cloth.forces) f = {1.0f, 2.0f, 3.0f};
    cloth.velocities[2] = {4.0f, 0.0f, 0.0f};
    drSnail nail;
    fillNail(nail, {2}, {{7.0f, 7.0f, 7.0f}});
    drSsolver solver;
    solver.targetTime = 1.0f;

    nail.apply(cloth, solver);

    expectVec(cloth.forces[2], {0.0f, 0.0f, 0.0f});
    expectVec(cloth.forces[1], {1.0f, 2.0f, 3.0f});
    expectVec(cloth.positions[2], {2.0f, 0.0f, 0.0f});
    expectVec(cloth.velocities[2], {4.0f, 0.0f, 0.0f});
}

// Elastic apply with t = 0, h = 0.5, T = 1.5 (r = 0.5): a target 4 units
// away has velocity u = 2 and moves 1 unit; the force is
// (c - p) w k + (u - v) w d.
TEST(Nail, ElasticModeAddsTheWeightedDampedSpring) {
    struct Case {
        const char* name;
        float weight, stiffness, damping;
        float expectedForceX;
    };
    const Case cases[] = {
        {"spring and damper", 2.0f, 3.0f, 0.5f, 1.0f * 6.0f + 2.0f * 1.0f},
        {"weight zero", 0.0f, 3.0f, 0.5f, 0.0f},
        {"no stiffness, no damping", 1.0f, 0.0f, 0.0f, 0.0f},
        {"damper only", 1.0f, 0.0f, 0.25f, 0.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drScloth cloth = makeCloth(1);
        cloth.forces[0] = {0.0f, -1.0f, 0.0f};
        drSnail nail;
        fillNail(nail, {0}, {{0.0f, 0.0f, 0.0f}});
        nail.targets[0] = {4.0f, 0.0f, 0.0f};
        nail.elastic = 1;
        nail.weights[0] = c.weight;
        nail.stiffness = c.stiffness;
        nail.damping = c.damping;
        drSsolver solver;
        solver.time = 0.0f;
        solver.step = 0.5f;
        solver.targetTime = 1.5f;

        nail.apply(cloth, solver);
        expectVec(nail.currentTargets[0], {1.0f, 0.0f, 0.0f});
        expectVec(cloth.forces[0], {c.expectedForceX, -1.0f, 0.0f});

        // The elastic mode never writes positions or velocities.
        solver.previousTime = 0.0f;
        solver.time = 0.5f;
        nail.postStep(cloth, solver);
        expectVec(cloth.positions[0], {0.0f, 0.0f, 0.0f});
        expectVec(cloth.velocities[0], {0.0f, 0.0f, 0.0f});
        expectVec(nail.currentTargets[0], {1.0f, 0.0f, 0.0f});
    }
}

TEST(Nail, PointListedTwice) {
    drSsolver solver;
    solver.time = 0.0f;
    solver.step = 0.5f;
    solver.targetTime = 1.5f;
    const std::vector<drSvec3> targets = {{0.0f, 5.0f, 0.0f}, {0.0f, 9.0f, 0.0f}};

    // Hard: the later entry's target wins.
    drScloth cloth = makeCloth(1);
    drSnail hard;
    fillNail(hard, {0, 0}, targets);
    solver.previousTime = 0.0f;
    solver.time = 0.5f;
    hard.postStep(cloth, solver);
    expectVec(cloth.positions[0], {0.0f, 9.0f, 0.0f});

    // Elastic: both springs add.
    drScloth cloth2 = makeCloth(1);
    drSnail elastic;
    fillNail(elastic, {0, 0}, targets);
    elastic.elastic = 1;
    elastic.stiffness = 1.0f;
    solver.time = 0.0f;
    elastic.apply(cloth2, solver);
    expectVec(cloth2.forces[0], {0.0f, 14.0f, 0.0f});
}

TEST(Nail, NoEntriesChangeNothing) {
    drSsolver solver;
    solver.previousTime = 0.0f;
    solver.time = 0.5f;
    solver.targetTime = 1.0f;
    for (int32_t elastic : {0, 1}) {
        SCOPED_TRACE(elastic);
        drScloth cloth = makeCloth(2);
        cloth.forces[0] = {1.0f, 1.0f, 1.0f};
        drSnail nail;
        nail.elastic = elastic;
        nail.stiffness = 1.0f;
        nail.apply(cloth, solver);
        nail.postStep(cloth, solver);
        nail.setCount(-3);  // a negative count is no entries
        EXPECT_EQ(nail.count, 0);
        // A count raised without setCount uses only the entries that exist.
        nail.count = 5;
        nail.reset(0.0f);
        nail.apply(cloth, solver);
        nail.postStep(cloth, solver);
        expectVec(cloth.forces[0], {1.0f, 1.0f, 1.0f});
        expectVec(cloth.positions[1], {1.0f, 0.0f, 0.0f});
        expectVec(cloth.velocities[1], {0.0f, 0.0f, 0.0f});
    }
}

TEST(Pin, MovesTheClothLikeTheNailAndKeepsItsBindings) {
    for (int32_t elastic : {0, 1}) {
        SCOPED_TRACE(elastic);
        drScloth nailed = makeCloth(4);
        drScloth pinned = makeCloth(4);
        drSnail nail;
        drSpin pin;
        for (drSnail* c : {&nail, static_cast<drSnail*>(&pin)}) {
            fillNail(*c, {3, 1}, {{1.0f, 2.0f, 3.0f}, {-1.0f, 0.5f, 0.0f}});
            c->targets[0] = {2.0f, 2.0f, 2.0f};  // a moving target
            c->elastic = elastic;
            c->stiffness = 0.3f;
            c->damping = 0.1f;
            c->weights[1] = 0.5f;
        }
        drSsolver solver;
        solver.step = 0.2f;
        solver.targetTime = 1.0f;
        for (int s = 0; s < 5; ++s) {
            for (drScloth* cloth : {&nailed, &pinned}) {
                for (int32_t i = 0; i < 4; ++i) cloth->forces[i] = {0.0f, -1.0f, 0.0f};
            }
            nail.apply(nailed, solver);
            pin.apply(pinned, solver);
            for (drScloth* cloth : {&nailed, &pinned}) {
                for (int32_t i = 0; i < 4; ++i) {
                    cloth->velocities[i] += 0.2f * cloth->forces[i];
                    cloth->positions[i] += 0.2f * cloth->velocities[i];
                }
            }
            solver.previousTime = solver.time;
            solver.time += 0.2f;
            nail.postStep(nailed, solver);
            pin.postStep(pinned, solver);
        }
        for (int32_t i = 0; i < 4; ++i) {
            EXPECT_TRUE(nailed.positions[i] == pinned.positions[i]) << i;
            EXPECT_TRUE(nailed.velocities[i] == pinned.velocities[i]) << i;
        }
    }

    // Shrinking keeps the leading bindings; reset leaves them alone.
    drSpin pin;
    pin.setCount(3);
    for (int32_t k = 0; k < 3; ++k) {
        pin.baryCoords[k] = {0.25f * k, 0.5f, -1.0f};
        pin.boundTriangles[k] = {k, k + 1, k + 2};
    }
    pin.setCount(2);
    pin.reset(0.0f);
    ASSERT_EQ(pin.baryCoords.size(), 2u);
    ASSERT_EQ(pin.boundTriangles.size(), 2u);
    EXPECT_TRUE(pin.baryCoords[1] == (drSvec3{0.25f, 0.5f, -1.0f}));
    EXPECT_EQ(pin.boundTriangles[1], (std::array<int32_t, 3>{1, 2, 3}));
}

// Two points 2 units apart, at rest, stiffness 1: a force of 2 towards each
// other; after the sub-step both stand on the midpoint of their integrated
// positions and keep their own velocities.
TEST(Sew, PullsAPairTogetherAndMergesIt) {
    drScloth cloth = makeCloth(2);
    cloth.positions[1] = {2.0f, 0.0f, 0.0f};
    cloth.velocities[1] = {0.0f, 1.0f, 0.0f};
    drSsew sew;
    sew.count = 1;
    sew.pairs = {{0, 1}};
    sew.stiffness = 1.0f;
    sew.damping = 0.0f;
    drSsolver solver;

    sew.apply(cloth, solver);
    expectVec(cloth.forces[0], {2.0f, 0.0f, 0.0f});
    expectVec(cloth.forces[1], {-2.0f, 0.0f, 0.0f});

    const float dt = 0.25f;
    for (int32_t i = 0; i < 2; ++i) {
        cloth.velocities[i] += dt * cloth.forces[i];
        cloth.positions[i] += dt * cloth.velocities[i];
    }
    const drSvec3 mid = (cloth.positions[0] + cloth.positions[1]) * 0.5f;
    const drSvec3 v0 = cloth.velocities[0], v1 = cloth.velocities[1];
    sew.postStep(cloth, solver);
    EXPECT_TRUE(cloth.positions[0] == mid);
    EXPECT_TRUE(cloth.positions[1] == mid);
    EXPECT_TRUE(cloth.velocities[0] == v0);
    EXPECT_TRUE(cloth.velocities[1] == v1);
}

TEST(Sew, AveragesPairsOneAfterAnother) {
    // Point 1 is averaged with 0 (-> 1), then with 2 (-> 5.5).
    drScloth cloth = makeCloth(3);
    cloth.positions[1] = {2.0f, 0.0f, 0.0f};
    cloth.positions[2] = {10.0f, 0.0f, 0.0f};
    drSsew sew;
    sew.count = 2;
    sew.pairs = {{0, 1}, {1, 2}};
    drSsolver solver;
    sew.postStep(cloth, solver);
    expectVec(cloth.positions[0], {1.0f, 0.0f, 0.0f});
    expectVec(cloth.positions[1], {5.5f, 0.0f, 0.0f});
    expectVec(cloth.positions[2], {5.5f, 0.0f, 0.0f});
}

TEST(Sew, UnusedAndDegeneratePairsAreHarmless) {
    struct Case {
        const char* name;
        int32_t count;
        std::vector<std::array<int32_t, 2>> pairs;
    };
    const Case cases[] = {
        {"count 0 with pairs allocated", 0, {{0, 1}, {1, 2}}},
        {"pair (a, a)", 1, {{1, 1}}},
        {"count beyond the pairs held", 4, {{2, 2}}},
        {"negative count", -1, {{0, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drScloth cloth = makeCloth(3);
        cloth.velocities[1] = {0.0f, 3.0f, 0.0f};
        drSsew sew;
        sew.count = c.count;
        sew.pairs = c.pairs;
        sew.stiffness = 1.0f;
        sew.damping = 1.0f;
        drSsolver solver;
        sew.apply(cloth, solver);
        sew.postStep(cloth, solver);
        for (int32_t i = 0; i < 3; ++i) {
            expectVec(cloth.forces[i], {0.0f, 0.0f, 0.0f});
            expectVec(cloth.positions[i], {static_cast<float>(i), 0.0f, 0.0f});
        }
    }
}

// With workers the force pass gives the bits of the inline pass; pairs share points.
TEST(Sew, ForcePassIsTheSameForEveryWorkerCount) {
    const int32_t n = 600;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> coord(-5.0f, 5.0f);
    std::uniform_int_distribution<int32_t> point(0, n - 1);
    drScloth base = makeCloth(n);
    for (int32_t i = 0; i < n; ++i) {
        base.positions[i] = {coord(rng), coord(rng), coord(rng)};
        base.velocities[i] = {coord(rng), coord(rng), coord(rng)};
    }
    drSsew sew;
    sew.count = 900;
    sew.pairs.resize(1000);  // more entries held than used
    for (auto& p : sew.pairs) p = {point(rng), point(rng)};
    sew.stiffness = 0.7f;
    sew.damping = 0.2f;

    auto run = [&](int32_t processors) {
        drScloth cloth = base;
        drSsolver solver;
        solver.addForce(&sew);
        std::optional<PoolWith> pool;
        if (processors > 0) pool.emplace(processors);
        prepareStep(cloth);
        applyForces(solver, cloth);
        return cloth.forces;
    };
    const std::vector<drSvec3> serial = run(0);
    for (int32_t processors : {1, 2, 4}) {
        SCOPED_TRACE(processors);
        const std::vector<drSvec3> parallel = run(processors);
        EXPECT_TRUE(parallel == serial);
    }
}

// Through the solver: a hard-nailed corner of a falling cloth stays exactly
// on its target with zero velocity, frame after frame.
TEST(Nail, HeldPointStaysOnItsTargetThroughAnAdvance) {
    drScloth cloth = makeCloth(4);
    drSgravity gravity;
    drSnail nail;
    fillNail(nail, {2}, {{2.0f, 0.0f, 0.0f}});
    drSsolver solver;
    solver.addForce(&nail);
    solver.addForce(&gravity);
    for (int frame = 1; frame <= 3; ++frame) {
        solver.advanceTo(cloth, static_cast<float>(frame));
        EXPECT_TRUE(cloth.positions[2] == (drSvec3{2.0f, 0.0f, 0.0f}));
        EXPECT_TRUE(cloth.velocities[2] == (drSvec3{}));
        EXPECT_LT(cloth.positions[0].y, -1.0f);
    }
}
