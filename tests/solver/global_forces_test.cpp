// Gravity, damping, wind and volume: each force's rule on small cloths, and
// the split over the pool against the serial result.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "cloth_fixture.h"
#include "drSdamp.h"
#include "drSgravity.h"
#include "drSvolum.h"
#include "drSwind.h"

namespace {

/// A cloth of n points without triangles, positions and velocities spread out.
drScloth scatteredCloth(int32_t n) {
    drScloth cloth;
    cloth.pointCount = n;
    cloth.resizePoints();
    for (int32_t i = 0; i < n; ++i) {
        const float f = static_cast<float>(i);
        cloth.positions[i] = {std::sin(f), std::cos(0.7f * f), 0.01f * f};
        cloth.velocities[i] = {std::cos(1.3f * f), -0.5f + 0.001f * f, std::sin(0.3f * f)};
        cloth.forces[i] = {0.25f, -1.0f, 2.0f};
        cloth.masses[i] = 0.5f + static_cast<float>(i % 7);
    }
    return cloth;
}

TEST(Gravity, SameAccelerationForAnyMass) {
    drScloth cloth = scatteredCloth(7);
    for (drSvec3& f : cloth.forces) f = {};
    drSgravity gravity;
    gravity.gravity = {0.5f, -9.81f, 0.125f};
    drSsolver solver;
    gravity.apply(cloth, solver);
    for (int32_t i = 0; i < cloth.pointCount; ++i)
        for (int c = 0; c < 3; ++c) EXPECT_FLOAT_EQ(cloth.forces[i][c] / cloth.masses[i], gravity.gravity[c]);
}

TEST(Damping, OpposesVelocityWhateverTheMass) {
    drScloth cloth = scatteredCloth(5);
    const std::vector<drSvec3> before = cloth.forces;
    drSdamp damp;
    damp.damping = 0.5f;
    drSsolver solver;
    damp.apply(cloth, solver);
    for (int32_t i = 0; i < cloth.pointCount; ++i) EXPECT_EQ(cloth.forces[i], before[i] - 0.5f * cloth.velocities[i]);

    // No damping, or a disabled force, changes nothing.
    const std::vector<drSvec3> after = cloth.forces;
    damp.damping = 0.0f;
    damp.apply(cloth, solver);
    EXPECT_EQ(cloth.forces, after);
    damp.damping = 3.0f;
    damp.enabled = 0;
    solver.addForce(&damp);
    applyForces(solver, cloth);
    EXPECT_EQ(cloth.forces, after);
}

/// The wind vector recomputed with 64-bit integers, the way the rule reads.
drSvec3 referenceWind(const drSwind& w, float t) {
    float a = 0.0f, b = 0.0f;
    if (w.noisePeriod != 0.0f) {
        const float u = t / w.noisePeriod + 0.0001f;
        int64_t k = static_cast<int64_t>(u);
        if (u < 0.0f) k -= 1;
        const float s = u - static_cast<float>(k);
        const int64_t h = (w.seed != 0 ? int64_t{w.seed} * 5267 : int64_t{w.randomBase}) + k;
        auto low16 = [](int64_t x, int64_t m) { return static_cast<float>((x * m + 1345) & 0xFFFF); };
        auto HA = [&](int64_t x) { return 1.0f - 2.0f * low16(x, 25713) / 65535.0f; };
        auto HB = [&](int64_t x) { return 1.0f - 2.0f * low16(x, 23025) / 65535.0f; };
        const float S = (3.0f - 2.0f * s) * (s * s);
        a = HA(h) + (HA(h + 1) - HA(h)) * S;
        b = HB(h) + (HB(h + 1) - HB(h)) * S;
    }
    const float m = 1.0f + w.strengthVariation * b;
    return {(w.windBase.x + a * w.windVariation.x) * m, (w.windBase.y + a * w.windVariation.y) * m,
            (w.windBase.z + a * w.windVariation.z) * m};
}

TEST(Wind, NoiseFollowsTheHashesWithWrapAround) {
    drSwind w;
    w.windVariation = {0.3f, -0.2f, 0.7f};
    w.strengthVariation = 0.4f;
    w.noisePeriod = 2.5f;
    struct Case {
        int32_t seed, randomBase;
    };
    for (const Case c : {Case{7, 0}, Case{INT32_MAX, 0}, Case{INT32_MIN + 1, 0}, Case{0, 32767}, Case{-3, 0}}) {
        w.seed = c.seed;
        w.randomBase = c.randomBase;
        for (float t : {0.0f, 1.0f, 2.5f, 3.7f, 250.0f, -0.3f, -2.5f, -40.1f}) {
            const drSvec3 got = w.windAt(t), want = referenceWind(w, t);
            EXPECT_EQ(got, want) << "seed " << c.seed << " t " << t;
        }
    }
}

TEST(Wind, NoiseIsContinuousAndOffWithoutPeriod) {
    drSwind w;
    w.windVariation = {0.3f, -0.2f, 0.7f};
    w.strengthVariation = 0.4f;
    w.seed = 7;
    // No jump where one interval ends and the next begins.
    for (float t : {1.0f, 2.0f, 5.0f}) {
        const drSvec3 before = w.windAt(t - 0.0002f), after = w.windAt(t);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(before[c], after[c], 1e-3f) << t;
    }
    // The noise varies inside an interval...
    EXPECT_FALSE(w.windAt(0.5f) == w.windAt(1.5f));
    // ...and a period of 0 switches it off.
    w.noisePeriod = 0.0f;
    for (float t : {0.0f, 0.5f, 17.25f, -3.0f}) EXPECT_EQ(w.windAt(t), w.windBase);
    // Times far outside the 32-bit interval range stay finite.
    w.noisePeriod = 1e-6f;
    for (float t : {1e30f, -1e30f}) {
        const drSvec3 v = w.windAt(t);
        EXPECT_TRUE(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z)) << t;
    }
}

TEST(Wind, SeedZeroDrawsFromRandAtReset) {
    drSwind a, b;
    a.seed = b.seed = 7;
    a.windVariation = b.windVariation = {1.0f, 1.0f, 1.0f};
    a.reset(0.0f);
    b.reset(0.0f);
    EXPECT_EQ(a.windAt(3.3f), b.windAt(3.3f));  // a fixed seed repeats

    std::srand(3);
    const int expected = std::rand();
    std::srand(3);
    a.seed = 0;
    a.reset(12.0f);
    EXPECT_EQ(a.randomBase, expected);
    b.seed = 0;
    b.randomBase = expected + 1;
    EXPECT_FALSE(a.windAt(3.3f) == b.windAt(3.3f));
}

TEST(Wind, SideModeSelectsTheFacesItMeets) {
    // One triangle in the XZ plane, corner order giving normals along +Y.
    struct Case {
        int32_t sideMode;
        float windY;
        float forceY;  ///< expected at every corner
    };
    const Case cases[] = {
        {1, 1.0f, 0.0f},   {1, -1.0f, -0.25f}, {0, 1.0f, 0.25f},
        {0, -1.0f, -0.25f}, {-1, 1.0f, 0.25f},  {-1, -1.0f, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "sideMode " << c.sideMode << " wind " << c.windY);
        drScloth cloth;
        cloth.pointCount = 3;
        cloth.resizePoints();
        cloth.positions = {{0, 0, 0}, {0, 0, 1}, {1, 0, 0}};
        cloth.triangles = {{0, 1, 2}};
        cloth.triangleCount = 1;
        computeNormals(cloth);
        ASSERT_EQ(cloth.normals[0], (drSvec3{0, 0.5f, 0}));
        drSwind w;
        w.noisePeriod = 0.0f;
        w.windBase = {0, c.windY, 0};
        w.sideMode = c.sideMode;
        drSsolver solver;
        w.apply(cloth, solver);
        for (const drSvec3& f : cloth.forces) EXPECT_EQ(f, (drSvec3{0, c.forceY, 0}));
    }
}

TEST(Wind, WithoutTrianglesEveryPointFeelsTheWind) {
    for (int32_t mode : {1, 0, -1}) {
        drScloth cloth = scatteredCloth(4);
        for (drSvec3& f : cloth.forces) f = {};
        drSwind w;
        w.sideMode = mode;
        w.seed = 7;
        drSsolver solver;
        solver.time = 4.2f;
        w.apply(cloth, solver);
        for (const drSvec3& f : cloth.forces) EXPECT_EQ(f, w.windAt(4.2f));
    }
}

/// A closed unit cube with outward corner order and its normals.
drScloth cube(float scale = 1.0f) {
    drScloth cloth;
    cloth.pointCount = 8;
    cloth.resizePoints();
    cloth.positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    for (drSvec3& p : cloth.positions) p *= scale;
    const int32_t quads[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {3, 7, 6, 2}, {0, 4, 7, 3}, {1, 2, 6, 5}};
    for (const auto& q : quads) {
        cloth.triangles.push_back({q[0], q[1], q[2]});
        cloth.triangles.push_back({q[0], q[2], q[3]});
    }
    cloth.triangleCount = 12;
    for (float& m : cloth.masses) m = 1.0f;
    computeNormals(cloth);
    return cloth;
}

TEST(Volume, FirstApplyCapturesTheReferenceAndOnlyDamps) {
    drScloth cloth = cube();
    for (int32_t i = 0; i < 8; ++i) cloth.velocities[i] = cloth.normals[i];  // moving outward
    drSvolum volume;
    volume.normalDamping = 0.5f;
    volume.reset(0.0f);
    drSsolver solver;
    volume.apply(cloth, solver);
    EXPECT_GT(volume.referenceVolume, 0.0f);
    EXPECT_EQ(volume.referenceVolume, drSvolum::volumeMeasure(cloth));
    for (int32_t i = 0; i < 8; ++i)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(cloth.forces[i][c], -0.5f * cloth.normals[i][c], 1e-6f);
}

TEST(Volume, PushesOutwardTowardsALargerTarget) {
    drScloth cloth = cube();
    drSvolum volume;
    volume.pressure = 3.0f;
    volume.volumeRatio = 2.0f;
    drSsolver solver;
    volume.apply(cloth, solver);
    for (int32_t i = 0; i < 8; ++i) {
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(cloth.forces[i][c], 0.33333f * 3.0f * cloth.normals[i][c], 1e-6f);
        EXPECT_GT(dot(cloth.forces[i], cloth.positions[i] - drSvec3{0.5f, 0.5f, 0.5f}), 0.0f);
    }
    // A grown cube at ratio 1 is pulled in; after a reset its size is the new reference.
    volume.volumeRatio = 1.0f;
    drScloth grown = cube(1.5f);
    volume.apply(grown, solver);
    EXPECT_LT(dot(grown.forces[6], grown.normals[6]), 0.0f);
    volume.reset(5.0f);
    EXPECT_EQ(volume.referenceVolume, 0.0f);
    drScloth again = cube(1.5f);
    volume.apply(again, solver);
    EXPECT_EQ(again.forces[6], drSvec3{});
}

TEST(Volume, FlatClothAndShortNormals) {
    // Flat: the volume measure is 0, so nothing acts, not even damping.
    drScloth flat = makeCloth(makeGrid(4, 4));
    computeNormals(flat);
    for (drSvec3& v : flat.velocities) v = {0, 1, 0};
    drSvolum volume;
    volume.normalDamping = 1.0f;
    drSsolver solver;
    volume.apply(flat, solver);
    for (const drSvec3& f : flat.forces) EXPECT_EQ(f, drSvec3{});

    // A normal shorter than 0.001 gets no damping term.
    drScloth c = cube();
    c.normals[3] = {0.0005f, 0, 0};
    for (int32_t i = 0; i < 8; ++i) c.velocities[i] = {1, 2, 3};
    volume.pressure = 0.0f;
    volume.volumeRatio = 2.0f;
    volume.apply(c, solver);
    EXPECT_EQ(c.forces[3], drSvec3{});
    EXPECT_FALSE(c.forces[2] == drSvec3{});

    // No points: nothing happens.
    drScloth empty;
    volume.apply(empty, solver);
}

// Each force split over the pool equals its serial result bit for bit: the
// jobs write disjoint point ranges with the same arithmetic.
TEST(GlobalForces, PoolMatchesSerial) {
    // 142 x 142 = 20164 points: above every force's threshold. The surface is
    // bumpy so that the volume measure is not 0.
    GridMesh g = makeGrid(142, 142, 0.01);
    for (size_t i = 0; i < g.points.size(); i += 3) g.points[i + 1] = 0.02 * std::sin(40.0 * g.points[i]) * std::cos(30.0 * g.points[i + 2]);
    const drScloth base = [&] {
        drScloth c = makeCloth(g);
        for (int32_t i = 0; i < c.pointCount; ++i) {
            c.velocities[i] = {std::sin(0.1f * i), 0.3f, std::cos(0.2f * i)};
            c.masses[i] = 1.0f + static_cast<float>(i % 3);
        }
        computeNormals(c);
        return c;
    }();
    using Make = std::function<std::unique_ptr<drSforce>()>;
    const std::vector<std::pair<const char*, Make>> forces = {
        {"gravity", [] { return std::make_unique<drSgravity>(); }},
        {"damping", [] { auto d = std::make_unique<drSdamp>(); d->damping = 0.3f; return d; }},
        {"wind", [] { auto w = std::make_unique<drSwind>(); w->seed = 7; w->sideMode = 0; return w; }},
        {"volume", [] { auto v = std::make_unique<drSvolum>(); v->volumeRatio = 1.5f; v->normalDamping = 0.2f; return v; }},
    };
    for (const auto& [name, make] : forces) {
        SCOPED_TRACE(name);
        drSsolver solver;
        solver.time = 2.3f;
        drScloth serial = base;
        make()->apply(serial, solver);
        for (int32_t workers : {1, 2, 4}) {
            PoolWith pool(workers);
            drScloth split = base;
            make()->apply(split, solver);
            EXPECT_EQ(split.forces, serial.forces) << workers << " workers";
        }
    }
}

}  // namespace
