#include "drMath.h"

#include <cmath>

Matrix drInverse(const Matrix& m) {
    // Cofactors of the 3 x 3 part (columns v1, v2, v3), then the offset.
    const Vector& a = m.v1;
    const Vector& b = m.v2;
    const Vector& c = m.v3;
    const Float det = a.x * (b.y * c.z - c.y * b.z) - b.x * (a.y * c.z - c.y * a.z) +
                      c.x * (a.y * b.z - b.y * a.z);
    if (det == 0.0) return Matrix();
    const Float s = 1.0 / det;
    Matrix inv;
    inv.v1 = Vector((b.y * c.z - c.y * b.z) * s, -(a.y * c.z - c.y * a.z) * s, (a.y * b.z - b.y * a.z) * s);
    inv.v2 = Vector(-(b.x * c.z - c.x * b.z) * s, (a.x * c.z - c.x * a.z) * s, -(a.x * b.z - b.x * a.z) * s);
    inv.v3 = Vector((b.x * c.y - c.x * b.y) * s, -(a.x * c.y - c.x * a.y) * s, (a.x * b.y - b.x * a.y) * s);
    inv.off = -(inv.v1 * m.off.x + inv.v2 * m.off.y + inv.v3 * m.off.z);
    return inv;
}

Int32 evaluationFrame(BaseDocument* doc) {
    const BaseTime t = doc->GetTime();
    const Float den = std::floor(t.GetDenominator());
    if (den == 0.0) return 0;  // no valid time: count it as the start
    return static_cast<Int32>(std::trunc(std::floor(t.GetNumerator() * doc->GetFps()) / den));
}
