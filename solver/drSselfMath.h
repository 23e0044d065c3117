// Small pieces shared by the self collision candidate lists' passes: float
// bounds rounded outward, double vectors for the exact tests, the leaf
// bases, and the pool split of a pass.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "drSselfCandidates.h"
#include "drSvec.h"

namespace drSself {

/// Leaves from which the search runs on the pool.
constexpr int32_t kParallelLeaves = 64;
/// Points from which the motion check runs on the pool.
constexpr int32_t kParallelPoints = 4096;
/// Leaves with candidates from which their refit runs on the pool.
constexpr int32_t kParallelRefits = 16;
/// A search costs about this many point queries of the tree per point.
/// Measured on the 101 x 101 self drape: 1.0 searched too seldom once the
/// search ran in lanes; 0.18 to 0.35 were alike (whole runs 8 to 10 %
/// faster), 0.125 searched too often.
constexpr double kSearchCost = 0.25;
/// A mixed sub-step's own cost (the whole tree refitted, the points picked),
/// in point queries per point.
constexpr double kMixedCost = 0.06;

/// The next float above f (the same for -0 and +0; +infinity stays).
inline float floatAbove(float f) {
    if (f == 0.0f) return std::numeric_limits<float>::denorm_min();
    if (f == std::numeric_limits<float>::infinity()) return f;
    const uint32_t bits = std::bit_cast<uint32_t>(f);
    return std::bit_cast<float>(f > 0.0f ? bits + 1u : bits - 1u);
}
/// The smallest float at least x, and the largest at most x: a float p is
/// at least x exactly when it is at least floatAtLeast(x), and so on.
inline float floatAtLeast(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) < x ? floatAbove(f) : f;
}
inline float floatAtMost(double x) {
    const float f = static_cast<float>(x);
    return static_cast<double>(f) > x ? -floatAbove(-f) : f;
}


/// body(chunk, begin, end) over [0, count): split over the pool from `least` items on.
template <class Body>
void forRange(int32_t count, int32_t least, const Body& body) {
    drSselfForChunks(count, drSselfChunks(count, least), body);
}

/// True when p lies in the closed box [lo, hi] (false for a non-finite point).
inline bool inBox(const drSvec3& p, const drSvec3& lo, const drSvec3& hi) {
    return p.x >= lo.x && p.x <= hi.x && p.y >= lo.y && p.y <= hi.y && p.z >= lo.z && p.z <= hi.z;
}

struct Vec {
    double x, y, z;
    double operator[](int k) const { return k == 0 ? x : (k == 1 ? y : z); }
};
inline Vec toVec(const drSvec3& p) { return {p.x, p.y, p.z}; }
inline Vec operator-(const Vec& a, const Vec& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline double dotOf(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec crossOf(const Vec& a, const Vec& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline Vec scaled(const Vec& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
/// Half the diagonal of the box [lo, hi] (infinite for an empty box).
inline double halfDiagonal(const double* lo, const double* hi) {
    double sum = 0.0;
    for (int k = 0; k < 3; ++k) sum += (hi[k] - lo[k]) * (hi[k] - lo[k]);
    return 0.5 * std::sqrt(sum);
}

/// The orthonormal basis (u, v, w) of three points: u along X1 - X0, w
/// normal to their plane, v = w x u; written as u, v, w into `basis`.
/// False when the points are too close to a line for one.
inline bool orthonormal(const Vec& X0, const Vec& X1, const Vec& X2, double* basis) {
    const Vec e1 = X1 - X0;
    const Vec n = crossOf(e1, X2 - X0);
    const double l1 = dotOf(e1, e1), ln = dotOf(n, n);
    if (!(l1 > 0.0 && ln > 1e-6 * l1 * l1 && std::isfinite(l1) && std::isfinite(ln))) return false;
    const Vec u = scaled(e1, 1.0 / std::sqrt(l1)), w = scaled(n, 1.0 / std::sqrt(ln));
    const Vec v = crossOf(w, u);
    const double values[9] = {u.x, u.y, u.z, v.x, v.y, v.z, w.x, w.y, w.z};
    std::copy(values, values + 9, basis);
    return true;
}

}  // namespace drSself
