// The pin's surface binding kernels against a double-precision reference.
// The kernels are compiled into this test: the module keeps them private.
#include "../../source/drBinding.cpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

struct D3 {
    double x, y, z;
};
D3 sub(D3 a, D3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dotd(D3 a, D3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
D3 crossd(D3 a, D3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
D3 fromF(const drSvec3& v) { return {v.x, v.y, v.z}; }

double segmentRef(D3 p, D3 a, D3 b) {
    const D3 e = sub(b, a), d = sub(p, a);
    const double s = dotd(d, e) / dotd(e, e);
    if (s < 0) return dotd(d, d);
    if (s > 1) return 1e9;
    const D3 r{d.x - s * e.x, d.y - s * e.y, d.z - s * e.z};
    return dotd(r, r);
}

struct Ref {
    double distance, u, v, h;
};
Ref triangleRef(D3 p, D3 a, D3 b, D3 c) {
    const D3 e1 = sub(b, a), e2 = sub(c, a), n = crossd(e1, e2), d = sub(p, a);
    const double L = dotd(n, n);
    const double u = dotd(crossd(d, e2), n) / L, v = dotd(crossd(e1, d), n) / L, h = dotd(d, n) / std::sqrt(L);
    double dist = (u > 0 && v > 0 && u + v < 1 && h >= 0) ? h * h : 1e9;
    dist = std::min({dist, segmentRef(p, a, b), segmentRef(p, b, c), segmentRef(p, c, a)});
    return {dist, u, v, h};
}

drSvec3 randomPoint(std::mt19937& rng, float range) {
    std::uniform_real_distribution<float> u(-range, range);
    return {u(rng), u(rng), u(rng)};
}

/// A polygon object of `count` random triangles (separate corners).
PolygonObject* randomMesh(std::mt19937& rng, Int32 count) {
    PolygonObject* mesh = PolygonObject::Alloc(count * 3, count);
    for (Int32 t = 0; t < count; ++t) {
        const drSvec3 centre = randomPoint(rng, 50.0f);
        for (Int32 k = 0; k < 3; ++k) {
            const drSvec3 q = centre + randomPoint(rng, 8.0f);
            mesh->GetPointW()[t * 3 + k] = Vector(q.x, q.y, q.z);
        }
        mesh->GetPolygonW()[t] = CPolygon(t * 3, t * 3 + 1, t * 3 + 2);
    }
    return mesh;
}

}  // namespace

TEST(Binding, TriangleDistanceMatchesTheDoubleReference) {
    std::mt19937 rng(1234);
    int faces = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const drSvec3 a = randomPoint(rng, 10.0f), b = randomPoint(rng, 10.0f), c = randomPoint(rng, 10.0f);
        const drSvec3 p = randomPoint(rng, 15.0f);
        const Ref ref = triangleRef(fromF(p), fromF(a), fromF(b), fromF(c));
        const TriangleDistance r = pointTriangleDistance(p, a, b, c);
        // Well-shaped triangles only: the float result is then close.
        const D3 n = crossd(sub(fromF(b), fromF(a)), sub(fromF(c), fromF(a)));
        if (dotd(n, n) < 1.0) continue;
        const double scale = 1.0 + std::fabs(ref.u) + std::fabs(ref.v);
        EXPECT_NEAR(r.u, ref.u, 1e-4 * scale) << trial;
        EXPECT_NEAR(r.v, ref.v, 1e-4 * scale) << trial;
        EXPECT_NEAR(r.h, ref.h, 1e-4 * (1.0 + std::fabs(ref.h))) << trial;
        if (ref.distance < 1e8) {
            EXPECT_NEAR(r.distance, ref.distance, 1e-3 * (1.0 + ref.distance)) << trial;
        }
        faces += ref.distance == ref.h * ref.h;
    }
    EXPECT_GT(faces, 50);  // the face term was exercised, not only the edges
}

TEST(Binding, ClosestTriangleIsAsNearAsTheBestByTheReference) {
    std::mt19937 rng(99);
    PolygonObject* mesh = randomMesh(rng, 60);
    for (int trial = 0; trial < 300; ++trial) {
        const drSvec3 p = randomPoint(rng, 60.0f);
        double best = 1e18;
        for (Int32 t = 0; t < mesh->GetPolygonCount(); ++t) {
            const Vector* P = mesh->GetPointR();
            const CPolygon& poly = mesh->GetPolygonR()[t];
            best = std::min(best, triangleRef(fromF(p), {P[poly.a].x, P[poly.a].y, P[poly.a].z},
                                              {P[poly.b].x, P[poly.b].y, P[poly.b].z},
                                              {P[poly.c].x, P[poly.c].y, P[poly.c].z})
                                      .distance);
        }
        const TriangleBinding b = findClosestTriangle(mesh, Vector(p.x, p.y, p.z));
        const Vector* P = mesh->GetPointR();
        const double chosen = triangleRef(fromF(p), {P[b.triangle[0]].x, P[b.triangle[0]].y, P[b.triangle[0]].z},
                                          {P[b.triangle[1]].x, P[b.triangle[1]].y, P[b.triangle[1]].z},
                                          {P[b.triangle[2]].x, P[b.triangle[2]].y, P[b.triangle[2]].z})
                                  .distance;
        EXPECT_NEAR(chosen, best, 1e-3 * (1.0 + best)) << trial;
        // Evaluated on the unchanged mesh with scale 1, the binding gives the
        // point back.
        Vector back;
        ASSERT_TRUE(evaluateBinding(mesh, b.coords, b.triangle, 1.0f, &back));
        EXPECT_NEAR(back.x, p.x, 1e-3) << trial;
        EXPECT_NEAR(back.y, p.y, 1e-3) << trial;
        EXPECT_NEAR(back.z, p.z, 1e-3) << trial;
    }
    BaseObject* op = mesh;
    BaseObject::Free(op);
}

TEST(Binding, DegenerateTrianglesAreNeverChosenNorNonFinite) {
    // Triangle 0 is a line right under the point; triangle 1 is proper but
    // farther away; polygon 2 has a corner outside the points.
    PolygonObject* mesh = PolygonObject::Alloc(6, 3);
    Vector* P = mesh->GetPointW();
    P[0] = Vector(-1, 0, 0);
    P[1] = Vector(1, 0, 0);
    P[2] = Vector(3, 0, 0);
    P[3] = Vector(0, -5, 0);
    P[4] = Vector(0, -5, 1);
    P[5] = Vector(1, -5, 0);
    mesh->GetPolygonW()[0] = CPolygon(0, 1, 2);
    mesh->GetPolygonW()[1] = CPolygon(3, 4, 5);
    mesh->GetPolygonW()[2] = CPolygon(0, 1, 40);
    const TriangleBinding b = findClosestTriangle(mesh, Vector(0.2, 0.5, 0.2));
    EXPECT_EQ(b.triangle, (std::array<Int32, 3>{3, 4, 5}));

    // The bound triangle collapses later: the target stays finite.
    P[4] = P[3];
    Vector out;
    ASSERT_TRUE(evaluateBinding(mesh, b.coords, b.triangle, 1.0f, &out));
    EXPECT_TRUE(std::isfinite(out.x) && std::isfinite(out.y) && std::isfinite(out.z));
    // Corners beyond the points are refused.
    EXPECT_FALSE(evaluateBinding(mesh, b.coords, {0, 1, 6}, 1.0f, &out));

    const TriangleDistance line = pointTriangleDistance({0, 1, 0}, {-1, 0, 0}, {1, 0, 0}, {3, 0, 0});
    EXPECT_EQ(line.distance, 1e9f);
    BaseObject* op = mesh;
    BaseObject::Free(op);
}

TEST(Binding, NothingWithinReachBindsToTheFirstCorners) {
    PolygonObject* mesh = PolygonObject::Alloc(3, 1);
    mesh->GetPointW()[1] = Vector(1, 0, 0);
    mesh->GetPointW()[2] = Vector(0, 0, 1);
    mesh->GetPolygonW()[0] = CPolygon(0, 1, 2);
    const TriangleBinding b = findClosestTriangle(mesh, Vector(0, 2e4, 0));
    EXPECT_EQ(b.triangle, (std::array<Int32, 3>{0, 0, 0}));
    EXPECT_EQ(b.coords, (drSvec3{0, 0, 0}));
    BaseObject* op = mesh;
    BaseObject::Free(op);
}
