// The set-up of a leaf's triangles for the self collision search: per
// triangle, the box within which it may accept a point while the lists
// hold, whether its float test is trusted to the margin, the frame of the
// exact test, and the float box it tests points against. In blocks of
// eight triangles, made in 8 lanes of doubles where the processor has
// them, with the same bits as one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "drStriangleLeaf.h"
#include "drSvec.h"

namespace drSself {

/// The 16-lane set-up of a leaf of at most this many corners takes them
/// once into two vectors per axis and picks its triangles' corners from
/// them by their places (slots, 3 per triangle); the corners of a larger
/// leaf are gathered per triangle.
constexpr int32_t kSlotCorners = 32;

// Per-triangle values of a leaf, in blocks of eight triangles: value f of
// triangle t at [(t / 8) * kFields * 8 + f * 8 + t % 8], so that eight
// triangles are set up in one pass of 8-lane vectors.
constexpr int32_t kBlock = 8;
enum : int32_t {
    kBoxLo = 0,       ///< the box of reach (3), then
    kBoxHi = 3,       ///< its upper corner (3)
    kShaped = 6,      ///< 1 when the float test is trusted to the margin
    kCornerA = 7,     ///< the frame of the exact test: corner A (3),
    kEdge1 = 10,      ///< B - A (3),
    kEdge2 = 13,      ///< C - A (3),
    kNormal = 16,     ///< their cross product N (3),
    kEdge1Sq = 19,    ///< |B - A|^2,
    kEdge2Sq = 20,    ///< |C - A|^2,
    kEdgesDot = 21,   ///< (B - A).(C - A),
    kReachN = 22,     ///< the reach times |N|,
    kULeast = 23,     ///< and the bounds of the scaled coordinates (see the search)
    kVLeast = 24,
    kSumMost = 25,
    kFields = 26,
};
/// The values of triangle t (value f at [f * kBlock]).
inline const double* valuesOf(const double* values, int32_t t) {
    return values + static_cast<size_t>(t / kBlock) * kFields * kBlock + t % kBlock;
}
inline double* valuesOf(double* values, int32_t t) {
    return values + static_cast<size_t>(t / kBlock) * kFields * kBlock + t % kBlock;
}
/// Per triangle of a leaf, the float box it tests points against, in the
/// same blocks: lower corner at [k * kBlock], upper at [(3 + k) * kBlock].
constexpr int32_t kBoundFields = 6;
inline const float* boundsOf(const float* bounds, int32_t t) {
    return bounds + static_cast<size_t>(t / kBlock) * kBoundFields * kBlock + t % kBlock;
}
inline float* boundsOf(float* bounds, int32_t t) {
    return bounds + static_cast<size_t>(t / kBlock) * kBoundFields * kBlock + t % kBlock;
}

/// The corners of a leaf for the 16-lane set-up: its corners once each and
/// its triangles' slots (see listCorners), or no slots when they are not
/// to be read (the corners are then gathered per triangle).
struct LeafCorners {
    const int32_t* list = nullptr;
    int32_t count = 0;
    const uint8_t* slots = nullptr;
};

/// Lists the corners of the triangles [0, count) of leaf `leaf` once each,
/// in the order they first appear, into `corners`, and the places of every
/// triangle's corners among the leaf's into `slots` (3 per triangle; 255
/// for any place beyond). Per point scratch: stamps[c] is `leaf` once c is
/// listed for it, places[c] its place then.
void listCorners(const drStriangle* tri, int32_t count, int32_t leaf, int32_t* stamps, int32_t* places,
                 std::vector<int32_t>& corners, std::vector<uint8_t>& slots);

/// Sets the triangles [0, count) of a leaf up for the search into `values`
/// and `bounds` (grown as needed): in 8 lanes when `lanes` (the corners
/// below drSpointOffsetLimit), else one by one, the same either way. True
/// when every triangle is well shaped.
bool setUpLeaf(const drSvec3* positions, const drStriangle* tri, int32_t count, double rho, double far,
               bool lanes, const LeafCorners& corners, std::vector<double>& values,
               std::vector<float>& bounds);

}  // namespace drSself

/// For the tests: sets the triangles tri[0, count) of one leaf up as the
/// search does for a band `tau`, by the plain path (0), the 16-lane one
/// gathering every triangle's corners (1), or the 16-lane one reading them
/// from the leaf's corners (2; as 1 for a leaf of more than kSlotCorners
/// corners). Per triangle, its kFields values into `values` and its
/// kBoundFields bounds into `bounds`; both empty for a path the processor
/// does not have.
void drSselfSearchSetUp(const drSvec3* positions, const drStriangle* tri, int32_t count, float tau, int32_t path,
                        std::vector<double>& values, std::vector<float>& bounds);
