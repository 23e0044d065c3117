// Every point adds the forces of its springs, in spring order, from the
// slots the springs computed: one slot per spring holds the force on its
// first end, and the second end adds its negative. Likewise every point's
// normal is the sum of its triangles' area vectors, in triangle order.
//
// With 16 lanes, four consecutive points whose springs count the same add
// side by side in one vector (a point per 128-bit quarter): their lists are
// laid out row by row, a row holding the e-th spring of each of the four.
// Every point still adds exactly its own terms in its own order.
#pragma once

#include <cstdint>
#include <vector>

#include "drSvec.h"

struct drSgatherGroups {
    /// Per group of points 4g to 4g + 3: its first row, or -1 when its
    /// points add one by one (counts that differ, none, or fewer than four points).
    std::vector<int32_t> firstRow;
    std::vector<int32_t> rowCount;
    /// Per row, per point of the group: the slot's byte offset.
    std::vector<int32_t> rowOffsets;
    /// Per row: the lanes (four per point) that add the negative.
    std::vector<uint16_t> rowNegative;

    /// From per-point lists (entries of point i: entries[start[i]] up to
    /// entries[start[i + 1]]; entry K s + c: slot s, corner c), where corner
    /// 1 adds the negative when `secondNegative`. Slot `padSlot` must hold
    /// negative zeros (drSpadSlot) when the points gather: a point of a group
    /// with fewer entries than the others adds it in their place, which
    /// changes no sum, not even a zero's sign.
    void build(int32_t pointCount, const int32_t* start, const int32_t* entries, int32_t K, bool secondNegative,
               int32_t padSlot);
};

/// The padding slot's value: x + (-0) is x for every x.
constexpr drSvec4 drSpadSlot{-0.0f, -0.0f, -0.0f, -0.0f};

/// forces[i] += the terms of point i's entries, for points [begin, end).
void drSgatherSpringForces(const int32_t* start, const int32_t* entries, const drSgatherGroups& groups,
                           const drSvec4* slots, drSvec3* forces, int32_t begin, int32_t end);

/// normals[i] = the sum of the slots of point i's entries (entry 3t + c:
/// slot t), from zero, for points [begin, end).
void drSgatherNormals(const int32_t* start, const int32_t* entries, const drSgatherGroups& groups,
                      const drSvec4* slots, drSvec3* normals, int32_t begin, int32_t end);
