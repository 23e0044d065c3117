#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "abort.h"
#include "cache.h"
#include "cloth_fixture.h"

namespace {

/// Records what the solver does with it, into a shared log.
class Probe : public drSforce {
public:
    Probe(char name, int32_t phase, std::string* log, int32_t type = 0) : name_(name), phase_(phase), type_(type), log_(log) {}
    int32_t typeId() const override { return type_; }
    int32_t phase() const override { return phase_; }
    void reset(float time) override {
        resets.push_back(time);
        if (log_) *log_ += std::string("r") + name_;
    }
    void apply(drScloth&, drSsolver&) override {
        if (log_) *log_ += std::string("a") + name_;
    }
    void postStep(drScloth&, drSsolver& solver) override {
        steps.push_back({solver.previousTime, solver.time});
        if (log_) *log_ += std::string("p") + name_;
        if (raiseAfter > 0 && static_cast<int>(steps.size()) == raiseAfter) drRaiseAbort();
    }
    char name() const { return name_; }

    std::vector<float> resets;
    struct Interval {
        float from, to;
    };
    std::vector<Interval> steps;  ///< clock around every sub-step
    int raiseAfter = 0;           ///< raise the abort flag after this many sub-steps

private:
    char name_;
    int32_t phase_, type_;
    std::string* log_;
};

std::string order(const drSsolver& solver) {
    std::string names;
    for (const drSforce* f : solver.forces) names += static_cast<const Probe*>(f)->name();
    return names;
}

/// Clears the abort flag however a test ends.
struct AbortGuard {
    ~AbortGuard() { drClearAbort(); }
};

}  // namespace

TEST(ForceList, SortsByPhaseAndKeepsInsertionOrderWithinAPhase) {
    Probe a('A', 1, nullptr), b('B', 3, nullptr), c('C', 2, nullptr), d('D', 1, nullptr), e('E', 0, nullptr);
    drSsolver solver;
    for (Probe* p : {&a, &b, &c, &d}) solver.addForce(p);
    EXPECT_EQ(order(solver), "ADCB");
    solver.addForce(&e);
    solver.addForce(nullptr);  // ignored
    EXPECT_EQ(order(solver), "EADCB");
    EXPECT_EQ(solver.forceCount(), 5);
    solver.clearForces();
    EXPECT_EQ(solver.forceCount(), 0);
}

TEST(ForceList, NeedNormalsFollowsTheTypeIds) {
    for (int32_t type : {0, 1, 2, 3, 4, 5, 11, 16, 19, 20, 21, 22}) {
        Probe spring('S', 1, nullptr, 4), p('P', 1, nullptr, type);
        drSsolver solver;
        solver.addForce(&spring);
        solver.addForce(&p);
        const bool expected = type == 2 || type == 3 || type == 16 || type == 20 || type == 21;
        EXPECT_EQ(solver.needNormals, expected ? 1 : 0) << type;
        solver.addForce(&spring);  // a later force without normals does not clear it
        EXPECT_EQ(solver.needNormals, expected ? 1 : 0) << type;
        solver.clearForces();
        EXPECT_EQ(solver.needNormals, 0);
    }
}

TEST(ForceList, ResetForcesPassesTheTimeToEveryForce) {
    Probe a('A', 1, nullptr), b('B', 2, nullptr);
    b.enabled = 0;
    drSsolver solver;
    solver.addForce(&a);
    solver.addForce(&b);
    solver.time = 7.5f;
    solver.resetForces();
    EXPECT_EQ(a.resets, std::vector<float>{7.5f});
    EXPECT_EQ(b.resets, std::vector<float>{7.5f});
}

TEST(ClothState, SetCachePathKeepsSameTextAndSwitchesOffOnEmpty) {
    drScloth cloth;
    cloth.setCachePath("/tmp/c/cl");
    const char* stored = cloth.cachePath.c_str();
    cloth.setCachePath(std::string("/tmp/c/cl").c_str());
    EXPECT_EQ(cloth.cachePath.c_str(), stored);
    EXPECT_TRUE(cloth.hasCachePath());
    cloth.setCachePath("");
    EXPECT_FALSE(cloth.hasCachePath());
    cloth.setCachePath("/tmp/c/cl");
    cloth.setCachePath(nullptr);
    EXPECT_FALSE(cloth.hasCachePath());
}

TEST(AdvanceTo, RunsTheSubStepPassesInOrder) {
    std::string log;
    Probe one('1', 1, &log), collider('2', 2, &log), off('X', 1, &log), nail('3', 3, &log);
    off.enabled = 0;
    drScloth cloth = makeCloth(makeGrid(2, 2));
    drSsolver solver;
    for (Probe* p : {&nail, &collider, &off, &one}) solver.addForce(p);
    solver.maxStep = 0.5f;
    solver.advanceTo(cloth, 1.0f);
    // Three sub-steps (the step grows to 1/3): every enabled force acts, then
    // every enabled force corrects.
    EXPECT_EQ(log, "a1a2a3p1p2p3a1a2a3p1p2p3a1a2a3p1p2p3");
    EXPECT_EQ(solver.time, 1.0f);
    EXPECT_EQ(solver.targetTime, 1.0f);
}

TEST(AdvanceTo, FollowsTheAdaptiveStepAndEndsOnTheTarget) {
    // A constant force f on masses m: the step rule can be followed by hand.
    struct Case {
        const char* what;
        float force, mass, maxStep, target;
    } cases[] = {
        {"no force", 0.0f, 1.0f, 1.0f, 1.0f},
        {"no force, short maxStep", 0.0f, 1.0f, 0.25f, 2.0f},
        {"gravity-like pull", -0.5f, 1.0f, 0.5f, 3.0f},
        {"heavy pull", -40.0f, 2.0f, 0.5f, 1.0f},
    };
    for (const Case& c : cases) {
        drScloth cloth = makeCloth(makeGrid(3, 3), c.mass);
        ConstantForce pull({0.0f, c.force, 0.0f});
        Probe probe('P', 1, nullptr);
        drSsolver solver;
        solver.addForce(&pull);
        solver.addForce(&probe);
        solver.maxStep = c.maxStep;
        solver.advanceTo(cloth, c.target);

        // Model: the step only depends on the constant acceleration.
        const float a2 = (c.force * c.force) / (c.mass * c.mass);
        float step = 0.1f, time = 0.0f;
        std::vector<float> dts;
        while (c.target - 0.0002f > time) {
            const float d = std::sqrt(a2) * (step * step);
            if (d > 0.001f) step = std::max(0.0001f, step * std::sqrt(0.001f / d));
            else if (d < 0.0005f) step = std::min(0.33333334f, step * std::sqrt(0.0005f / std::max(0.000001f, d)));
            step = std::min(c.maxStep, step);
            const float dt = time + step > c.target ? c.target - time : step;
            dts.push_back(dt);
            time = time + dt;
        }
        ASSERT_EQ(probe.steps.size(), dts.size()) << c.what;
        float clock = 0.0f;
        for (size_t i = 0; i < dts.size(); ++i) {
            EXPECT_EQ(probe.steps[i].from, clock) << c.what << " sub-step " << i;
            EXPECT_EQ(probe.steps[i].to, clock + dts[i]) << c.what << " sub-step " << i;
            clock = clock + dts[i];
        }
        EXPECT_EQ(solver.time, c.target) << c.what;
        EXPECT_EQ(solver.step, step) << c.what;  // the unshortened step is kept
    }
}

TEST(AdvanceTo, FirstSubStepGrowsFromTheInitialStepToTheCeiling) {
    drScloth cloth = makeCloth(makeGrid(2, 2));
    Probe probe('P', 1, nullptr);
    drSsolver solver;
    solver.addForce(&probe);
    solver.advanceTo(cloth, 0.5f);
    ASSERT_EQ(probe.steps.size(), 2u);
    EXPECT_EQ(probe.steps[0].to, 0.33333334f);
    EXPECT_EQ(solver.step, 0.33333334f);
    EXPECT_EQ(solver.time, 0.5f);
}

TEST(AdvanceTo, FreeFallMatchesTheSemiImplicitEulerSum) {
    // With a constant acceleration g and n equal steps h, semi-implicit Euler
    // gives v = n g h and y = g h^2 n (n + 1) / 2.
    drScloth cloth = makeCloth(makeGrid(2, 2), 2.0f);
    ConstantForce gravity({0.0f, -2.0f * 0.002f, 0.0f});  // g = -0.002, d stays inside the band
    drSsolver solver;
    solver.addForce(&gravity);
    solver.step = 0.5f;
    solver.maxStep = 0.5f;
    solver.advanceTo(cloth, 10.0f);
    const double g = -0.002, h = 0.5, n = 20;
    EXPECT_NEAR(cloth.velocities[0].y, n * g * h, 1e-6);
    EXPECT_NEAR(cloth.positions[3].y, g * h * h * n * (n + 1) / 2, 1e-5);
}

TEST(AdvanceTo, AtOrPastTheTargetOnlyWritesTheCache) {
    TempFolder folder;
    drScloth cloth = makeCloth(makeGrid(2, 2));
    cloth.setCachePath(folder.base().c_str());
    Probe probe('P', 1, nullptr);
    drSsolver solver;
    solver.addForce(&probe);
    solver.time = 4.0f - 0.0001f;
    solver.advanceTo(cloth, 4.0f);
    EXPECT_TRUE(probe.steps.empty());
    EXPECT_EQ(solver.time, 4.0f - 0.0001f);
    EXPECT_EQ(fileBytes(folder.base() + "0004").size(), 24u * 4u);

    solver.time = 6.0f;  // an earlier frame never moves the state back
    solver.advanceTo(cloth, 2.0f);
    EXPECT_TRUE(probe.steps.empty());
    EXPECT_EQ(solver.time, 6.0f);
    EXPECT_EQ(solver.targetTime, 2.0f);
    EXPECT_TRUE(std::filesystem::exists(folder.base() + "0002"));
}

TEST(AdvanceTo, CacheHitJumpsWithoutSteppingAndResetsEveryForce) {
    TempFolder folder;
    drScloth stored = makeCloth(makeGrid(2, 2));
    stored.positions[1] = {5.0f, 6.0f, 7.0f};
    stored.velocities[2] = {1.0f, 2.0f, 3.0f};
    stored.setCachePath(folder.base().c_str());
    writeCache(stored, 3.0f);

    drScloth cloth = makeCloth(makeGrid(2, 2));
    cloth.setCachePath(folder.base().c_str());
    Probe on('A', 1, nullptr), off('B', 3, nullptr);
    off.enabled = 0;
    drSsolver solver;
    solver.addForce(&on);
    solver.addForce(&off);
    solver.step = 0.123f;
    solver.advanceTo(cloth, 3.0f);
    EXPECT_EQ(solver.time, 3.0f);
    EXPECT_EQ(solver.step, 0.123f);
    EXPECT_TRUE(on.steps.empty());
    EXPECT_EQ(on.resets, std::vector<float>{3.0f});
    EXPECT_EQ(off.resets, std::vector<float>{3.0f});
    EXPECT_EQ(cloth.positions, stored.positions);
    EXPECT_EQ(cloth.velocities, stored.velocities);
}

TEST(AdvanceTo, SimulatedFramesReplayFromTheCache) {
    TempFolder folder;
    drScloth cloth = makeCloth(makeGrid(3, 3));
    cloth.setCachePath(folder.base().c_str());
    ConstantForce pull({0.0f, -0.01f, 0.0f});
    drSsolver solver;
    solver.addForce(&pull);
    solver.advanceTo(cloth, 2.0f);
    const std::vector<drSvec3> atTwo = cloth.positions;
    solver.advanceTo(cloth, 3.0f);

    solver.advanceTo(cloth, 2.0f);  // earlier frame: loaded from its file
    EXPECT_EQ(solver.time, 2.0f);
    EXPECT_EQ(cloth.positions, atTwo);
}

TEST(AdvanceTo, RaisedAbortStopsBetweenSubStepsAndStoresNoUnfinishedFrame) {
    AbortGuard guard;
    TempFolder folder;
    drScloth cloth = makeCloth(makeGrid(2, 2));
    cloth.setCachePath(folder.base().c_str());
    Probe probe('P', 1, nullptr);
    drSsolver solver;
    solver.addForce(&probe);
    solver.maxStep = 0.25f;

    // Raised before the call: nothing runs, time stays, no frame is stored.
    drRaiseAbort();
    solver.advanceTo(cloth, 5.0f);
    EXPECT_TRUE(probe.steps.empty());
    EXPECT_EQ(solver.time, 0.0f);
    EXPECT_FALSE(std::filesystem::exists(folder.base() + "0005"));
    EXPECT_TRUE(drCutShort());

    // Raised during the third sub-step: the loop stops after it.
    drClearAbort();
    probe.raiseAfter = 3;
    solver.advanceTo(cloth, 5.0f);
    EXPECT_EQ(probe.steps.size(), 3u);
    EXPECT_EQ(solver.time, 0.75f);
    EXPECT_FALSE(std::filesystem::exists(folder.base() + "0005"));
    EXPECT_TRUE(drCutShort());

    // The next call continues from there and stores the finished frame.
    drClearAbort();
    probe.raiseAfter = 0;
    solver.advanceTo(cloth, 5.0f);
    EXPECT_EQ(solver.time, 5.0f);
    EXPECT_TRUE(std::filesystem::exists(folder.base() + "0005"));
    EXPECT_FALSE(drCutShort());

    // A frame already reached is stored even with the flag raised.
    std::filesystem::remove(folder.base() + "0005");
    drRaiseAbort();
    solver.advanceTo(cloth, 5.0f);
    EXPECT_TRUE(std::filesystem::exists(folder.base() + "0005"));
    EXPECT_FALSE(drCutShort());
}

TEST(AdvanceTo, BadInputAlwaysEndsAndTheClockMovesByEachSubStep) {
    struct Case {
        const char* what;
        int32_t points;
        float mass, maxStep, value;  // value: written into every position and force
        bool clockReachesTarget;
    } cases[] = {
        {"no points", 0, 1.0f, 0.5f, 0.0f, true},
        {"zero masses", 4, 0.0f, 0.5f, 0.0f, true},
        {"positions not a number", 4, 1.0f, 0.5f, NAN, true},
        {"infinite positions", 4, 1.0f, 0.5f, INFINITY, true},
        {"negative masses", 4, -1.0f, 0.5f, 1.0f, true},
        {"maxStep zero", 4, 1.0f, 0.0f, 0.0f, false},
        {"maxStep not a number", 4, 1.0f, NAN, 0.0f, false},
    };
    for (const Case& c : cases) {
        drScloth cloth = c.points == 0 ? drScloth{} : makeCloth(makeGrid(2, 2), c.mass);
        for (drSvec3& p : cloth.positions) p = {c.value, c.value, c.value};
        ConstantForce push({c.value, 1.0f, 0.0f}, 3);  // also asks for normals
        Probe probe('P', 1, nullptr);
        drSsolver solver;
        solver.addForce(&push);
        solver.addForce(&probe);
        solver.maxStep = c.maxStep;
        solver.advanceTo(cloth, 2.0f);
        if (c.clockReachesTarget) {
            EXPECT_NEAR(solver.time, 2.0f, 0.0002f) << c.what;  // within the time slack
        } else {
            EXPECT_LE(probe.steps.size(), 1u) << c.what;
        }
        for (const Probe::Interval& s : probe.steps) {
            const float dt = s.to - s.from;
            EXPECT_TRUE(std::isnan(dt) || dt >= 0.0f) << c.what;
        }
    }
}

TEST(AdvanceTo, LargeTimesWhereTheFloorStepVanishesStillEnd) {
    // From about frame 2048 on, 0.0001 no longer changes a float time.
    drScloth cloth = makeCloth(makeGrid(2, 2));
    ConstantForce huge({0.0f, 1e12f, 0.0f});
    drSsolver solver;
    solver.addForce(&huge);
    solver.time = 3000.0f;
    solver.advanceTo(cloth, 3001.0f);
    EXPECT_EQ(solver.time, 3000.0f);
    EXPECT_EQ(solver.step, 0.0001f);
}
