// Edge table of a polygon mesh: the adjacency that the spring construction
// needs, shared by the core and the host's neighbour table.
//
// Polygons have four corners a, b, c, d; a triangle has c == d. Side k runs
// from corner k to corner k + 1 (mod 4). A side whose two ends are equal
// (side 2 of a triangle) is not an edge.
#pragma once

#include <cstdint>
#include <vector>

struct drSpolygon {
    int32_t a = 0, b = 0, c = 0, d = 0;
    int32_t operator[](int k) const { return (&a)[k & 3]; }
    bool isTriangle() const { return c == d; }
};
static_assert(sizeof(drSpolygon) == 16, "four 32-bit corner indices");

class drSedges {
public:
    /// Builds the table. Returns false (and leaves an empty table) when a
    /// corner index lies outside [0, pointCount).
    bool build(int32_t pointCount, const drSpolygon* polygons, int32_t polygonCount);
    /// Number of distinct edges (sides with two different ends).
    int32_t edgeCount() const;
    /// True when the edge of this side was already reported by an earlier
    /// side (of an earlier polygon, or earlier in the same polygon), and for
    /// sides that are not edges. Every edge is unreported on exactly one side.
    bool sideReported(int32_t polygon, int32_t side) const;
    /// The other polygon that has the edge (u, w), seen from `polygon`, or -1
    /// (border edge, degenerate side, or no such edge).
    int32_t neighbor(int32_t u, int32_t w, int32_t polygon) const;
    /// Polygons that use `point`, in ascending order (each once).
    const std::vector<int32_t>& pointPolygons(int32_t point) const;

private:
    /// One polygon side with two different ends, filed under its lower end.
    struct Side {
        int32_t high;  ///< the higher point index of the side's two ends
        int32_t side;  ///< polygon * 4 + side number
    };

    /// Index in sides_ of the first side of edge (low, high), or -1.
    int32_t findEdge(int32_t low, int32_t high) const;

    int32_t pointCount_ = 0;
    int32_t polygonCount_ = 0;
    int32_t edgeCount_ = 0;
    /// Sides grouped by their lower end (bucket of point i is
    /// [sideStart_[i], sideStart_[i + 1])), each bucket sorted by (high, side),
    /// so the sides of one edge are adjacent and in polygon order.
    std::vector<int32_t> sideStart_;
    std::vector<Side> sides_;
    /// One byte per polygon side (polygon * 4 + side): 1 when reported earlier
    /// or not an edge.
    std::vector<uint8_t> reported_;
    /// Per point, the polygons that use it, ascending.
    std::vector<std::vector<int32_t>> pointPolygons_;
};
