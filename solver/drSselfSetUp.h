// The set-up of a leaf's triangles for the self collision search, exposed
// for the tests that compare its 16-lane and plain paths bit for bit.
#pragma once

#include <cstdint>
#include <vector>

#include "drStriangleLeaf.h"
#include "drSvec.h"

/// Sets the triangles tri[0, count) of one leaf up as the search does for a
/// band `tau`: by the plain path (0), the 16-lane one gathering every
/// triangle's corners (1), or the 16-lane one reading them from the leaf's
/// corners (2; as 1 for a leaf of more than 32 corners). Per triangle, 26
/// values (its box of reach, whether it is well shaped, the exact test's
/// frame) into `values` and the 6 float bounds it tests points against
/// into `bounds`; both empty for a path the processor does not have.
void drSselfSearchSetUp(const drSvec3* positions, const drStriangle* tri, int32_t count, float tau, int32_t path,
                        std::vector<double>& values, std::vector<float>& bounds);
