// Sphere collider.
#pragma once

#include "drSforce.h"
#include "drSvec.h"

/// Keeps the cloth outside a sphere. The host places the centre once per
/// frame (the target); during the sub-steps the current centre travels
/// towards it so that it arrives at the solver's targetTime.
class drScollideSphere : public drSforce {
public:
    /// Snaps the current centre onto the target; the time is not used.
    void reset(float time) override;
    int32_t typeId() const override { return 8; }
    int32_t phase() const override { return 2; }
    /// Moves the current centre towards the target, then corrects every point
    /// inside radius + thickness. Splits the points over the pool when it has
    /// T >= 2 workers and the cloth at least the split size (drSparallelClothPoints).
    void apply(drScloth& cloth, drSsolver& solver) override;
    bool pointwise() const override { return true; }
    /// Moves the current centre one sub-step towards the target.
    void beginPoints(drScloth& cloth, drSsolver& solver) override;
    void applyPoints(drScloth& cloth, int32_t begin, int32_t end) override;

    float friction = 0.0f;    ///< friction coefficient
    float damping = 0.0001f;  ///< velocity damping factor of points in contact
    float thickness = 0.01f;  ///< width of the contact band outside the sphere (length units)
    drSvec3 targetCentre{};   ///< centre as placed by the host
    drSvec3 currentCentre{};  ///< centre used by the current sub-step
    float radius = 1.0f;      ///< sphere radius (length units)
};
