#include "drStriangleLeaf.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

/// Smallest squared cross-product length of a triangle that is not degenerate.
constexpr float kDegenerateArea = 1e-15f;
/// Triangles per block.
constexpr int32_t kLanes = 4;

void growBox(drSvec3& boxMin, drSvec3& boxMax, const drSvec3& lo, const drSvec3& hi) {
    for (int k = 0; k < 3; ++k) {
        boxMin[k] = std::min(boxMin[k], lo[k]);
        boxMax[k] = std::max(boxMax[k], hi[k]);
    }
}

drSfloat4 broadcast(float x) { return drSfloat4{x, x, x, x}; }
drSint4 broadcast(int32_t x) { return drSint4{x, x, x, x}; }

/// True when any lane of the mask is set.
bool anyLane(const drSint4& mask) {
    uint64_t half[2];
    std::memcpy(half, &mask, sizeof half);
    return (half[0] | half[1]) != 0;
}

/// Signed distance and barycentric coordinates of `p` for the four triangles
/// of a block, in the order of the scalar formulas: w = p - A, d = normal . w,
/// u = w . baryU, v = w . baryV.
struct BlockCoordinates {
    drSfloat4 d, u, v;
    BlockCoordinates(const drStriangleBlock& block, const drSfloat4& px, const drSfloat4& py, const drSfloat4& pz) {
        const drSfloat4 wx = px - block.cornerX;
        const drSfloat4 wy = py - block.cornerY;
        const drSfloat4 wz = pz - block.cornerZ;
        d = block.normalX * wx + block.normalY * wy + block.normalZ * wz;
        u = wx * block.baryUX + wy * block.baryUY + wz * block.baryUZ;
        v = wx * block.baryVX + wy * block.baryVY + wz * block.baryVZ;
    }
};

/// First set lane of a mask known to have one.
int32_t firstLane(const drSint4& mask) {
    int32_t k = 0;
    while (k < kLanes - 1 && mask[k] == 0) ++k;
    return k;
}

}  // namespace

void drStriangleLeaf::refit() {
    // Allocate the blocks (first refit): unused lanes stay degenerate
    const int32_t n = std::max(triangleCount, 0);
    const size_t blockCount = static_cast<size_t>((n + kLanes - 1) / kLanes);
    if (blocks.size() != blockCount) {
        drStriangleBlock empty{};
        empty.normalX = broadcast(kDegenerateMark);
        empty.a = empty.b = empty.c = broadcast(int32_t{-1});
        blocks.assign(blockCount, empty);
        for (int32_t t = 0; t < n; ++t) {
            drStriangleBlock& block = blocks[static_cast<size_t>(t / kLanes)];
            block.a[t % kLanes] = triangles[t][0];
            block.b[t % kLanes] = triangles[t][1];
            block.c[t % kLanes] = triangles[t][2];
        }
    }
    boxMin = {1e9f, 1e9f, 1e9f};
    boxMax = {-1e9f, -1e9f, -1e9f};
    if (positions == nullptr) return;

    for (int32_t t = 0; t < n; ++t) {
        drStriangleBlock& block = blocks[static_cast<size_t>(t / kLanes)];
        const int32_t lane = t % kLanes;
        const drSvec3& A = positions[triangles[t][0]];
        const drSvec3& B = positions[triangles[t][1]];
        const drSvec3& C = positions[triangles[t][2]];

        // Edges and the squared area; degenerate (also non-finite) triangles are only marked
        const drSvec3 e1 = B - A;
        const drSvec3 e2 = C - A;
        const drSvec3 N = cross(e1, e2);
        const float q = dot(N, N);
        if (!(q >= kDegenerateArea && q <= FLT_MAX)) {
            block.normalX[lane] = kDegenerateMark;
            continue;
        }

        // Unit normal, barycentric vectors and corner A
        const float s = 1.0f / q;
        const drSvec3 normal = N * std::sqrt(s);
        const float d = dot(e1, e2) * s;
        const drSvec3 bu = e1 * (dot(e2, e2) * s) - e2 * d;
        const drSvec3 bv = e2 * (dot(e1, e1) * s) - e1 * d;
        block.normalX[lane] = normal.x;
        block.normalY[lane] = normal.y;
        block.normalZ[lane] = normal.z;
        block.baryUX[lane] = bu.x;
        block.baryUY[lane] = bu.y;
        block.baryUZ[lane] = bu.z;
        block.baryVX[lane] = bv.x;
        block.baryVY[lane] = bv.y;
        block.baryVZ[lane] = bv.z;
        block.cornerX[lane] = A.x;
        block.cornerY[lane] = A.y;
        block.cornerZ[lane] = A.z;

        // Triangle box: corners widened by 5 % of the extent, then the slab between the offsets
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

drSvec3 drStriangleLeaf::faceNormal(int32_t t) const {
    const drStriangleBlock& block = blocks[static_cast<size_t>(t / kLanes)];
    return {block.normalX[t % kLanes], block.normalY[t % kLanes], block.normalZ[t % kLanes]};
}

drSvec3 drStriangleLeaf::baryU(int32_t t) const {
    const drStriangleBlock& block = blocks[static_cast<size_t>(t / kLanes)];
    return {block.baryUX[t % kLanes], block.baryUY[t % kLanes], block.baryUZ[t % kLanes]};
}

drSvec3 drStriangleLeaf::baryV(int32_t t) const {
    const drStriangleBlock& block = blocks[static_cast<size_t>(t / kLanes)];
    return {block.baryVX[t % kLanes], block.baryVY[t % kLanes], block.baryVZ[t % kLanes]};
}

bool drStriangleLeaf::boxContains(const drSvec3& p) const {
    // Written so that a NaN coordinate is outside.
    return p.x >= boxMin.x && p.x <= boxMax.x && p.y >= boxMin.y && p.y <= boxMax.y &&
           p.z >= boxMin.z && p.z <= boxMax.z;
}

// The scans test four triangles at a time and take the first lane that
// passes, which is the first accepted triangle in stored order. Every test
// is written as the comparison that accepts (a NaN fails it), and a
// degenerate lane fails the normal test, so the lanes agree with a scan of
// one triangle after the other.
bool drStriangleLeaf::pointQuery(const drSvec3& p, drSsurfaceHit& hit) const {
    if (positions == nullptr) return false;
    const drSfloat4 px = broadcast(p.x), py = broadcast(p.y), pz = broadcast(p.z);
    const drSfloat4 two = broadcast(2.0f), zero = broadcast(0.0f), lower = broadcast(lowerOffset);
    const drSfloat4 margin = broadcast(-kBaryMargin), far = broadcast(1.05f);
    for (const drStriangleBlock& block : blocks) {
        // Not degenerate; on or behind the front side down to the lower offset;
        // inside the widened triangle, bounds included
        const BlockCoordinates at(block, px, py, pz);
        const drSint4 accepted = (block.normalX <= two) & (at.d <= zero) & (at.d >= lower) & (at.u >= margin) &
                                 (at.v >= margin) & (at.u + at.v <= far);
        if (!anyLane(accepted)) continue;

        // Hit: depth and the surface's remaining motion at the contact
        const int32_t k = firstLane(accepted);
        const float u = at.u[k], v = at.v[k];
        const int32_t a = block.a[k], b = block.b[k], c = block.c[k];
        hit.normal = {block.normalX[k], block.normalY[k], block.normalZ[k]};
        hit.depth = at.d[k] - 0.05f * lowerOffset;
        const drSvec3 moveA = targetPositions[a] - positions[a];
        const drSvec3 moveB = targetPositions[b] - positions[b];
        const drSvec3 moveC = targetPositions[c] - positions[c];
        hit.motion = moveA * (1.0f - u - v) + moveB * u + moveC * v;
        return true;
    }
    return false;
}

bool drStriangleLeaf::pointIndexQuery(int32_t i, const drSvec3& p, drSindexHit& hit) const {
    if (!boxContains(p)) return false;
    return pointIndexScan(i, p, hit);
}

bool drStriangleLeaf::pointIndexScan(int32_t i, const drSvec3& p, drSindexHit& hit) const {
    if (positions == nullptr) return false;
    const drSfloat4 px = broadcast(p.x), py = broadcast(p.y), pz = broadcast(p.z);
    const drSfloat4 two = broadcast(2.0f), lower = broadcast(lowerOffset), upper = broadcast(upperOffset);
    const drSfloat4 margin = broadcast(-kBaryMargin), far = broadcast(1.05f);
    const drSint4 point = broadcast(i);
    for (const drStriangleBlock& block : blocks) {
        // Not degenerate; signed distance within the band; not one of the
        // point's own triangles; inside the widened triangle, two bounds strict
        const BlockCoordinates at(block, px, py, pz);
        const drSint4 accepted = (block.normalX <= two) & (at.d >= lower) & (at.d <= upper) & (block.a != point) &
                                 (block.b != point) & (block.c != point) & (at.u >= margin) & (at.v > margin) &
                                 (at.u + at.v < far);
        if (!anyLane(accepted)) continue;

        const int32_t k = firstLane(accepted);
        const float u = at.u[k], v = at.v[k];
        hit.distance = at.d[k];
        hit.normal = {block.normalX[k], block.normalY[k], block.normalZ[k]};
        hit.a = block.a[k];
        hit.b = block.b[k];
        hit.c = block.c[k];
        hit.wa = 1.0f - u - v;
        hit.wb = u;
        hit.wc = v;
        return true;
    }
    return false;
}
