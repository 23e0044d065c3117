// Pin constraint: a nail whose targets the host derives from a binding to
// another object's surface.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "drSnail.h"

/// The nail constraint plus, per entry, where the point was bound on the
/// target object's surface. The solver passes are the nail's; the binding is
/// written and read only by the host pin object. Indices are trusted as in
/// drSnail: the caller must filter them against the cloth's point count.
class drSpin : public drSnail {
public:
    int32_t typeId() const override { return 6; }
    /// As drSnail::setCount, also resizing the two binding arrays.
    void setCount(int32_t n) override;

    /// Per entry (u, v, h): the point's projection onto its bound triangle's
    /// plane is A + u (B - A) + v (C - A), h its signed distance along the
    /// triangle's unit normal (length units).
    std::vector<drSvec3> baryCoords;
    /// Per entry the corner indices (A, B, C) of the bound triangle in the
    /// target object's point array.
    std::vector<std::array<int32_t, 3>> boundTriangles;
};
