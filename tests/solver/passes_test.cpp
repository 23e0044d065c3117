#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "cloth_fixture.h"

namespace {

/// The step rule written out independently: the new stored step and the
/// returned sub-step length for a largest squared acceleration `a2`.
struct StepModel {
    float step, dt;
};
StepModel modelStep(float a2, float step, float tolerance, float maxStep, float time, float target) {
    const float d = std::sqrt(a2) * (step * step);
    if (d > tolerance) {
        step = step * std::sqrt(tolerance / d);
        if (step < 0.0001f) step = 0.0001f;
    } else if (d < tolerance * 0.5f) {
        const float low = tolerance / 1000.0f;
        step = step * std::sqrt((tolerance * 0.5f) / (d > low ? d : low));
        if (step > 0.33333334f) step = 0.33333334f;
    }
    if (maxStep < step) step = maxStep;
    return {step, time + step > target ? target - time : step};
}

/// A one-point cloth carrying force f on mass m.
drScloth onePoint(drSvec3 f, float m) {
    drScloth cloth;
    cloth.pointCount = 1;
    cloth.resizePoints();
    cloth.forces[0] = f;
    cloth.masses[0] = m;
    return cloth;
}

}  // namespace

TEST(ChooseStep, FollowsTheAdaptiveRule) {
    struct Case {
        const char* what;
        drSvec3 force;
        float mass, step, maxStep, time, target;
        float expectedStep;  // < 0: only compare with the model
    } cases[] = {
        {"no force: grows to the ceiling", {}, 1.0f, 0.1f, 1.0f, 0.0f, 10.0f, 0.33333334f},
        {"no force: limited by maxStep", {}, 1.0f, 0.1f, 0.25f, 0.0f, 10.0f, 0.25f},
        {"large force: shrinks to the tolerance", {0.0f, -4.0f, 0.0f}, 2.0f, 0.1f, 1.0f, 0.0f, 10.0f, -1.0f},
        {"huge force: floor", {1e9f, 0.0f, 0.0f}, 1.0f, 0.1f, 1.0f, 0.0f, 10.0f, 0.0001f},
        {"zero mass: infinite acceleration hits the floor", {0.0f, 1.0f, 0.0f}, 0.0f, 0.1f, 1.0f, 0.0f, 10.0f, 0.0001f},
        {"inside the band: unchanged", {0.0f, 0.075f, 0.0f}, 1.0f, 0.1f, 1.0f, 0.0f, 10.0f, 0.1f},
        {"small force: grows, below the ceiling", {0.0f, 0.01f, 0.0f}, 1.0f, 0.1f, 1.0f, 0.0f, 10.0f, -1.0f},
        {"last sub-step ends on the target", {}, 1.0f, 0.1f, 1.0f, 4.9f, 5.0f, 0.33333334f},
        {"force and mass not a number: unchanged", {NAN, 0.0f, 0.0f}, NAN, 0.2f, 1.0f, 0.0f, 10.0f, 0.2f},
    };
    for (const Case& c : cases) {
        drScloth cloth = onePoint(c.force, c.mass);
        drSsolver solver;
        solver.step = c.step;
        solver.maxStep = c.maxStep;
        solver.time = c.time;
        solver.targetTime = c.target;
        const float m2 = c.mass * c.mass;
        const float a2 = lengthSquared(c.force) / m2;
        const StepModel model = modelStep(std::isnan(a2) ? -1.0f : a2, c.step, solver.tolerance, c.maxStep, c.time, c.target);
        const float dt = chooseStep(solver, cloth);
        EXPECT_EQ(solver.step, model.step) << c.what;
        EXPECT_EQ(dt, model.dt) << c.what;
        if (c.expectedStep >= 0.0f) {
            EXPECT_EQ(solver.step, c.expectedStep) << c.what;
        }
    }
}

TEST(ChooseStep, ShrinkMakesTheEstimateEqualTheTolerance) {
    drScloth cloth = onePoint({3.0f, 0.0f, 4.0f}, 0.5f);  // acceleration 10
    drSsolver solver;
    chooseStep(solver, cloth);
    EXPECT_NEAR(10.0f * solver.step * solver.step, solver.tolerance, solver.tolerance * 1e-5f);
}

TEST(ChooseStep, EmptyClothIsOnlyLimitedByMaxStep) {
    drScloth cloth;
    drSsolver solver;
    solver.step = 0.7f;
    solver.maxStep = 0.5f;
    solver.targetTime = 3.0f;
    EXPECT_EQ(chooseStep(solver, cloth), 0.5f);
    EXPECT_EQ(solver.step, 0.5f);
}

TEST(Integrate, IsSemiImplicitEuler) {
    drScloth cloth = onePoint({2.0f, -4.0f, 1.0f}, 2.0f);
    cloth.positions[0] = {1.0f, 1.0f, 1.0f};
    cloth.velocities[0] = {0.5f, 0.0f, -1.0f};
    drSsolver solver;
    solver.time = 3.0f;
    integrate(solver, cloth, 0.5f);
    // v += dt/m * f = (0.5 + 0.5, 0 - 1, -1 + 0.25); p += dt * v (the new v)
    EXPECT_EQ(cloth.velocities[0], (drSvec3{1.0f, -1.0f, -0.75f}));
    EXPECT_EQ(cloth.positions[0], (drSvec3{1.5f, 0.5f, 0.625f}));
    EXPECT_EQ(solver.previousTime, 3.0f);
    EXPECT_EQ(solver.time, 3.5f);
}

TEST(ComputeNormals, SumsTheAreaVectorsAroundEachPoint) {
    // A 3 x 3 grid of spacing 2: every cell gives two triangles of area 2 along +Y.
    drScloth cloth = makeCloth(makeGrid(3, 3, 2.0));
    cloth.normals[4] = {9.0f, 9.0f, 9.0f};  // stale values are cleared
    computeNormals(cloth);
    // Corner 0 touches both triangles of its cell, corner 2 only one; the
    // centre touches six.
    EXPECT_EQ(cloth.normals[0], (drSvec3{0.0f, 4.0f, 0.0f}));
    EXPECT_EQ(cloth.normals[2], (drSvec3{0.0f, 2.0f, 0.0f}));
    EXPECT_EQ(cloth.normals[4], (drSvec3{0.0f, 12.0f, 0.0f}));
    float total = 0.0f;
    for (const drSvec3& n : cloth.normals) total += n.y;
    EXPECT_EQ(total, 3.0f * 16.0f);  // three corners per triangle, total area 16
}

TEST(ComputeNormals, FollowsTrianglesChangedInPlace) {
    // The same number of triangles, rewired: the normals follow the new corners.
    drScloth cloth = makeCloth(makeGrid(3, 3, 2.0));
    computeNormals(cloth);
    EXPECT_EQ(cloth.normals[0], (drSvec3{0.0f, 4.0f, 0.0f}));
    for (size_t t = 1; t < cloth.triangles.size(); ++t) cloth.triangles[t] = {4, 4, 4};
    computeNormals(cloth);
    EXPECT_EQ(cloth.normals[0], (drSvec3{0.0f, 2.0f, 0.0f}));
    EXPECT_EQ(cloth.normals[2], (drSvec3{}));
}

TEST(ComputeNormals, SkipsTrianglesWithCornersOutsideTheCloth) {
    drScloth cloth = makeCloth(makeGrid(2, 2));
    cloth.triangles.push_back({0, 1, 7});
    cloth.triangles.push_back({-1, 1, 2});
    cloth.triangleCount += 2;
    computeNormals(cloth);
    EXPECT_EQ(cloth.normals[0], (drSvec3{0.0f, 1.0f, 0.0f}));
}

namespace {

/// A phase-2 force that records the force sum it sees.
class SumRecorder : public drSforce {
public:
    int32_t phase() const override { return 2; }
    void apply(drScloth& cloth, drSsolver&) override { seen = cloth.forces; }
    std::vector<drSvec3> seen;
};

constexpr int32_t nx = 80;

/// 6400 points and 12482 triangles: every pass runs on the pool.
drScloth bumpyCloth() {
    drScloth cloth = makeCloth(makeGrid(nx, 80, 1.0), 0.5f);
    for (int32_t i = 0; i < cloth.pointCount; ++i) {
        drSvec3& p = cloth.positions[static_cast<size_t>(i)];
        p.y = 0.3f * std::sin(0.37f * p.x) * std::cos(0.23f * p.z);
        cloth.masses[static_cast<size_t>(i)] = 0.5f + 0.001f * static_cast<float>(i % 97);
    }
    return cloth;
}

/// Outputs of every pass of one sub-step on a large, bumpy cloth.
struct PassResults {
    std::vector<drSvec3> normals, forcesSeen, positions, velocities;
    float dt = 0.0f, step = 0.0f;
};

PassResults runPasses(int32_t processors) {
    PoolWith pool(processors);
    drScloth cloth = bumpyCloth();
    PairForce pairs(nx);
    SumRecorder recorder;
    drSsolver solver;
    solver.addForce(&recorder);
    solver.addForce(&pairs);
    solver.targetTime = 5.0f;

    PassResults r;
    for (int round = 0; round < 2; ++round) {  // the second round reuses every buffer
        computeNormals(cloth);
        prepareStep(cloth);
        applyForces(solver, cloth);
        r.dt = chooseStep(solver, cloth);
        integrate(solver, cloth, r.dt);
    }
    r.normals = cloth.normals;
    r.forcesSeen = recorder.seen;
    r.positions = cloth.positions;
    r.velocities = cloth.velocities;
    r.step = solver.step;
    return r;
}


}  // namespace

TEST(ParallelPasses, MatchTheSerialPassesBitForBit) {
    const PassResults serial = runPasses(1);
    for (int32_t processors : {2, 3, 4}) {
        SCOPED_TRACE(processors);
        const PassResults parallel = runPasses(processors);
        EXPECT_EQ(parallel.normals, serial.normals);
        EXPECT_EQ(parallel.forcesSeen, serial.forcesSeen);
        EXPECT_EQ(parallel.positions, serial.positions);
        EXPECT_EQ(parallel.velocities, serial.velocities);
        EXPECT_EQ(parallel.step, serial.step);
    }
}

TEST(ParallelPasses, ChooseStepTakesTheLargestOfTheJobMaxima) {
    // The largest acceleration sits in the last job's range, then in the first.
    for (int32_t at : {0, 5999}) {
        for (int32_t processors : {1, 2, 4}) {
            PoolWith pool(processors);
            drScloth cloth;
            cloth.pointCount = 6000;
            cloth.resizePoints();
            for (float& m : cloth.masses) m = 1.0f;
            cloth.forces[static_cast<size_t>(at)] = {0.0f, 40.0f, 0.0f};
            cloth.forces[3000] = {0.0f, 30.0f, 0.0f};
            drSsolver solver;
            solver.targetTime = 10.0f;
            chooseStep(solver, cloth);
            EXPECT_EQ(solver.step, modelStep(1600.0f, 0.1f, 0.001f, 1.0f, 0.0f, 10.0f).step) << processors << " at " << at;
        }
    }
}

namespace {

/// State after advancing the bumpy cloth to frame 3 with the given processor count.
drScloth advanceBumpy(int32_t processors) {
    PoolWith pool(processors);
    drScloth cloth = bumpyCloth();
    PairForce pairs(nx);
    ConstantForce pull({0.0f, -0.02f, 0.0f});
    drSsolver solver;
    solver.addForce(&pairs);
    solver.addForce(&pull);
    solver.maxStep = 0.5f;
    solver.advanceTo(cloth, 3.0f);
    return cloth;
}

}  // namespace

TEST(ParallelPasses, AdvanceGivesTheSameBitsForEveryWorkerCount) {
    const drScloth serial = advanceBumpy(1);
    for (int32_t processors : {2, 3, 4}) {
        SCOPED_TRACE(processors);
        const drScloth split = advanceBumpy(processors);
        EXPECT_EQ(split.positions, serial.positions);
        EXPECT_EQ(split.velocities, serial.velocities);
    }
}
