// Gravity: a constant acceleration on every point (its weight).
#pragma once

#include <cstdint>

#include "drSforce.h"
#include "drSvec.h"

class drSgravity : public drSforce {
public:
    int32_t typeId() const override { return 0; }
    int32_t phase() const override { return 1; }
    /// forces[i] += gravity * masses[i]; split over points from the split size on.
    void apply(drScloth& cloth, drSsolver& solver) override;
    bool pointwise() const override { return true; }
    void applyPoints(drScloth& cloth, int32_t begin, int32_t end) override;

    drSvec3 gravity = {0.0f, -9.81f, 0.0f};  ///< acceleration, length units per frame^2; y is up
};
