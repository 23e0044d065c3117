// Double-precision affine matrix of the host.
#pragma once

#include "vector.h"

/// An affine transform: offset `off` and axes `v1`, `v2`, `v3` (X, Y, Z).
/// M * p = off + v1 * p.x + v2 * p.y + v3 * p.z; A * B applies B first.
struct Matrix {
    Vector off{0.0, 0.0, 0.0};
    Vector v1{1.0, 0.0, 0.0};
    Vector v2{0.0, 1.0, 0.0};
    Vector v3{0.0, 0.0, 1.0};

    /// The identity.
    constexpr Matrix() = default;
    /// The matrix with this offset and these axes.
    constexpr Matrix(const Vector& off_, const Vector& v1_, const Vector& v2_, const Vector& v3_)
        : off(off_), v1(v1_), v2(v2_), v3(v3_) {}

    /// Transforms a point (offset included).
    constexpr Vector operator*(const Vector& p) const { return off + v1 * p.x + v2 * p.y + v3 * p.z; }
    /// Transforms a direction (offset left out).
    constexpr Vector TransformVector(const Vector& d) const { return v1 * d.x + v2 * d.y + v3 * d.z; }
    /// Composition: (A * B) * p = A * (B * p).
    constexpr Matrix operator*(const Matrix& b) const {
        return {*this * b.off, TransformVector(b.v1), TransformVector(b.v2), TransformVector(b.v3)};
    }
    constexpr bool operator==(const Matrix& o) const {
        return off == o.off && v1 == o.v1 && v2 == o.v2 && v3 == o.v3;
    }
    constexpr bool operator!=(const Matrix& o) const { return !(*this == o); }
    /// Determinant of the 3 x 3 part.
    constexpr Float GetDeterminant() const { return Dot(v1, Cross(v2, v3)); }
};

/// General inverse. When the determinant of the 3 x 3 part is exactly 0 the
/// result is the identity.
Matrix operator~(const Matrix& m);
/// Translation by t.
Matrix MatrixMove(const Vector& t);
/// Scaling of the three axes by s.x, s.y, s.z.
Matrix MatrixScale(const Vector& s);
/// Uniform scaling by s.
Matrix MatrixScale(Float s);
/// Rotation about the X axis by w radians (Y turns toward Z).
Matrix MatrixRotX(Float w);
/// Rotation about the Y axis by w radians (Z turns toward X).
Matrix MatrixRotY(Float w);
/// Rotation about the Z axis by w radians (X turns toward Y).
Matrix MatrixRotZ(Float w);
