// Matrix algebra, hierarchy matrices and document time.
#include "host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace {

/// Inverse of the 4 x 4 form of m by Gauss-Jordan elimination with partial
/// pivoting in long double: the reference for operator~.
Matrix referenceInverse(const Matrix& m) {
    long double a[3][7];
    const Vector cols[4] = {m.v1, m.v2, m.v3, m.off};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            const Vector& v = cols[c];
            a[r][c] = r == 0 ? v.x : r == 1 ? v.y : v.z;
        }
        for (int c = 0; c < 3; ++c) a[r][4 + c] = r == c ? 1.0L : 0.0L;
    }
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        for (int c = 0; c < 7; ++c) std::swap(a[col][c], a[pivot][c]);
        const long double p = a[col][col];
        for (int c = 0; c < 7; ++c) a[col][c] /= p;
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const long double f = a[r][col];
            for (int c = 0; c < 7; ++c) a[r][c] -= f * a[col][c];
        }
    }
    // a[.][4..6] is the inverse 3 x 3 part; a[.][3] is that inverse applied to off.
    Matrix inv;
    inv.v1 = Vector(double(a[0][4]), double(a[1][4]), double(a[2][4]));
    inv.v2 = Vector(double(a[0][5]), double(a[1][5]), double(a[2][5]));
    inv.v3 = Vector(double(a[0][6]), double(a[1][6]), double(a[2][6]));
    inv.off = -Vector(double(a[0][3]), double(a[1][3]), double(a[2][3]));
    return inv;
}

void expectNear(const Vector& a, const Vector& b, double tol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

void expectNear(const Matrix& a, const Matrix& b, double tol) {
    expectNear(a.off, b.off, tol);
    expectNear(a.v1, b.v1, tol);
    expectNear(a.v2, b.v2, tol);
    expectNear(a.v3, b.v3, tol);
}

}  // namespace

TEST(Matrix, InverseMatchesReferenceOnRandomMatrices) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    int checked = 0;
    for (int i = 0; i < 1000; ++i) {
        const Matrix m(Vector(u(rng), u(rng), u(rng)), Vector(u(rng), u(rng), u(rng)), Vector(u(rng), u(rng), u(rng)),
                       Vector(u(rng), u(rng), u(rng)));
        if (std::fabs(m.GetDeterminant()) < 1.0) continue;  // keep the condition moderate
        const Matrix inv = ~m;
        const Matrix ref = referenceInverse(m);
        // Relative to the size of the entries of the reference.
        const double scale = 1.0 + ref.off.GetLength() + ref.v1.GetLength() + ref.v2.GetLength() + ref.v3.GetLength();
        expectNear(inv, ref, 1e-9 * scale);
        expectNear(m * inv, Matrix(), 1e-9 * scale);
        ++checked;
    }
    EXPECT_GT(checked, 500);
}

TEST(Matrix, SingularInvertsToIdentity) {
    const Matrix flat(Vector(5, 6, 7), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 0));
    EXPECT_EQ(~flat, Matrix());
    const Matrix dependent(Vector(1, 2, 3), Vector(1, 2, 3), Vector(2, 4, 6), Vector(0, 0, 1));
    EXPECT_EQ(~dependent, Matrix());
    // Tiny but non-zero determinants are inverted, not treated as singular.
    const Matrix tiny = MatrixScale(1e-6);
    expectNear((~tiny).v1, Vector(1e6, 0, 0), 1e-3);
}

TEST(Matrix, ProductAppliesRightFactorFirstAndRotationsAreRightHanded) {
    const Matrix a = MatrixMove(Vector(10, 0, 0));
    const Matrix b = MatrixScale(Vector(2, 3, 4));
    expectNear((a * b) * Vector(1, 1, 1), Vector(12, 3, 4), 0.0);
    expectNear((b * a) * Vector(1, 1, 1), Vector(22, 3, 4), 0.0);
    const double q = std::numbers::pi / 2;
    expectNear(MatrixRotX(q) * Vector(0, 1, 0), Vector(0, 0, 1), 1e-15);
    expectNear(MatrixRotY(q) * Vector(0, 0, 1), Vector(1, 0, 0), 1e-15);
    expectNear(MatrixRotZ(q) * Vector(1, 0, 0), Vector(0, 1, 0), 1e-15);
    EXPECT_EQ(Cross(Vector(1, 0, 0), Vector(0, 1, 0)), Vector(0, 0, 1));
}

TEST(Matrix, WorldMatrixIsParentWorldTimesLocal) {
    BaseDocument* doc = BaseDocument::Alloc();
    BaseObject* parent = BaseObject::Alloc(Onull);
    BaseObject* child = BaseObject::Alloc(Onull);
    doc->InsertObject(parent);
    doc->InsertObject(child, parent);
    parent->SetMl(MatrixMove(Vector(0, 100, 0)) * MatrixScale(2.0));
    child->SetMl(MatrixMove(Vector(1, 0, 0)) * MatrixRotZ(std::numbers::pi / 2));
    // Child's local X axis rotated to +Y, then the parent scales and lifts.
    expectNear(child->GetMg() * Vector(1, 0, 0), Vector(2, 102, 0), 1e-12);
    child->SetMg(MatrixMove(Vector(4, 4, 4)));
    expectNear(child->GetMg().off, Vector(4, 4, 4), 1e-12);
    expectNear(child->GetMl().off, Vector(2, -48, 2), 1e-12);
    BaseDocument::Free(doc);
}

TEST(BaseTime, FrameIsTruncatedFloorRatio) {
    struct Case { double num, den; int fps; int frame; };
    const Case cases[] = {
        {0, 1, 30, 0}, {1, 1, 30, 30}, {7, 30, 30, 7}, {0.999, 1, 25, 24},
        {-3, 30, 30, -3}, {-1, 60, 30, 0}, {1, 0, 30, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BaseTime(c.num, c.den).GetFrame(c.fps), c.frame) << c.num << "/" << c.den;
}
