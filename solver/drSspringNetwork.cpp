#include "drSspringNetwork.h"

#include <cmath>
#include <unordered_set>

namespace {

/// Rest length |P[a] - P[b]|: the differences are taken in double, converted
/// to float, then squared, summed and rooted in float.
float restLength(const double* points, int32_t a, int32_t b) {
    const double* pa = points + static_cast<size_t>(a) * 3;
    const double* pb = points + static_cast<size_t>(b) * 3;
    const float dx = static_cast<float>(pa[0] - pb[0]);
    const float dy = static_cast<float>(pa[1] - pb[1]);
    const float dz = static_cast<float>(pa[2] - pb[2]);
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

/// Order-free key of the point pair (a, b).
uint64_t pairKey(int32_t a, int32_t b) {
    const uint32_t lo = static_cast<uint32_t>(a < b ? a : b);
    const uint32_t hi = static_cast<uint32_t>(a < b ? b : a);
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

bool cornersInside(int32_t pointCount, const drSpolygon* polygons, int32_t polygonCount) {
    for (int32_t p = 0; p < polygonCount; ++p)
        for (int k = 0; k < 4; ++k)
            if (polygons[p][k] < 0 || polygons[p][k] >= pointCount) return false;
    return true;
}

}  // namespace

void buildSpringNetwork(int32_t pointCount, const double* points, const drSpolygon* polygons, int32_t polygonCount,
                        const drSedges& edges, drSspring& stretch, drSspring& shear, drSspring& bend,
                        drScloth& cloth) {
    // Start empty; a mesh that is not usable stays that way.
    stretch.resize(0);
    shear.resize(0);
    bend.resize(0);
    cloth.triangleCount = 0;
    cloth.resizeTriangles();
    if (polygonCount <= 0 || polygons == nullptr || points == nullptr ||
        !cornersInside(pointCount, polygons, polygonCount))
        return;

    // Stretch: every edge on the one side that reports it.
    const int32_t edgeCount = edges.edgeCount();
    stretch.resize(edgeCount);
    int32_t s = 0;
    for (int32_t p = 0; p < polygonCount; ++p) {
        const drSpolygon& c = polygons[p];
        for (int k = 0; k < 4; ++k) {
            if (edges.sideReported(p, k) || (k == 2 && c.isTriangle())) continue;
            if (s == edgeCount) break;  // a table built from other polygons
            stretch.springPairs[s] = {c[k], c[k + 1]};
            stretch.restLengths[s] = restLength(points, c[k], c[k + 1]);
            stretch.springFactors[s] = 1.0f;
            ++s;
        }
    }
    stretch.resize(s);

    // Shear: both diagonals of every quadrilateral.
    for (int32_t p = 0; p < polygonCount; ++p) {
        const drSpolygon& c = polygons[p];
        if (c.isTriangle()) continue;
        shear.add(c[0], c[2], restLength(points, c[0], c[2]), 1.0f);
        shear.add(c[1], c[3], restLength(points, c[1], c[3]), 1.0f);
    }

    // Bend: across every shared edge, the corners next to each end on either
    // side. The duplicate test asks a hash set of the pairs added so far; it
    // answers exactly as bend.findSpring(X, Y) >= 0 would, without the
    // quadratic search over the set.
    std::unordered_set<uint64_t> bendPairs;
    bendPairs.reserve(static_cast<size_t>(edgeCount) * 2);
    auto addBend = [&](int32_t X, int32_t Y) {
        if (X == Y || !bendPairs.insert(pairKey(X, Y)).second) return;
        bend.add(X, Y, restLength(points, X, Y), 1.0f);
    };
    for (int32_t p = 0; p < polygonCount; ++p) {
        const drSpolygon& cp = polygons[p];
        for (int k = 0; k < 4; ++k) {
            if (edges.sideReported(p, k)) continue;
            const int32_t A = cp[k], B = cp[k + 1];
            const int32_t q = edges.neighbor(A, B, p);
            if (q < 0 || q >= polygonCount) continue;
            const drSpolygon& cq = polygons[q];
            // The corner of q next to A that is not B, against the corner before A in p.
            int j = 0;
            while (j < 4 && cq[j] != A) ++j;
            if (j < 4) {
                int32_t Y = cq[j + 1];
                if (Y == B) Y = cq[j + 3];
                addBend(cp[k + 3], Y);
            }
            // The corner of q next to B that is not A, against the corner after B in p.
            j = 0;
            while (j < 4 && cq[j] != B) ++j;
            if (j < 4) {
                int32_t Y = cq[j + 1];
                if (Y == A) Y = cq[j + 3];
                addBend(cp[k + 2], Y);
            }
        }
    }

    // Triangles: (c0, c1, c2), and (c0, c2, c3) for a quadrilateral.
    int32_t triangleCount = 0;
    for (int32_t p = 0; p < polygonCount; ++p) triangleCount += polygons[p].isTriangle() ? 1 : 2;
    cloth.triangleCount = triangleCount;
    cloth.resizeTriangles();
    int32_t t = 0;
    for (int32_t p = 0; p < polygonCount; ++p) {
        const drSpolygon& c = polygons[p];
        cloth.triangles[t++] = {c[0], c[1], c[2]};
        if (!c.isTriangle()) cloth.triangles[t++] = {c[0], c[2], c[3]};
    }
}
