// Wind: a base vector plus a noisy variation, scaled by a noisy strength,
// pushing every point along its area-weighted normal.
//
// With a seed of 0 the wind draws a new random seed at every reset, so such a
// wind is not repeatable from run to run; any other seed is.
#pragma once

#include <cstdint>

#include "drSforce.h"
#include "drSvec.h"

class drSwind : public drSforce {
public:
    int32_t typeId() const override { return 3; }
    int32_t phase() const override { return 1; }
    /// Draws randomBase = rand(); the time is not used.
    void reset(float time) override;
    /// Adds the wind force at the solver's time; split over points from the split size on.
    void apply(drScloth& cloth, drSsolver& solver) override;
    bool pointwise() const override { return true; }
    /// Takes the wind vector at the solver's time.
    void beginPoints(drScloth& cloth, drSsolver& solver) override;
    void applyPoints(drScloth& cloth, int32_t begin, int32_t end) override;

    /// The wind vector at time t (frames), the same for every point.
    drSvec3 windAt(float t) const;

    drSvec3 windBase = {1.0f, 0.0f, 0.0f};       ///< wind vector without noise, force units
    drSvec3 windVariation = {0.0f, 0.0f, 0.1f};  ///< added to windBase, scaled by a noise in [-1, 1]
    float strengthVariation = 0.0f;              ///< amplitude of the strength noise
    float noisePeriod = 1.0f;                    ///< frames per noise interval; 0 switches the noise off
    /// > 0: acts only where the normal faces against the wind; < 0: only
    /// where it faces along it; 0: everywhere.
    int32_t sideMode = 1;
    int32_t seed = 0;        ///< noise seed; 0 draws a random one at every reset
    int32_t randomBase = 0;  ///< the seed drawn by the last reset

private:
    drSvec3 current_{};        ///< the wind of the current sub-step
    bool useNormals_ = false;  ///< the cloth has triangles and normals
};
