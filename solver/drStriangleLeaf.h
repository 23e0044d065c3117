// Leaf of the triangle octree: a run of triangles with the per-triangle data
// that the point queries need, recomputed from the current corner positions at
// every refit.
//
// Barycentric vectors: for a triangle A, B, C with e1 = B - A, e2 = C - A and
// q = |e1 x e2|^2 = |e1|^2 |e2|^2 - (e1 . e2)^2, the projection of a point p
// onto the triangle's plane is A + u e1 + v e2 with
//   u = (p - A) . baryU,  baryU = (e1 |e2|^2 - e2 (e1 . e2)) / q
//   v = (p - A) . baryV,  baryV = (e2 |e1|^2 - e1 (e1 . e2)) / q
// (solve the 2x2 Gram system of (p - A) . e1 and (p - A) . e2).
//
// The queries read corner A from the leaf's copy taken at the last refit:
// the owner refits after every change of the positions and before querying.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "drSvec.h"

/// Corner indices a, b, c of one triangle.
using drStriangle = std::array<int32_t, 3>;

/// Normal x component that marks a degenerate triangle (a unit normal never has it).
constexpr float kDegenerateMark = 4.0f;
/// Triangles per block of a leaf's query data.
constexpr int32_t kBlockLanes = 4;
/// Barycentric margin by which a triangle is widened for the queries.
constexpr float kBaryMargin = 0.05f;

/// A contact found by pointQuery (mesh collision).
struct drSsurfaceHit {
    drSvec3 normal;  ///< unit face normal, (B - A) x (C - A) normalised
    float depth = 0.0f;  ///< signed distance minus 0.05 * lowerOffset; negative: push out by -depth
    drSvec3 motion;  ///< displacement of the surface at the contact until it reaches its targets
};

/// A contact found by pointIndexQuery (self collision).
struct drSindexHit {
    float distance = 0.0f;  ///< signed distance of the point from the triangle's plane
    drSvec3 normal;         ///< unit face normal
    int32_t a = 0, b = 0, c = 0;        ///< corner indices
    float wa = 0.0f, wb = 0.0f, wc = 0.0f;  ///< corner weights 1 - u - v, u, v
};

/// Four lanes of floats or integers, one per triangle of a block.
typedef float drSfloat4 __attribute__((vector_size(16)));
typedef int32_t drSint4 __attribute__((vector_size(16)));

/// Query data of four consecutive triangles of a leaf, one lane per triangle,
/// so that a scan reads each component of four triangles with one load and
/// tests them together. Lanes past the leaf's last triangle are marked
/// degenerate.
struct drStriangleBlock {
    drSfloat4 normalX, normalY, normalZ;  ///< unit normal; x = 4.0 marks a degenerate triangle
    drSfloat4 baryUX, baryUY, baryUZ;     ///< barycentric vector of u
    drSfloat4 baryVX, baryVY, baryVZ;     ///< barycentric vector of v
    drSfloat4 cornerX, cornerY, cornerZ;  ///< corner A as of the last refit
    drSint4 a, b, c;                      ///< corner indices; -1 in unused lanes
};


class drStriangleLeaf {
public:
    /// Recomputes normals, barycentric vectors and the box from `positions`.
    /// Allocates the per-triangle arrays on the first call.
    void refit();
    /// First triangle in stored order that `p` lies on or behind, down to
    /// lowerOffset, inside the triangle widened by 0.05 (bounds inclusive).
    bool pointQuery(const drSvec3& p, drSsurfaceHit& hit) const;
    /// First triangle in stored order, not having point `i` (at `p`) as a
    /// corner, with the signed distance in [lowerOffset, upperOffset] and the
    /// projection inside the widened triangle (two bounds strict).
    bool pointIndexQuery(int32_t i, const drSvec3& p, drSindexHit& hit) const;
    /// pointIndexQuery without the box test, for a walk that has already
    /// tested the node box (equal to this leaf's box after a refit).
    bool pointIndexScan(int32_t i, const drSvec3& p, drSindexHit& hit) const;
    /// pointIndexScan over the lanes `lanes` (bit k: lane k) of one block
    /// only: the same test, so a triangle is accepted here exactly when the
    /// scan of the whole leaf would accept it.
    bool pointIndexScanBlock(int32_t i, const drSvec3& p, int32_t block, uint32_t lanes, drSindexHit& hit) const;
    /// True when `p` lies in the closed box (false for a non-finite point).
    bool boxContains(const drSvec3& p) const;
    /// Unit normal of triangle t as of the last refit; x = 4.0 when degenerate.
    drSvec3 faceNormal(int32_t t) const;
    /// Barycentric vector of u of triangle t as of the last refit.
    drSvec3 baryU(int32_t t) const;
    /// Barycentric vector of v of triangle t as of the last refit.
    drSvec3 baryV(int32_t t) const;
    /// Number of triangles with data, 0 before the first refit.
    int32_t refittedCount() const { return blocks.empty() ? 0 : triangleCount; }

    int32_t triangleCount = 0;                  ///< number of triangles
    const drStriangle* triangles = nullptr;     ///< borrowed from the node's pending list
    const drSvec3* positions = nullptr;         ///< corner positions the triangles are tested against (borrowed)
    const drSvec3* targetPositions = nullptr;   ///< positions the owner moves toward (borrowed)
    drSvec3 boxMin{1e9f, 1e9f, 1e9f};           ///< union of the triangle boxes; empty is +1e9
    drSvec3 boxMax{-1e9f, -1e9f, -1e9f};        ///< empty is -1e9
    float upperOffset = 0.05f;                  ///< reach in front of a triangle (length units)
    float lowerOffset = -0.05f;                 ///< reach behind a triangle, negative (length units)
    std::vector<drStriangleBlock> blocks;       ///< per-triangle data, four triangles per block
};
