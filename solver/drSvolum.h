// Volume: keeps a closed cloth near a multiple of the volume it had when the
// simulation started, pushing every point along its area-weighted normal, and
// damps the velocity along the normal.
#pragma once

#include <cstdint>
#include <vector>

#include "drSforce.h"

class drSvolum : public drSforce {
public:
    int32_t typeId() const override { return 16; }
    int32_t phase() const override { return 1; }
    /// Forgets the reference volume; the next apply captures it again.
    void reset(float time) override;
    /// Measures the volume and adds the restoring and damping forces; the
    /// per-point part is split over points from the split size on.
    void apply(drScloth& cloth, drSsolver& solver) override;
    bool pointwise() const override { return true; }
    /// Measures the volume (over the pool from kVolumeBlock points) and sets
    /// up the push of this sub-step.
    void beginPoints(drScloth& cloth, drSsolver& solver) override;
    void applyPoints(drScloth& cloth, int32_t begin, int32_t end) override;

    /// Volume measure 0.5 * sum over i of (positions[i] - positions[0]) . normals[i]:
    /// proportional to the enclosed volume of a closed mesh, positive for
    /// outward normals. The terms are added in blocks of kVolumeBlock points,
    /// and the block sums in block order, whatever the number of workers.
    static float volumeMeasure(const drScloth& cloth);
    static constexpr int32_t kVolumeBlock = 4096;

    float pressure = 1.0f;          ///< strength of the volume-restoring force
    float volumeRatio = 1.0f;       ///< target volume as a multiple of the reference
    float normalDamping = 0.0001f;  ///< damping of the velocity along the normal
    float referenceVolume = 0.0f;   ///< volume measure at the first apply after reset; 0: not yet captured

private:
    float pushFactor_ = 0.0f;       ///< pressure factor along the normal in this sub-step
    bool pushing_ = false;          ///< false for a flat cloth (or no normals): no force
    std::vector<float> blockSums_;  ///< grow-only
};
