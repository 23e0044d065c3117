#include "drBinding.h"

#include <cmath>

#include "drObjectSupport.h"

float pointSegmentDistance(const drSvec3& p, const drSvec3& a, const drSvec3& b) {
    const drSvec3 e = b - a;
    const drSvec3 d = p - a;
    const float ee = dot(e, e);
    if (ee == 0.0f) return dot(d, d);  // a zero-length edge is its start point
    const float s = dot(d, e) / ee;
    if (s < 0.0f) return dot(d, d);
    if (s > 1.0f) return 1e9f;  // b is covered as the start of the next edge
    return lengthSquared(d - e * s);
}

TriangleDistance pointTriangleDistance(const drSvec3& p, const drSvec3& a, const drSvec3& b, const drSvec3& c) {
    const drSvec3 e1 = b - a;
    const drSvec3 e2 = c - a;
    const drSvec3 n = cross(e1, e2);
    const float L = dot(n, n);
    const drSvec3 d = p - a;
    const float u = dot(cross(d, e2), n) / L;
    const float v = dot(cross(e1, d), n) / L;
    const float h = dot(d, n) / std::sqrt(L);
    // A triangle without area has no plane to measure a height from: it is
    // never chosen, so no binding can carry its non-finite coordinates.
    if (!(L > 0.0f) || !std::isfinite(u) || !std::isfinite(v) || !std::isfinite(h)) return {1e9f, 0.0f, 0.0f, 0.0f};
    float distance = (u > 0.0f && v > 0.0f && u + v < 1.0f && h >= 0.0f) ? h * h : 1e9f;
    const float edges[3] = {pointSegmentDistance(p, a, b), pointSegmentDistance(p, b, c), pointSegmentDistance(p, c, a)};
    for (float e : edges)
        if (e < distance) distance = e;
    return {distance, u, v, h};
}

TriangleBinding findClosestTriangle(const PolygonObject* object, const Vector& q) {
    TriangleBinding best;
    if (!object) return best;
    const drSvec3 p = toSolver(q);
    const Int32 n = object->GetPointCount();
    const Vector* P = object->GetPointR();
    const CPolygon* polygons = object->GetPolygonR();
    float bestDistance = 1e8f;
    auto consider = [&](Int32 a, Int32 b, Int32 c) {
        const TriangleDistance r = pointTriangleDistance(p, toSolver(P[a]), toSolver(P[b]), toSolver(P[c]));
        if (r.distance < bestDistance) {  // strictly: the first of equals wins
            bestDistance = r.distance;
            best.triangle = {a, b, c};
            best.coords = {r.u, r.v, r.h};
        }
    };
    for (Int32 j = 0; j < object->GetPolygonCount(); ++j) {
        const CPolygon& poly = polygons[j];
        if (!polygonInRange(poly, n)) continue;
        consider(poly.a, poly.b, poly.c);
        if (poly.c != poly.d) consider(poly.a, poly.c, poly.d);
    }
    return best;
}

bool evaluateBinding(const PolygonObject* object, const drSvec3& coords, const std::array<Int32, 3>& triangle,
                     float s, Vector* out) {
    if (!object || !out) return false;
    const Int32 n = object->GetPointCount();
    for (Int32 index : triangle)
        if (index < 0 || index >= n) return false;  // the target lost points since the binding
    const Vector* P = object->GetPointR();
    const Vector& A = P[triangle[0]];
    const drSvec3 e1 = toSolver(P[triangle[1]] - A);
    const drSvec3 e2 = toSolver(P[triangle[2]] - A);
    const drSvec3 normal = cross(e1, e2);
    const float len = length(normal);
    drSvec3 offset = e1 * coords.x + e2 * coords.y;
    // A triangle squeezed flat has no normal; the height is then dropped
    // rather than turned into a non-finite target.
    if (len > 0.0f && std::isfinite(len)) {
        const drSvec3 unit{normal.x / len, normal.y / len, normal.z / len};
        offset += unit * (s * coords.z);
    }
    *out = A + Vector(offset.x, offset.y, offset.z);
    return true;
}
