// Sew constraint: joins pairs of cloth points with a zero-length damped
// spring and puts both points of each pair on their midpoint after every
// integration.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "drSforce.h"

/// Pairs of cloth points pulled together and merged.
///
/// The point indices are trusted: the caller (the host sew object) must keep
/// every index inside [0, cloth.pointCount). A pair (a, a) is harmless.
class drSsew : public drSforce {
public:
    ~drSsew() override = default;

    int32_t typeId() const override { return 22; }
    int32_t phase() const override { return 1; }
    /// Adds stiffness * (p[b] - p[a]) + damping * (v[b] - v[a]) to a and
    /// subtracts it from b, pair by pair in index order.
    void apply(drScloth& cloth, drSsolver& solver) override;
    /// Moves both points of each pair onto their midpoint, pairs in index
    /// order (a point in several pairs is averaged again by each later pair).
    /// Velocities are kept.
    void postStep(drScloth& cloth, drSsolver& solver) override;

    int32_t count = 0;  ///< number of pairs in use
    /// Point indices (a, b) of each pair; holds at least count entries (the
    /// host may lower count without shrinking it).
    std::vector<std::array<int32_t, 2>> pairs;
    float stiffness = 0.001f;  ///< force per length unit of separation
    float damping = 0.0001f;   ///< force per unit of velocity difference

    /// Pairs used by the passes: count, bounded by the size of pairs.
    int32_t usableCount() const;
};
