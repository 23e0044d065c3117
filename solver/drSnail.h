// Nail constraint: holds chosen cloth points on targets that move in a
// straight line towards where the host wants them at the end of the advance.
#pragma once

#include <cstdint>
#include <vector>

#include "drSforce.h"
#include "drSvec.h"

/// Holds cloth points on moving targets, hard or through a damped spring.
///
/// Hard mode (elastic == 0): apply() erases the whole force on every
/// constrained point and postStep() puts the point on its moving target with
/// the target's velocity. Elastic mode: apply() adds a damped spring towards
/// the moving target, scaled by the point's weight; postStep() does nothing.
///
/// The point indices are trusted: the caller (the host object) must keep
/// every entry of pointIndices inside [0, cloth.pointCount). A point may be
/// listed more than once (hard: the later entry wins; elastic: springs add).
class drSnail : public drSforce {
public:
    ~drSnail() override = default;

    /// Copies targets into currentTargets; the time is not used.
    void reset(float time) override;
    int32_t typeId() const override { return 5; }
    int32_t phase() const override { return 3; }
    /// Force pass: hard mode clears the forces, elastic mode adds the springs.
    void apply(drScloth& cloth, drSsolver& solver) override;
    /// Hard mode only: moves each point onto its target and gives it the
    /// target's velocity.
    void postStep(drScloth& cloth, drSsolver& solver) override;

    /// Sets count to n and resizes every per-point array to n entries,
    /// keeping the first min(old, new) entries; new entries are zero until
    /// the caller writes them. A negative n counts as 0.
    virtual void setCount(int32_t n);

    int32_t count = 0;                  ///< number of constrained points
    std::vector<int32_t> pointIndices;  ///< cloth point index of each entry
    /// Where each point has to be at the solver's targetTime (length units).
    std::vector<drSvec3> targets;
    int32_t elastic = 0;       ///< 0 = hard, any other value = elastic
    float stiffness = 0.0f;    ///< elastic spring factor (force per length unit)
    float damping = 0.0f;      ///< elastic velocity factor (force per unit of velocity)
    std::vector<float> weights;  ///< per-entry factor of the elastic mode
    /// The moving target of each entry: travels in a straight line from where
    /// it stands and reaches targets at targetTime.
    std::vector<drSvec3> currentTargets;

protected:
    /// Entries that every array really holds: count, bounded by the array
    /// sizes in case the caller changed count without setCount.
    int32_t usableCount() const;
};
