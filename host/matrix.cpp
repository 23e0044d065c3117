#include "matrix.h"

#include <cmath>

Matrix operator~(const Matrix& m) {
    // Inverse of the 3 x 3 part by cofactors: its rows are the cross
    // products of pairs of axes divided by the determinant.
    const Float det = m.GetDeterminant();
    if (det == 0.0) return Matrix();
    const Vector r1 = Cross(m.v2, m.v3) / det;
    const Vector r2 = Cross(m.v3, m.v1) / det;
    const Vector r3 = Cross(m.v1, m.v2) / det;
    // Columns of the inverse are the x, y and z components of these rows.
    Matrix inv(Vector(), Vector(r1.x, r2.x, r3.x), Vector(r1.y, r2.y, r3.y), Vector(r1.z, r2.z, r3.z));
    inv.off = -inv.TransformVector(m.off);
    return inv;
}

Matrix MatrixMove(const Vector& t) {
    Matrix m;
    m.off = t;
    return m;
}

Matrix MatrixScale(const Vector& s) {
    return Matrix(Vector(), Vector(s.x, 0.0, 0.0), Vector(0.0, s.y, 0.0), Vector(0.0, 0.0, s.z));
}

Matrix MatrixScale(Float s) { return MatrixScale(Vector(s)); }

Matrix MatrixRotX(Float w) {
    const Float c = std::cos(w), s = std::sin(w);
    return Matrix(Vector(), Vector(1.0, 0.0, 0.0), Vector(0.0, c, s), Vector(0.0, -s, c));
}

Matrix MatrixRotY(Float w) {
    const Float c = std::cos(w), s = std::sin(w);
    return Matrix(Vector(), Vector(c, 0.0, -s), Vector(0.0, 1.0, 0.0), Vector(s, 0.0, c));
}

Matrix MatrixRotZ(Float w) {
    const Float c = std::cos(w), s = std::sin(w);
    return Matrix(Vector(), Vector(c, s, 0.0), Vector(-s, c, 0.0), Vector(0.0, 0.0, 1.0));
}
