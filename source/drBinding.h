// Surface binding of the pin: the closest triangle of a polygon object to a
// point, and the point rebuilt from its binding on the (moved) triangle.
#pragma once

#include <array>

#include "drSvec.h"
#include "host.h"

/// Squared distance from p to the segment a-b when p's projection falls
/// before b; 1e9 when it falls beyond b (b is the start of the next edge).
float pointSegmentDistance(const drSvec3& p, const drSvec3& a, const drSvec3& b);

/// Distance of p to the triangle a, b, c and p's coordinates relative to it.
struct TriangleDistance {
    float distance;  ///< squared distance to the face (in front only) or the nearest edge
    float u, v;      ///< barycentric coordinates of p's projection along b - a and c - a
    float h;         ///< signed height of p above the triangle's plane
};

/// p against the triangle a, b, c. The face counts only for points in front
/// of it (h >= 0) whose projection lies inside. A degenerate triangle (zero
/// area) reports distance 1e9 and (u, v, h) = 0, so it is never chosen.
TriangleDistance pointTriangleDistance(const drSvec3& p, const drSvec3& a, const drSvec3& b, const drSvec3& c);

/// The binding of a point to the closest triangle of a polygon object.
struct TriangleBinding {
    std::array<Int32, 3> triangle{0, 0, 0};  ///< corner indices in the object's point array
    drSvec3 coords{};                        ///< (u, v, h) as given by pointTriangleDistance
};

/// The triangle of `object` closest to q (object space): quadrangles are
/// searched as (a, b, c) and (a, c, d); the first of equal candidates wins;
/// nothing within 1e8 (squared) gives triangle (0, 0, 0) with (0, 0, 0).
/// Polygons with a corner outside the point array are skipped.
TriangleBinding findClosestTriangle(const PolygonObject* object, const Vector& q);

/// The bound point on the object's current surface, object space: the corner
/// a plus u, v along the edges and s * h along the unit normal. Returns
/// false, leaving *out unchanged, when a corner index lies outside the
/// object's point array; a triangle that has become degenerate contributes
/// no height (the point stays in the corner's span).
bool evaluateBinding(const PolygonObject* object, const drSvec3& coords, const std::array<Int32, 3>& triangle,
                     float s, Vector* out);
