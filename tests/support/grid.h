// Small mesh fixtures shared by tests and benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "drSedges.h"

/// A flat quad grid in the XZ plane: nx x nz points spaced `spacing` apart,
/// point (i, j) at index j * nx + i and position (i * spacing, 0, j * spacing).
/// Polygon of cell (i, j): (p(i, j), p(i, j + 1), p(i + 1, j + 1), p(i + 1, j)),
/// so the corner order gives normals along +Y.
struct GridMesh {
    int32_t nx = 0, nz = 0;
    std::vector<double> points;  ///< 3 doubles per point
    std::vector<drSpolygon> polygons;
    int32_t pointCount() const { return nx * nz; }
    int32_t polygonCount() const { return static_cast<int32_t>(polygons.size()); }
};

inline GridMesh makeGrid(int32_t nx, int32_t nz, double spacing = 1.0) {
    GridMesh g;
    g.nx = nx;
    g.nz = nz;
    g.points.reserve(static_cast<size_t>(nx) * nz * 3);
    for (int32_t j = 0; j < nz; ++j)
        for (int32_t i = 0; i < nx; ++i) {
            g.points.push_back(i * spacing);
            g.points.push_back(0.0);
            g.points.push_back(j * spacing);
        }
    auto p = [nx](int32_t i, int32_t j) { return j * nx + i; };
    for (int32_t j = 0; j + 1 < nz; ++j)
        for (int32_t i = 0; i + 1 < nx; ++i)
            g.polygons.push_back({p(i, j), p(i, j + 1), p(i + 1, j + 1), p(i + 1, j)});
    return g;
}
