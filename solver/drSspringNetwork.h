// Builds the cloth's three spring sets and its triangle list from a polygon mesh.
#pragma once

#include <cstdint>

#include "drScloth.h"
#include "drSedges.h"
#include "drSspring.h"

/// Fills the stretch set (one spring per mesh edge), the shear set (both
/// diagonals of every quadrilateral), the bend set (across every shared edge,
/// the corners on either side of it, each pair once) and the cloth's triangle
/// list (c0, c1, c2), plus (c0, c2, c3) for quadrilaterals.
/// `points` holds 3 doubles per point in the input object's own coordinates;
/// rest lengths are measured there. `edges` must be built from the same
/// polygons. A mesh with a corner outside [0, pointCount) leaves all three
/// sets and the triangle list empty.
void buildSpringNetwork(int32_t pointCount, const double* points, const drSpolygon* polygons, int32_t polygonCount,
                        const drSedges& edges, drSspring& stretch, drSspring& shear, drSspring& bend,
                        drScloth& cloth);
