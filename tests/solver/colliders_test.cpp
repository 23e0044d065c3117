// Plane, sphere and capsule colliders: the shared contact response, each
// shape's contact test and projection, the motion of plane and sphere within
// a frame, and the split over the job pool.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "drScloth.h"
#include "drScollideCapsule.h"
#include "drScollidePlane.h"
#include "drScollideSphere.h"
#include "drScontact.h"
#include "drSgravity.h"
#include "drSsolver.h"
#include "grid.h"
#include "drSlanes.h"
#include "pool.h"
#include "poolWith.h"

namespace {

/// A cloth of n unit-mass points at the origin, at rest, with zero forces.
drScloth makeCloth(int32_t n) {
    drScloth cloth;
    cloth.pointCount = n;
    cloth.resizePoints();
    for (auto& m : cloth.masses) m = 1.0f;
    return cloth;
}

/// A cloth holding one point in the given state.
drScloth onePoint(const drSvec3& p, const drSvec3& v, const drSvec3& f) {
    drScloth cloth = makeCloth(1);
    cloth.positions[0] = p;
    cloth.velocities[0] = v;
    cloth.forces[0] = f;
    return cloth;
}

void expectVec(const drSvec3& actual, const drSvec3& expected, float tolerance = 1e-5f) {
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

bool finite(const drSvec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

/// A solver clock at the end of a frame: no motion of the shapes (a = 1
/// onto targets that equal the current placement).
drSsolver restingSolver() {
    drSsolver solver;
    solver.time = 0.0f;
    solver.targetTime = 1.0f;
    solver.step = 0.25f;
    return solver;
}

/// A horizontal plane through the origin (normal +Y) with reset placement.
drScollidePlane floorPlane(float friction, float damping, float thickness) {
    drScollidePlane plane;
    plane.friction = friction;
    plane.damping = damping;
    plane.thickness = thickness;
    plane.targetNormal = {0.0f, 1.0f, 0.0f};
    plane.reset(0.0f);
    return plane;
}

}  // namespace

TEST(Colliders, ReportTheirTypesAndPhases) {
    EXPECT_EQ(drScollidePlane().typeId(), 10);
    EXPECT_EQ(drScollideSphere().typeId(), 8);
    EXPECT_EQ(drScollideCapsule().typeId(), 19);
    EXPECT_EQ(drScollidePlane().phase(), 2);
    EXPECT_EQ(drScollideSphere().phase(), 2);
    EXPECT_EQ(drScollideCapsule().phase(), 2);
}

// The contact response step by step, against a floor y = 0 with a band of 1.
TEST(Colliders, ContactResponseOnAPlane) {
    struct Case {
        const char* name;
        float friction, damping;
        drSvec3 p, v, f;                      // before
        drSvec3 expectP, expectV, expectF;    // after
    };
    const Case cases[] = {
        {"resting point with friction sticks", 0.5f, 0.0f,
         {1, 0, 2}, {0, -0.5f, 0}, {0, -9.81f, 0},
         {1, 0, 2}, {0, 0, 0}, {0, 0, 0}},
        {"resting point without friction: normal force and inward velocity go", 0.0f, 0.0f,
         {1, 0, 2}, {0.25f, -0.5f, 0}, {0, -9.81f, 0},
         {1, 0, 2}, {0.25f, 0, 0}, {0, 0, 0}},
        {"sliding force reduced by friction x normal force", 0.5f, 0.0f,
         {0, 0.5f, 0}, {3, 0, 0}, {5, -2, 0},
         {0, 0.5f, 0}, {3, 0, 0}, {4, 0, 0}},
        {"held by friction when the tangential force is smaller", 0.5f, 0.0f,
         {0, 0.5f, 0}, {3, 0, 0}, {0.5f, -2, 0},
         {0, 0.5f, 0}, {0, 0, 0}, {0, 0, 0}},
        {"penetrating point projected, inward velocity removed, damped", 0.0f, 0.5f,
         {2, -3, 1}, {1, -4, 0}, {0, 1, 0},
         {2, 0, 1}, {1, 0, 0}, {-0.5f, 1, 0}},
        {"outward velocity and pulling force kept", 0.5f, 0.0f,
         {0, 0.5f, 0}, {0, 2, 0}, {1, 3, 0},
         {0, 0.5f, 0}, {0, 2, 0}, {1, 3, 0}},
        {"above the band: untouched", 0.5f, 0.5f,
         {0, 1, 0}, {0, -2, 0}, {0, -9, 0},
         {0, 1, 0}, {0, -2, 0}, {0, -9, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drScloth cloth = onePoint(c.p, c.v, c.f);
        drScollidePlane plane = floorPlane(c.friction, c.damping, 1.0f);
        drSsolver solver = restingSolver();
        plane.apply(cloth, solver);
        expectVec(cloth.positions[0], c.expectP);
        expectVec(cloth.velocities[0], c.expectV);
        expectVec(cloth.forces[0], c.expectF);
    }
}

// The host hands over its Y axis, whose length is the object's scale: a
// plane of normal length 2 (or 0.5) acts like the unit plane; it neither
// bounces the point off nor lets it sink.
TEST(Colliders, ScaledPlaneNormalActsLikeTheUnitNormal) {
    for (float scale : {2.0f, 0.5f}) {
        SCOPED_TRACE(scale);
        drScloth unitCloth = onePoint({1, -0.5f, 0}, {1, -2, 0}, {3, -4, 0});
        drScloth scaledCloth = unitCloth;
        drScollidePlane unit = floorPlane(0.25f, 0.1f, 1.0f);
        drScollidePlane scaled = floorPlane(0.25f, 0.1f, 1.0f);
        scaled.targetNormal = {0.0f, scale, 0.0f};
        scaled.reset(0.0f);
        drSsolver solver = restingSolver();
        unit.apply(unitCloth, solver);
        scaled.apply(scaledCloth, solver);
        EXPECT_TRUE(scaledCloth.positions[0] == unitCloth.positions[0]);
        EXPECT_TRUE(scaledCloth.velocities[0] == unitCloth.velocities[0]);
        EXPECT_TRUE(scaledCloth.forces[0] == unitCloth.forces[0]);
        EXPECT_EQ(scaledCloth.positions[0].y, 0.0f);
        EXPECT_EQ(scaledCloth.velocities[0].y, 0.0f);
    }
}

// With step 0.25 and 0.75 frames left, a = 0.25: the shape moves 1 of the
// 4 units to its target at the start of apply; reset snaps onto the target.
TEST(Colliders, PlaneAndSphereMoveTowardTheirTargets) {
    drSsolver solver;
    solver.time = 1.25f;
    solver.targetTime = 2.0f;
    solver.step = 0.25f;
    drScloth empty = makeCloth(0);

    drScollideSphere sphere;
    sphere.targetCentre = {0.0f, 4.0f, 0.0f};
    sphere.apply(empty, solver);
    expectVec(sphere.currentCentre, {0.0f, 1.0f, 0.0f}, 0.0f);
    sphere.reset(0.0f);
    expectVec(sphere.currentCentre, {0.0f, 4.0f, 0.0f}, 0.0f);

    drScollidePlane plane;
    plane.targetPoint = {4.0f, 0.0f, 0.0f};
    plane.targetNormal = {0.0f, 4.0f, 1.0f};
    plane.apply(empty, solver);
    expectVec(plane.currentPoint, {1.0f, 0.0f, 0.0f}, 0.0f);
    expectVec(plane.currentNormal, {0.0f, 1.0f, 1.0f}, 0.0f);  // interpolated, not renormalised
    plane.reset(0.0f);
    expectVec(plane.currentPoint, {4.0f, 0.0f, 0.0f}, 0.0f);
    expectVec(plane.currentNormal, {0.0f, 4.0f, 1.0f}, 0.0f);

    // A point is tested against the moved sphere, not the target.
    drScollideSphere moving;
    moving.radius = 1.0f;
    moving.targetCentre = {4.0f, 0.0f, 0.0f};
    drScloth cloth = onePoint({1.5f, 0, 0}, {}, {});
    moving.apply(cloth, solver);
    expectVec(cloth.positions[0], {2.0f, 0.0f, 0.0f});
}

TEST(Colliders, SphereContact) {
    struct Case {
        const char* name;
        drSvec3 p, v;
        drSvec3 expectP, expectV, expectF;
    };
    // Radius 2, band 0.5, damping 0.5, no friction, centre (1, 1, 1).
    const Case cases[] = {
        {"inside: projected onto the surface", {1, 1, 2}, {0, 0, -1},
         {1, 1, 3}, {0, 0, 0}, {0, 0, 0}},
        {"in the band: not moved, inward velocity removed, damped", {1, 3.25f, 1}, {2, -1, 0},
         {1, 3.25f, 1}, {2, 0, 0}, {-1, 0, 0}},
        {"outside the band: untouched", {1, 3.5f, 1}, {2, -1, 0},
         {1, 3.5f, 1}, {2, -1, 0}, {0, 0, 0}},
        // No direction to push a point at the centre out along: skipped.
        {"at the centre: skipped", {1, 1, 1}, {2, -1, 0},
         {1, 1, 1}, {2, -1, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drScloth cloth = onePoint(c.p, c.v, {});
        drScollideSphere sphere;
        sphere.radius = 2.0f;
        sphere.thickness = 0.5f;
        sphere.damping = 0.5f;
        sphere.targetCentre = {1.0f, 1.0f, 1.0f};
        sphere.reset(0.0f);
        drSsolver solver = restingSolver();
        sphere.apply(cloth, solver);
        expectVec(cloth.positions[0], c.expectP);
        expectVec(cloth.velocities[0], c.expectV);
        expectVec(cloth.forces[0], c.expectF);
    }
}

// The sphere's pass runs four points at a time in vector lanes: every point
// must get exactly the bits of the plain formula, in every branch of the
// response (inside, in the band, outside, at the centre, not a number;
// pulling, pressing, sticking and sliding; with and without friction).
TEST(Colliders, SphereLanesGiveThePlainFormulasBits) {
    const drSvec3 centre{0.5f, -0.25f, 0.0f};
    const float radius = 1.0f, thickness = 0.2f;
    auto plain = [&](drScloth& cloth, float friction, float damping) {
        const float band = radius + thickness;
        for (int32_t i = 0; i < cloth.pointCount; ++i) {
            const drSvec3 delta = cloth.positions[i] - centre;
            const float distSq = lengthSquared(delta);
            if (!(distSq < band * band) || distSq < contactMinDistanceSquared) continue;
            const float dist = std::sqrt(distSq);
            const drSvec3 normal{delta.x / dist, delta.y / dist, delta.z / dist};
            if (dist < radius) cloth.positions[i] += (radius - dist) * normal;
            respondToContact(cloth.velocities[i], cloth.forces[i], normal, damping, friction);
        }
    };
    auto bits = [](const std::vector<drSvec3>& v) {
        std::vector<uint32_t> out(v.size() * 3);
        std::memcpy(out.data(), v.data(), out.size() * sizeof(uint32_t));
        return out;
    };
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const int32_t n = 4003;  // not a multiple of 4: the last points take the plain loop
    drScloth start = makeCloth(n);
    for (int32_t i = 0; i < n; ++i) {
        // Directions all round, distances from the centre to beyond the band
        drSvec3 d{u(rng), u(rng), u(rng)};
        const float len = length(d);
        if (len > 0.0f) d *= (0.6f + 0.35f * (u(rng) + 1.0f)) / len;
        start.positions[i] = centre + d;
        start.velocities[i] = {u(rng), u(rng), u(rng)};
        start.forces[i] = {2.0f * u(rng), 2.0f * u(rng), 2.0f * u(rng)};
    }
    start.positions[8] = centre;                                  // at the centre
    start.positions[9] = {std::nanf(""), 0.0f, 0.0f};             // not a number
    start.velocities[10] = {};                                    // at rest in contact
    start.forces[11] = {};
    for (const int32_t width : {16, 4}) {
        for (const float friction : {0.0f, 0.3f, 50.0f, -0.5f}) {
            if (drSsetLaneWidth(width) != width) continue;  // not on this processor
            SCOPED_TRACE(testing::Message() << width << " lanes, friction " << friction);
            drScloth lanes = start, reference = start;
            drScollideSphere sphere;
            sphere.radius = radius;
            sphere.thickness = thickness;
            sphere.friction = friction;
            sphere.damping = 0.05f;
            sphere.targetCentre = centre;
            sphere.reset(0.0f);
            drSsolver solver = restingSolver();
            sphere.apply(lanes, solver);
            plain(reference, friction, sphere.damping);
            EXPECT_EQ(bits(lanes.positions), bits(reference.positions));
            EXPECT_EQ(bits(lanes.velocities), bits(reference.velocities));
            EXPECT_EQ(bits(lanes.forces), bits(reference.forces));
        }
    }
    drSsetLaneWidth(0);
}

// The plane's 16-lane pass gives the plain loop's bits: points below, in
// the band and above a tilted plane, one that is not a number.
TEST(Colliders, PlaneLanesGiveThePlainFormulasBits) {
    const drSvec3 point{0.2f, -0.1f, 0.3f};
    const drSvec3 normal = drSvec3{0.3f, 1.0f, -0.2f} * (1.0f / length(drSvec3{0.3f, 1.0f, -0.2f}));
    const float thickness = 0.2f;
    auto plain = [&](drScloth& cloth, float friction, float damping) {
        for (int32_t i = 0; i < cloth.pointCount; ++i) {
            const float d = dot(normal, cloth.positions[i] - point);
            if (d < 0.0f) cloth.positions[i] -= d * normal;
            if (d < thickness) respondToContact(cloth.velocities[i], cloth.forces[i], normal, damping, friction);
        }
    };
    auto sameBits = [](const std::vector<drSvec3>& a, const std::vector<drSvec3>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(drSvec3)) == 0;
    };
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const int32_t n = 1003;
    drScloth start = makeCloth(n);
    for (int32_t i = 0; i < n; ++i) {
        start.positions[i] = point + drSvec3{u(rng), 0.0f, u(rng)} + normal * (0.5f * u(rng));
        start.velocities[i] = {u(rng), u(rng), u(rng)};
        start.forces[i] = {2.0f * u(rng), 2.0f * u(rng), 2.0f * u(rng)};
    }
    start.positions[9] = {std::nanf(""), 0.0f, 0.0f};
    start.velocities[10] = {};
    for (const int32_t width : {16, 1}) {
        for (const float friction : {0.0f, 0.3f, 50.0f, -0.5f}) {
            if (drSsetLaneWidth(width) != width) continue;  // not on this processor
            SCOPED_TRACE(testing::Message() << width << " lanes, friction " << friction);
            drScloth lanes = start, reference = start;
            drScollidePlane plane = floorPlane(friction, 0.05f, thickness);
            plane.targetPoint = point;
            plane.targetNormal = normal;
            plane.reset(0.0f);
            drSsolver solver = restingSolver();
            plane.apply(lanes, solver);
            plain(reference, friction, plane.damping);
            EXPECT_TRUE(sameBits(lanes.positions, reference.positions));
            EXPECT_TRUE(sameBits(lanes.velocities, reference.velocities));
            EXPECT_TRUE(sameBits(lanes.forces, reference.forces));
        }
    }
    drSsetLaneWidth(0);
}

TEST(Colliders, CapsuleContact) {
    struct Case {
        const char* name;
        drSvec3 local;      // point in the capsule frame
        bool touched;
        drSvec3 expectLocal;  // where it ends, in the capsule frame
    };
    // h = 2, r = 1, band 0.5; a velocity (0, 0, 0) and a force pushing
    // towards the axis of the local frame.
    const Case cases[] = {
        {"side, inside", {0.5f, 0, 1.5f}, true, {1, 0, 1.5f}},
        {"side, in the band", {0, -1.25f, -2}, true, {0, -1.25f, -2}},
        {"side, outside the band", {1.6f, 0, 0}, false, {1.6f, 0, 0}},
        {"on the axis", {0, 0, 1}, false, {0, 0, 1}},
        {"top cap, inside", {0, 0.3f, 2.4f}, true, {0, 0.6f, 2.8f}},
        {"bottom cap, inside", {0, 0, -2.5f}, true, {0, 0, -3}},
        {"at a cap centre", {0, 0, 2}, false, {0, 0, 2}},
        {"beyond the tip within the band", {0, 0, 3.25f}, false, {0, 0, 3.25f}},
    };
    // The capsule turned 90 degrees about X (its axis along world Y: world =
    // (x, -z, y)), uniformly scaled by 2 and moved to (5, 0, 0).
    const float worldFromLocal[3][4] = {{2, 0, 0, 5}, {0, 0, -2, 0}, {0, 2, 0, 0}};
    const float localFromWorld[3][4] = {{0.5f, 0, 0, -2.5f}, {0, 0, 0.5f, 0}, {0, -0.5f, 0, 0}};
    auto toWorld = [&](const drSvec3& l) {
        return drSvec3{2 * l.x + 5, -2 * l.z, 2 * l.y};
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drScloth cloth = onePoint(toWorld(c.local), {}, {});
        // Force and velocity towards the capsule's axis (inward everywhere
        // on the side), plus a tangential part along the axis.
        const drSvec3 inward = toWorld({-c.local.x, -c.local.y, 0}) - toWorld({0, 0, 0});
        cloth.velocities[0] = inward + drSvec3{0, -1, 0};
        cloth.forces[0] = inward;
        const drSvec3 v0 = cloth.velocities[0], f0 = cloth.forces[0];
        drScollideCapsule capsule;
        std::copy(&worldFromLocal[0][0], &worldFromLocal[0][0] + 12, &capsule.localToWorld[0][0]);
        std::copy(&localFromWorld[0][0], &localFromWorld[0][0] + 12, &capsule.worldToLocal[0][0]);
        capsule.halfLength = 2.0f;
        capsule.radius = 1.0f;
        capsule.thickness = 0.5f;
        drSsolver solver = restingSolver();
        capsule.apply(cloth, solver);
        expectVec(cloth.positions[0], toWorld(c.expectLocal));
        if (!c.touched) {
            EXPECT_TRUE(cloth.velocities[0] == v0);
            EXPECT_TRUE(cloth.forces[0] == f0);
            continue;
        }
        // The outward unit normal in world space at the contact.
        drSvec3 n = toWorld(c.expectLocal) - toWorld({0, 0, std::fmax(-2.0f, std::fmin(2.0f, c.expectLocal.z))});
        n = n * (1.0f / length(n));
        // No inward velocity is left and none was turned into a bounce.
        EXPECT_NEAR(dot(n, cloth.velocities[0]), std::fmax(0.0f, dot(n, v0)), 1e-5f);
        EXPECT_GE(dot(n, cloth.forces[0]), -1e-5f);
        EXPECT_LE(dot(n, cloth.forces[0]), std::fmax(0.0f, dot(n, f0)) + 1e-5f);
    }
}

// Zero radius or thickness is harmless: only a strictly penetrating point
// (none, for radius 0) is corrected, and nothing becomes non-finite.
TEST(Colliders, ZeroRadiusAndThicknessAreHarmless) {
    const std::vector<drSvec3> points = {{0, 0, 0}, {0, 1e-4f, 0}, {0.5f, -0.5f, 0.5f}, {3, 3, 3}};
    drScloth base = makeCloth(static_cast<int32_t>(points.size()));
    for (size_t i = 0; i < points.size(); ++i) {
        base.positions[i] = points[i];
        base.velocities[i] = {1, -1, 1};
        base.forces[i] = {0, -1, 0};
    }
    std::vector<std::function<void(drScloth&)>> colliders = {
        [](drScloth& c) {
            drScollideSphere s;
            s.radius = 0.0f;
            s.thickness = 0.0f;
            drSsolver solver = restingSolver();
            s.apply(c, solver);
        },
        [](drScloth& c) {
            drScollideCapsule s;
            s.radius = 0.0f;
            s.thickness = 0.0f;
            s.halfLength = 0.0f;
            drSsolver solver = restingSolver();
            s.apply(c, solver);
        },
        [](drScloth& c) {
            drScollidePlane s = floorPlane(0.3f, 0.1f, 0.0f);
            s.targetNormal = {};  // a collapsed host object: no plane
            s.reset(0.0f);
            drSsolver solver = restingSolver();
            s.apply(c, solver);
        },
    };
    for (size_t k = 0; k < colliders.size(); ++k) {
        SCOPED_TRACE(k);
        drScloth cloth = base;
        colliders[k](cloth);
        for (size_t i = 0; i < points.size(); ++i) {
            EXPECT_TRUE(cloth.positions[i] == base.positions[i]) << i;
            EXPECT_TRUE(cloth.velocities[i] == base.velocities[i]) << i;
            EXPECT_TRUE(cloth.forces[i] == base.forces[i]) << i;
        }
    }

    // Thickness 0 on a plane: only the point below is touched.
    drScloth cloth = base;
    drScollidePlane plane = floorPlane(0.3f, 0.1f, 0.0f);
    drSsolver solver = restingSolver();
    plane.apply(cloth, solver);
    EXPECT_TRUE(cloth.velocities[1] == base.velocities[1]);
    EXPECT_EQ(cloth.positions[2].y, 0.0f);
    for (int32_t i = 0; i < cloth.pointCount; ++i) EXPECT_TRUE(finite(cloth.forces[i]) && finite(cloth.velocities[i]));
}

// Jobs touch disjoint points, so the pool gives the serial result bit for
// bit at every worker count; sizes straddle each collider's threshold.
TEST(Colliders, ParallelContactPassEqualsSerial) {
    auto scene = [](int32_t n) {
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> u(-2.0f, 2.0f);
        drScloth cloth = makeCloth(n);
        for (int32_t i = 0; i < n; ++i) {
            cloth.positions[i] = {u(rng), u(rng), u(rng)};
            cloth.velocities[i] = {u(rng), u(rng), u(rng)};
            cloth.forces[i] = {u(rng), u(rng) - 2.0f, u(rng)};
        }
        return cloth;
    };
    auto runAll = [&](int32_t n) {
        drScloth cloth = scene(n);
        drSsolver solver;
        solver.time = 0.5f;
        solver.targetTime = 1.0f;
        solver.step = 0.1f;
        drScollidePlane plane = floorPlane(0.4f, 0.01f, 0.3f);
        plane.targetNormal = {0.1f, 1.0f, 0.0f};
        plane.targetPoint = {0.0f, 0.5f, 0.0f};
        drScollideSphere sphere;
        sphere.radius = 1.0f;
        sphere.thickness = 0.2f;
        sphere.friction = 0.3f;
        sphere.targetCentre = {0.5f, 0.0f, 0.0f};
        drScollideCapsule capsule;
        capsule.halfLength = 1.0f;
        capsule.radius = 0.7f;
        capsule.friction = 0.2f;
        capsule.damping = 0.01f;
        plane.apply(cloth, solver);
        sphere.apply(cloth, solver);
        capsule.apply(cloth, solver);
        return cloth;
    };
    for (int32_t n : {50, 51, 101, 401, 1000}) {
        SCOPED_TRACE(n);
        const drScloth serial = runAll(n);
        for (int32_t processors : {1, 2, 4}) {
            SCOPED_TRACE(processors);
            const drScloth parallel = [&] {
                PoolWith pool(processors);
                return runAll(n);
            }();
            EXPECT_TRUE(parallel.positions == serial.positions);
            EXPECT_TRUE(parallel.velocities == serial.velocities);
            EXPECT_TRUE(parallel.forces == serial.forces);
        }
    }
}

// Through the solver: a sheet dropped on a plane comes to rest on it
// without passing through.
TEST(Colliders, SheetDroppedOnAPlaneComesToRestOnIt) {
    const GridMesh grid = makeGrid(8, 8, 1.0);
    drScloth cloth = makeCloth(grid.pointCount());
    for (int32_t i = 0; i < cloth.pointCount; ++i)
        cloth.positions[i] = {static_cast<float>(grid.points[3 * i]), 2.0f, static_cast<float>(grid.points[3 * i + 2])};
    drSgravity gravity;
    gravity.gravity = {0.0f, -0.1f, 0.0f};
    drScollidePlane plane = floorPlane(0.5f, 0.01f, 0.05f);
    plane.targetPoint = {0.0f, -1.0f, 0.0f};
    plane.reset(0.0f);
    drSsolver solver;
    solver.maxStep = 0.5f;
    solver.addForce(&plane);
    solver.addForce(&gravity);
    for (int frame = 1; frame <= 40; ++frame) {
        solver.advanceTo(cloth, static_cast<float>(frame));
        // A point may end a frame inside by at most one sub-step's travel;
        // the next sub-step puts it back.
        for (int32_t i = 0; i < cloth.pointCount; ++i) ASSERT_GE(cloth.positions[i].y, -1.1f) << frame;
    }
    for (int32_t i = 0; i < cloth.pointCount; ++i) {
        EXPECT_FLOAT_EQ(cloth.positions[i].y, -1.0f);
        EXPECT_TRUE(cloth.velocities[i] == (drSvec3{}));
        EXPECT_FLOAT_EQ(cloth.positions[i].x, static_cast<float>(grid.points[3 * i]));
    }
}
