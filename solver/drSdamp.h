// Damping: a drag against every point's velocity, independent of its mass.
#pragma once

#include <cstdint>

#include "drSforce.h"

class drSdamp : public drSforce {
public:
    int32_t typeId() const override { return 1; }
    int32_t phase() const override { return 1; }
    /// forces[i] -= damping * velocities[i]; split over points from the split size on.
    void apply(drScloth& cloth, drSsolver& solver) override;
    bool pointwise() const override { return true; }
    void applyPoints(drScloth& cloth, int32_t begin, int32_t end) override;

    float damping = 0.0001f;  ///< drag coefficient, force per unit of velocity
};
