// Polygon adjacency of a mesh, for the plug-in's spring and seam builders.
#pragma once

#include "hostTypes.h"

#include <memory>
#include <vector>

struct CPolygon;
class BaseSelect;

/// Adjacency of one polygon, side k running from corner k to corner k + 1.
struct PolyInfo {
    Int32 face[4];  ///< polygon across side k, or NOTOK (border, or side 2 of a triangle)
    Int32 edge[4];  ///< index of side k's edge, or NOTOK for side 2 of a triangle
    Bool mark[4];   ///< true when an earlier side (of an earlier polygon or
                    ///< earlier in this one) already reported the edge, and
                    ///< for side 2 of a triangle
};

/// Edge table of a polygon mesh. Edges are numbered in the order in which
/// they are first reported (polygon by polygon, side by side).
class Neighbor {
public:
    Neighbor();
    ~Neighbor();
    Neighbor(const Neighbor&) = delete;
    Neighbor& operator=(const Neighbor&) = delete;

    /// Builds the table from pointCount points and polyCount polygons. With
    /// a selection, only the selected polygons take part (the others have no
    /// neighbours and report no edges). False (empty table) when a corner
    /// index lies outside [0, pointCount) or a count is negative.
    Bool Init(Int32 pointCount, const CPolygon* polygons, Int32 polyCount, const BaseSelect* bs = nullptr);
    /// Number of distinct edges.
    Int32 GetEdgeCount() const;
    /// Adjacency of polygon poly, or null when out of range.
    const PolyInfo* GetPolyInfo(Int32 poly) const;
    /// The polygon other than `poly` that has the edge (a, b), or NOTOK.
    Int32 GetNeighbor(Int32 a, Int32 b, Int32 poly) const;
    /// The polygons around point, ascending: *dadr and *dcnt (null and 0 for
    /// an unused or out-of-range point). The array belongs to the table.
    void GetPointPolys(Int32 point, Int32** dadr, Int32* dcnt) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
