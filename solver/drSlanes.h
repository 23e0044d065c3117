// The spring formula over many springs at once, in the widest vector lanes
// the processor offers (16, 8 or 4 floats), chosen when first used.
//
// Every lane does exactly the scalar operations in the written order, and
// the build never fuses a multiply into an add (-ffp-contract=off); square
// roots and divisions are correctly rounded at every width. So every width
// gives the same bits, and the choice only changes the speed.
#pragma once

#include <array>
#include <cstdint>

/// Inputs and outputs of drSspringLanes: `count` springs in component arrays,
/// 64-byte aligned, count a multiple of drSlaneBlock.
struct drSspringLanesArgs {
    float* dx;           ///< in: x[b] - x[a]; out: the force's x
    float* dy;
    float* dz;
    const float* ux;     ///< v[b] - v[a]
    const float* uy;
    const float* uz;
    const float* rest;   ///< rest lengths (any alignment)
    const float* factor; ///< per-spring factors (any alignment)
    float stiffness;
    float damping;
    int32_t count;
};

/// Springs are handed over in multiples of this many.
constexpr int32_t drSlaneBlock = 16;

/// f = k d + c u with len = max(rest * 0.001, |d|), k = stiffness / len *
/// (len - rest) * factor (0 when len is 0), c = damping * factor.
void drSspringLanes(const drSspringLanesArgs& a);

/// Lane width in use: 16, 8, 4 or 1 (portable code).
int32_t drSlaneWidth();
/// Uses at most `width` lanes (tests compare the widths); 0 goes back to the
/// widest the processor has. Returns the width now in use.
int32_t drSsetLaneWidth(int32_t width);

/// Inputs and outputs of drSspringsFromPoints: `count` springs (a multiple
/// of 16) read straight from the points, every end below the last point
/// (a point is read as 16 bytes, one float past it).
struct drSspringPointsArgs {
    const float* x;           ///< positions, 3 floats per point
    const float* v;           ///< velocities, 3 floats per point
    const int32_t* pairs;     ///< a and b per spring, as they stand now
    const int32_t* offsets;   ///< byte offsets of points a and b per spring, from the pairs as they were
    const float* rest;
    const float* factor;
    float stiffness;
    float damping;
    float* out;               ///< per spring x, y, z of the force on a, then 0
    int32_t count;
    /// Index of the first spring in its set, and for the 32 springs from
    /// each multiple of 16 (spring 16w for entry w, counted from spring 0)
    /// 6 values: the four ends of their two interleaved runs of consecutive
    /// points (drSinterleavedRuns), -1 first where they are not, then the
    /// tracks (drSspringTracks) the two runs write their forces to instead
    /// of the slots, -1s where they go to the slots; may be null.
    int32_t first = 0;
    const int32_t* interleaved = nullptr;
    /// With tracks, may be null: each track's point 0, and per spring
    /// (counted as `pairs`) where its force goes in `trackData`, or -1. A
    /// spring with a place that is computed into its slot is stored there too.
    float* const* trackBases = nullptr;
    const int32_t* trackPlaces = nullptr;
    float* trackData = nullptr;
    /// With tracks, may be null: per 16 springs from each multiple of 16
    /// (as `interleaved`), the ends of two interleaved runs of 8 that they
    /// are and the tracks of the runs, 6 values (-1 first where they are not).
    const int32_t* halves = nullptr;
    /// Whether each run first checks its pairs (see drSspringsFromPoints);
    /// false where the caller knows they are those the lists were built from.
    bool check = true;
    /// Without the check, may be null: per 16 springs from each multiple of
    /// 16 (as `interleaved`), 1 when they all have the same rest length and
    /// factor (bit for bit), which are then in `sharedValues` (2 per 16):
    /// runs whose springs share them take them from there.
    const uint8_t* shared = nullptr;
    const float* sharedValues = nullptr;
};

/// The same formula as drSspringLanes on springs read from the points, 16
/// at a time, with no copies in between. Only while drSlaneWidth() is 16.
/// Each run of 16 first checks (with `check`) that its pairs still give its
/// offsets (and lie below drSpointOffsetLimit); returns the number of
/// springs computed, short of `count` at the first run whose pairs have changed.
int32_t drSspringsFromPoints(const drSspringPointsArgs& a);

/// Whether the 32 springs from `pairs` are two interleaved runs: springs 2m
/// and 2m + 1 (m = 0 to 15) join points a0 + m and b0 + m, and a1 + m and
/// b1 + m. Grids give such springs (along their rows, columns and
/// diagonals), and drSspringsFromPoints reads each run's 16 points with
/// three vector loads and checks its pairs against the four ends.
bool drSinterleavedRuns(const std::array<int32_t, 2>* pairs, int32_t count = 32);

/// Point indices below this have 32-bit byte offsets.
constexpr uint32_t drSpointOffsetLimit = 0x7FFFFFFFu / 12u;
