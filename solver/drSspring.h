// A set of springs between point pairs: the cloth's stretch, shear and bend
// resistance (one set each, built from the mesh by buildSpringNetwork).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "drSforce.h"
#include "drSvec.h"

class drSspring : public drSforce {
public:
    int32_t typeId() const override { return 4; }
    int32_t phase() const override { return 1; }
    /// Adds the force of every spring: inline into cloth.forces, or split over
    /// the springs with job k adding into cloth.threadForceBuffers[k] when the
    /// pool has two or more workers and the cloth at least 301 points.
    void apply(drScloth& cloth, drSsolver& solver) override;

    /// Index of the first spring joining a and b (either way round), or -1.
    int32_t findSpring(int32_t a, int32_t b) const;
    /// Sets springCount and sizes the three arrays to it, keeping the leading entries.
    void resize(int32_t count);
    /// Appends the spring (a, b) with the given rest length and factor.
    void add(int32_t a, int32_t b, float restLength, float factor);

    int32_t springCount = 0;
    /// Point indices a, b of each spring; they must lie inside the cloth.
    std::vector<std::array<int32_t, 2>> springPairs;
    std::vector<float> restLengths;    ///< rest length of each spring, length units
    std::vector<float> springFactors;  ///< per-spring multiplier of stiffness and damping
    float stiffness = 0.001f;          ///< force per unit of elongation
    float damping = 0.0001f;           ///< force per unit of relative velocity

    /// Adds the forces of springs [begin, end) into `forces`.
    void applyRange(const drScloth& cloth, drSvec3* forces, int32_t begin, int32_t end) const;
};
