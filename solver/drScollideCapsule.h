// Capsule collider: a cylinder along local Z with hemispherical caps.
#pragma once

#include "drSforce.h"

/// Keeps the cloth outside a capsule placed by two matrices that the host
/// replaces at every evaluation; there is no motion within a frame.
class drScollideCapsule : public drSforce {
public:
    int32_t typeId() const override { return 19; }
    int32_t phase() const override { return 2; }
    /// Corrects every point within thickness of the surface, tested in the
    /// capsule's frame. Splits the points over the pool when it has T >= 2
    /// workers and the cloth at least the split size (drSparallelClothPoints).
    void apply(drScloth& cloth, drSsolver& solver) override;
    bool pointwise() const override { return true; }
    void applyPoints(drScloth& cloth, int32_t begin, int32_t end) override;

    /// Row-major 3x4: row r = (axis X_r, axis Y_r, axis Z_r, translation_r),
    /// so world = localToWorld * (x, y, z, 1).
    float localToWorld[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    /// Inverse of localToWorld, same layout.
    float worldToLocal[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
    float halfLength = 1.0f;  ///< half the cylinder's length along local Z
    float radius = 1.0f;      ///< radius of cylinder and caps (local units)
    float friction = 0.0f;    ///< friction coefficient
    float damping = 0.0f;     ///< velocity damping factor of points in contact
    float thickness = 0.01f;  ///< width of the contact band outside the surface
};
