#include "drStriangleLeaf.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

/// Smallest squared cross-product length of a triangle that is not degenerate.
constexpr float kDegenerateArea = 1e-15f;

void growBox(drSvec3& boxMin, drSvec3& boxMax, const drSvec3& lo, const drSvec3& hi) {
    for (int k = 0; k < 3; ++k) {
        boxMin[k] = std::min(boxMin[k], lo[k]);
        boxMax[k] = std::max(boxMax[k], hi[k]);
    }
}

}  // namespace

void drStriangleLeaf::refit() {
    // Allocate the per-triangle arrays (first refit)
    const size_t n = triangleCount > 0 ? static_cast<size_t>(triangleCount) : 0;
    if (faceNormals.size() != n) {
        faceNormals.assign(n, drSvec3{});
        baryU.assign(n, drSvec3{});
        baryV.assign(n, drSvec3{});
    }
    boxMin = {1e9f, 1e9f, 1e9f};
    boxMax = {-1e9f, -1e9f, -1e9f};
    if (positions == nullptr) return;

    for (size_t t = 0; t < n; ++t) {
        const drSvec3& A = positions[triangles[t][0]];
        const drSvec3& B = positions[triangles[t][1]];
        const drSvec3& C = positions[triangles[t][2]];

        // Edges and the squared area; degenerate (also non-finite) triangles are only marked
        const drSvec3 e1 = B - A;
        const drSvec3 e2 = C - A;
        const drSvec3 N = cross(e1, e2);
        const float q = dot(N, N);
        if (!(q >= kDegenerateArea && q <= FLT_MAX)) {
            faceNormals[t].x = kDegenerateMark;
            continue;
        }

        // Unit normal and barycentric vectors
        const float s = 1.0f / q;
        faceNormals[t] = N * std::sqrt(s);
        const float d = dot(e1, e2) * s;
        baryU[t] = e1 * (dot(e2, e2) * s) - e2 * d;
        baryV[t] = e2 * (dot(e1, e1) * s) - e1 * d;

        // Triangle box: corners widened by 5 % of the extent, then the slab between the offsets
        const drSvec3& normal = faceNormals[t];
        drSvec3 lo, hi;
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(std::min(A[k], B[k]), C[k]);
            hi[k] = std::max(std::max(A[k], B[k]), C[k]);
            const float extent = hi[k] - lo[k];
            lo[k] -= 0.05f * extent;
            hi[k] += 0.05f * extent;
            const float o = lowerOffset * normal[k];
            if (o > 0.0f) hi[k] += o; else lo[k] += o;
            const float u = upperOffset * normal[k];
            if (u > 0.0f) hi[k] += u; else lo[k] += u;
        }
        growBox(boxMin, boxMax, lo, hi);
    }
}

bool drStriangleLeaf::boxContains(const drSvec3& p) const {
    // Written so that a NaN coordinate is outside.
    return p.x >= boxMin.x && p.x <= boxMax.x && p.y >= boxMin.y && p.y <= boxMax.y &&
           p.z >= boxMin.z && p.z <= boxMax.z;
}

bool drStriangleLeaf::pointQuery(const drSvec3& p, drSsurfaceHit& hit) const {
    if (positions == nullptr) return false;
    const size_t n = std::min(faceNormals.size(), static_cast<size_t>(triangleCount > 0 ? triangleCount : 0));
    for (size_t t = 0; t < n; ++t) {
        const drSvec3& normal = faceNormals[t];
        if (normal.x > 2.0f) continue;  // degenerate

        // Signed distance: only on or behind the front side, down to the lower offset
        const drStriangle& tri = triangles[t];
        const drSvec3 w = p - positions[tri[0]];
        const float d = dot(normal, w);
        if (!(d <= 0.0f && d >= lowerOffset)) continue;

        // Inside the widened triangle, bounds included
        const float u = dot(w, baryU[t]);
        if (!(u >= -kBaryMargin)) continue;
        const float v = dot(w, baryV[t]);
        if (!(v >= -kBaryMargin && u + v <= 1.05f)) continue;

        // Hit: depth and the surface's remaining motion at the contact
        hit.normal = normal;
        hit.depth = d - 0.05f * lowerOffset;
        const drSvec3 moveA = targetPositions[tri[0]] - positions[tri[0]];
        const drSvec3 moveB = targetPositions[tri[1]] - positions[tri[1]];
        const drSvec3 moveC = targetPositions[tri[2]] - positions[tri[2]];
        hit.motion = moveA * (1.0f - u - v) + moveB * u + moveC * v;
        return true;
    }
    return false;
}

bool drStriangleLeaf::pointIndexQuery(int32_t i, const drSvec3& p, drSindexHit& hit) const {
    if (positions == nullptr || !boxContains(p)) return false;
    const size_t n = std::min(faceNormals.size(), static_cast<size_t>(triangleCount > 0 ? triangleCount : 0));
    for (size_t t = 0; t < n; ++t) {
        const drSvec3& normal = faceNormals[t];
        if (normal.x > 2.0f) continue;  // degenerate

        // Signed distance within the band; a point never collides with its own triangles
        const drStriangle& tri = triangles[t];
        const drSvec3 w = p - positions[tri[0]];
        const float d = dot(normal, w);
        if (!(d >= lowerOffset && d <= upperOffset)) continue;
        if (i == tri[0] || i == tri[1] || i == tri[2]) continue;

        // Inside the widened triangle, two bounds strict
        const float u = dot(w, baryU[t]);
        if (!(u >= -kBaryMargin)) continue;
        const float v = dot(w, baryV[t]);
        if (!(v > -kBaryMargin && u + v < 1.05f)) continue;

        hit.distance = d;
        hit.normal = normal;
        hit.a = tri[0];
        hit.b = tri[1];
        hit.c = tri[2];
        hit.wa = 1.0f - u - v;
        hit.wb = u;
        hit.wc = v;
        return true;
    }
    return false;
}
