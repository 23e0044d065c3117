// Packed single-precision 3-vector of the simulation core.
//
// Every operation is written component by component in the order x, y, z and
// never fuses operations (the build uses -ffp-contract=off), so results are
// the same on every machine and in every run.
#pragma once

#include <cmath>
#include <cstdint>

struct drSvec3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    drSvec3& operator+=(const drSvec3& o) { x += o.x; y += o.y; z += o.z; return *this; }
    drSvec3& operator-=(const drSvec3& o) { x -= o.x; y -= o.y; z -= o.z; return *this; }
    drSvec3& operator*=(float s) { x *= s; y *= s; z *= s; return *this; }
    float& operator[](int k) { return (&x)[k]; }
    float operator[](int k) const { return (&x)[k]; }
};
static_assert(sizeof(drSvec3) == 12, "points are stored as packed triples of 32-bit floats");

inline drSvec3 operator+(const drSvec3& a, const drSvec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline drSvec3 operator-(const drSvec3& a, const drSvec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline drSvec3 operator-(const drSvec3& a) { return {-a.x, -a.y, -a.z}; }
inline drSvec3 operator*(const drSvec3& a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline drSvec3 operator*(float s, const drSvec3& a) { return {s * a.x, s * a.y, s * a.z}; }
inline bool operator==(const drSvec3& a, const drSvec3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

/// Dot product, summed x + y + z in that order.
inline float dot(const drSvec3& a, const drSvec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline drSvec3 cross(const drSvec3& a, const drSvec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float lengthSquared(const drSvec3& a) { return dot(a, a); }
inline float length(const drSvec3& a) { return std::sqrt(dot(a, a)); }

/// A 3-vector padded to 16 bytes (w unused) for results that the passes
/// gather with one aligned vector load.
struct alignas(16) drSvec4 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float w = 0.0f;
};
