#include "drStriangleLeaf.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drStriangleRefit16.h"

namespace {

/// Smallest squared cross-product length of a triangle that is not degenerate.
constexpr float kDegenerateArea = 1e-15f;
/// Triangles per block.
constexpr int32_t kLanes = kBlockLanes;

void growBox(drSvec3& boxMin, drSvec3& boxMax, const drSvec3& lo, const drSvec3& hi) {
    for (int k = 0; k < 3; ++k) {
        boxMin[k] = std::min(boxMin[k], lo[k]);
        boxMax[k] = std::max(boxMax[k], hi[k]);
    }
}

drSfloat4 broadcast(float x) { return drSfloat4{x, x, x, x}; }
drSint4 broadcast(int32_t x) { return drSint4{x, x, x, x}; }

/// Lanes of a where the mask is set, else those of b.
drSfloat4 select(const drSint4& mask, const drSfloat4& a, const drSfloat4& b) {
    drSint4 ai, bi;
    std::memcpy(&ai, &a, sizeof ai);
    std::memcpy(&bi, &b, sizeof bi);
    const drSint4 r = (ai & mask) | (bi & ~mask);
    drSfloat4 out;
    std::memcpy(&out, &r, sizeof out);
    return out;
}

/// Square root lane by lane, correctly rounded like std::sqrt.
drSfloat4 squareRoot(const drSfloat4& x) {
#if defined(__SSE2__)
    return reinterpret_cast<drSfloat4>(_mm_sqrt_ps(reinterpret_cast<__m128>(x)));
#else
    drSfloat4 r;
    for (int32_t lane = 0; lane < kLanes; ++lane) r[lane] = std::sqrt(x[lane]);
    return r;
#endif
}

/// std::min(a, b) and std::max(a, b) lane by lane: b when b < a (b > a), else a.
drSfloat4 minOf(const drSfloat4& a, const drSfloat4& b) { return select(b < a, b, a); }
drSfloat4 maxOf(const drSfloat4& a, const drSfloat4& b) { return select(a < b, b, a); }

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

/// Every lane of a block.
const drSint4 allLanes = {-1, -1, -1, -1};

/// The self-collision test of one point against the triangles of a block:
/// not degenerate; signed distance within the band; not one of the point's
/// own triangles; inside the widened triangle, two bounds strict. Every scan
/// of the point goes through scan(), so a triangle is accepted or not the
/// same way whichever scan tests it.
struct IndexProbe {
    drSfloat4 px, py, pz, two, lower, upper, margin, far;
    drSint4 point;
    IndexProbe(int32_t i, const drSvec3& p, float lowerOffset, float upperOffset)
        : px(broadcast(p.x)), py(broadcast(p.y)), pz(broadcast(p.z)), two(broadcast(2.0f)),
          lower(broadcast(lowerOffset)), upper(broadcast(upperOffset)), margin(broadcast(-kBaryMargin)),
          far(broadcast(1.05f)), point(broadcast(i)) {}

    /// Fills `hit` from the first accepted lane among `lanes`; false when none is.
    bool scan(const drStriangleBlock& block, const drSint4& lanes, drSindexHit& hit) const {
        const BlockCoordinates at(block, px, py, pz);
        const drSint4 accepted = (block.normalX <= two) & (at.d >= lower) & (at.d <= upper) & (block.a != point) &
                                 (block.b != point) & (block.c != point) & (at.u >= margin) & (at.v > margin) &
                                 (at.u + at.v < far) & lanes;
        if (!anyLane(accepted)) return false;

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
};

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
    if (drSrefitBlocks16(blocks.data(), triangles, n, positions, lowerOffset, upperOffset, boxMin, boxMax)) return;

    // Four triangles at a time, one per lane. Every lane does the operations
    // of the one-triangle formulas in their order (square roots and
    // divisions are correctly rounded either way), so the data is the same
    // as triangle by triangle.
    const drSfloat4 mark = broadcast(kDegenerateMark), smallest = broadcast(kDegenerateArea),
                    largest = broadcast(FLT_MAX), one = broadcast(1.0f), widen = broadcast(0.05f),
                    zero = broadcast(0.0f), lower = broadcast(lowerOffset), upper = broadcast(upperOffset);
    for (size_t b = 0; b < blockCount; ++b) {
        drStriangleBlock& block = blocks[b];
        const int32_t first = static_cast<int32_t>(b) * kLanes;
        const int32_t used = std::min(kLanes, n - first);

        // Corners; idle lanes of the last block repeat its last triangle
        drSfloat4 corner[3][3];
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            const drStriangle& tri = triangles[first + std::min(lane, used - 1)];
            for (int v = 0; v < 3; ++v) {
                const drSvec3& p = positions[tri[v]];
                corner[v][0][lane] = p.x;
                corner[v][1][lane] = p.y;
                corner[v][2][lane] = p.z;
            }
        }
        const drSfloat4 *A = corner[0], *B = corner[1], *C = corner[2];

        // Edges and the squared area; degenerate (also non-finite) triangles are only marked
        const drSfloat4 e1x = B[0] - A[0], e1y = B[1] - A[1], e1z = B[2] - A[2];
        const drSfloat4 e2x = C[0] - A[0], e2y = C[1] - A[1], e2z = C[2] - A[2];
        const drSfloat4 Nx = e1y * e2z - e1z * e2y, Ny = e1z * e2x - e1x * e2z, Nz = e1x * e2y - e1y * e2x;
        const drSfloat4 q = Nx * Nx + Ny * Ny + Nz * Nz;
        const drSint4 live = drSint4{0, 1, 2, 3} < broadcast(used);
        const drSint4 fit = live & (q >= smallest) & (q <= largest);

        // Unit normal, barycentric vectors and corner A
        const drSfloat4 s = one / q;
        const drSfloat4 root = squareRoot(s);
        const drSfloat4 nx = Nx * root, ny = Ny * root, nz = Nz * root;
        const drSfloat4 d = (e1x * e2x + e1y * e2y + e1z * e2z) * s;
        const drSfloat4 k2 = (e2x * e2x + e2y * e2y + e2z * e2z) * s;
        const drSfloat4 k1 = (e1x * e1x + e1y * e1y + e1z * e1z) * s;
        block.normalX = select(fit, nx, select(live, mark, block.normalX));
        block.normalY = select(fit, ny, block.normalY);
        block.normalZ = select(fit, nz, block.normalZ);
        block.baryUX = select(fit, e1x * k2 - e2x * d, block.baryUX);
        block.baryUY = select(fit, e1y * k2 - e2y * d, block.baryUY);
        block.baryUZ = select(fit, e1z * k2 - e2z * d, block.baryUZ);
        block.baryVX = select(fit, e2x * k1 - e1x * d, block.baryVX);
        block.baryVY = select(fit, e2y * k1 - e1y * d, block.baryVY);
        block.baryVZ = select(fit, e2z * k1 - e1z * d, block.baryVZ);
        block.cornerX = select(fit, A[0], block.cornerX);
        block.cornerY = select(fit, A[1], block.cornerY);
        block.cornerZ = select(fit, A[2], block.cornerZ);

        // Triangle boxes: corners widened by 5 % of the extent, then the slab
        // between the offsets (min and max take their arguments in the order
        // of std::min(std::min(A, B), C), which matters for signed zeros)
        drSfloat4 lo[3], hi[3];
        const drSfloat4 normal[3] = {nx, ny, nz};
        for (int k = 0; k < 3; ++k) {
            lo[k] = minOf(minOf(A[k], B[k]), C[k]);
            hi[k] = maxOf(maxOf(A[k], B[k]), C[k]);
            const drSfloat4 extent = hi[k] - lo[k];
            lo[k] = lo[k] - widen * extent;
            hi[k] = hi[k] + widen * extent;
            const drSfloat4 o = lower * normal[k];
            const drSint4 oUp = o > zero;
            hi[k] = select(oUp, hi[k] + o, hi[k]);
            lo[k] = select(oUp, lo[k], lo[k] + o);
            const drSfloat4 u = upper * normal[k];
            const drSint4 uUp = u > zero;
            hi[k] = select(uUp, hi[k] + u, hi[k]);
            lo[k] = select(uUp, lo[k], lo[k] + u);
        }
        for (int32_t lane = 0; lane < used; ++lane) {
            if (fit[lane] == 0) continue;
            growBox(boxMin, boxMax, {lo[0][lane], lo[1][lane], lo[2][lane]}, {hi[0][lane], hi[1][lane], hi[2][lane]});
        }

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
    const IndexProbe probe(i, p, lowerOffset, upperOffset);
    for (const drStriangleBlock& block : blocks)
        if (probe.scan(block, allLanes, hit)) return true;
    return false;
}

bool drStriangleLeaf::pointIndexScanBlock(int32_t i, const drSvec3& p, int32_t block, uint32_t lanes,
                                          drSindexHit& hit) const {
    if (positions == nullptr || block < 0 || static_cast<size_t>(block) >= blocks.size()) return false;
    const drSint4 mask = {(lanes & 1u) ? -1 : 0, (lanes & 2u) ? -1 : 0, (lanes & 4u) ? -1 : 0, (lanes & 8u) ? -1 : 0};
    return IndexProbe(i, p, lowerOffset, upperOffset).scan(blocks[static_cast<size_t>(block)], mask, hit);
}
