// Double-precision 3D vector of the host.
#pragma once

#include "hostTypes.h"

#include <cmath>

/// A point or direction: x, y, z in double precision (y is up).
struct Vector {
    Float x = 0.0, y = 0.0, z = 0.0;

    /// The zero vector.
    constexpr Vector() = default;
    /// All three components equal to v.
    constexpr explicit Vector(Float v) : x(v), y(v), z(v) {}
    /// The vector (x, y, z).
    constexpr Vector(Float x_, Float y_, Float z_) : x(x_), y(y_), z(z_) {}

    constexpr Vector operator+(const Vector& o) const { return {x + o.x, y + o.y, z + o.z}; }
    constexpr Vector operator-(const Vector& o) const { return {x - o.x, y - o.y, z - o.z}; }
    constexpr Vector operator-() const { return {-x, -y, -z}; }
    constexpr Vector operator*(Float s) const { return {x * s, y * s, z * s}; }
    constexpr Vector operator/(Float s) const { return {x / s, y / s, z / s}; }
    constexpr Vector& operator+=(const Vector& o) { x += o.x; y += o.y; z += o.z; return *this; }
    constexpr Vector& operator-=(const Vector& o) { x -= o.x; y -= o.y; z -= o.z; return *this; }
    constexpr Vector& operator*=(Float s) { x *= s; y *= s; z *= s; return *this; }
    constexpr Vector& operator/=(Float s) { x /= s; y /= s; z /= s; return *this; }
    constexpr bool operator==(const Vector& o) const { return x == o.x && y == o.y && z == o.z; }
    constexpr bool operator!=(const Vector& o) const { return !(*this == o); }

    /// Squared length.
    constexpr Float GetSquaredLength() const { return x * x + y * y + z * z; }
    /// Length.
    Float GetLength() const { return std::sqrt(GetSquaredLength()); }
    /// This vector scaled to length 1; the zero vector stays zero.
    Vector GetNormalized() const {
        const Float len = GetLength();
        return len > 0.0 ? *this / len : *this;
    }
};

/// s * v.
constexpr Vector operator*(Float s, const Vector& v) { return v * s; }
/// Dot product.
constexpr Float Dot(const Vector& a, const Vector& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
/// Cross product a x b (right-handed formula).
constexpr Vector Cross(const Vector& a, const Vector& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
