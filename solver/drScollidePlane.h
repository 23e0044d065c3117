// Infinite one-sided plane collider.
#pragma once

#include "drSforce.h"
#include "drSvec.h"

/// Keeps the cloth above a plane. The host places the plane once per frame
/// (the target); during the sub-steps the current plane travels towards it
/// so that it arrives at the solver's targetTime.
class drScollidePlane : public drSforce {
public:
    /// Snaps the current plane onto the target plane; the time is not used.
    void reset(float time) override;
    int32_t typeId() const override { return 10; }
    int32_t phase() const override { return 2; }
    /// Moves the current plane towards the target, then corrects every point
    /// below the plane or within thickness above it. Splits the points over
    /// the pool when it has T >= 2 workers and the cloth at least the split size (drSparallelClothPoints).
    void apply(drScloth& cloth, drSsolver& solver) override;
    bool pointwise() const override { return true; }
    /// Moves the current plane one sub-step towards the target.
    void beginPoints(drScloth& cloth, drSsolver& solver) override;
    void applyPoints(drScloth& cloth, int32_t begin, int32_t end) override;

    float friction = 0.0f;     ///< friction coefficient
    float damping = 0.0001f;   ///< velocity damping factor of points in contact
    float thickness = 0.01f;   ///< width of the contact band above the plane (length units)
    drSvec3 targetPoint{};     ///< a point of the plane as placed by the host
    drSvec3 currentPoint{};    ///< the point used by the current sub-step
    /// Plane normal as placed by the host (its Y axis, may carry the object's
    /// scale); the contact pass uses its direction only.
    drSvec3 targetNormal{0.0f, 0.0f, 1.0f};
    drSvec3 currentNormal{0.0f, 0.0f, 1.0f};  ///< the normal used by the current sub-step

private:
    drSvec3 unitNormal_{};  ///< currentNormal made unit length
    bool defined_ = false;  ///< false for a zero normal: no plane, no contact
};
