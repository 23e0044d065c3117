// The refit of a leaf's query data sixteen triangles (four blocks) at a
// time, where the processor has 16-lane vectors. Every lane does the
// operations of the four-lane refit in their order (square roots and
// divisions are correctly rounded in both), and the leaf's box grows by the
// triangles' boxes in triangle order, so the blocks and the box come out
// bit for bit the same.
#pragma once

#include <cstdint>

#include "drStriangleLeaf.h"

/// Refits the blocks of triangles [0, count) (allocated, their corner
/// indices set) from `positions`, and grows [boxMin, boxMax] by the box of
/// every triangle that is not degenerate. False, with nothing done, when
/// the 16 lanes are not in use (drSlaneWidth()).
bool drSrefitBlocks16(drStriangleBlock* blocks, const drStriangle* triangles, int32_t count, const drSvec3* positions,
                      float lowerOffset, float upperOffset, drSvec3& boxMin, drSvec3& boxMax);
