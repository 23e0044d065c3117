#include "drSnail.h"

#include <algorithm>

#include "drScloth.h"
#include "drSsolver.h"

int32_t drSnail::usableCount() const {
    size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    n = std::min({n, pointIndices.size(), targets.size(), weights.size(), currentTargets.size()});
    return static_cast<int32_t>(n);
}

void drSnail::setCount(int32_t n) {
    count = n > 0 ? n : 0;
    const size_t size = static_cast<size_t>(count);
    pointIndices.resize(size);
    targets.resize(size);
    weights.resize(size);
    currentTargets.resize(size);
}

void drSnail::reset(float time) {
    (void)time;
    const int32_t n = usableCount();
    for (int32_t k = 0; k < n; ++k) currentTargets[k] = targets[k];
}

void drSnail::apply(drScloth& cloth, drSsolver& solver) {
    const int32_t n = usableCount();
    drSvec3* forces = cloth.forces.data();

    // Hard mode: the constrained points take no force at all.
    if (elastic == 0) {
        for (int32_t k = 0; k < n; ++k) forces[pointIndices[k]] = drSvec3{};
        return;
    }

    // Elastic mode: advance each moving target by the stored step h, then
    // pull the point towards it with a damped spring. r turns the remaining
    // distance into the target's velocity so that it arrives at targetTime.
    const float h = solver.step;
    const float r = 1.0f / (solver.targetTime - solver.time + h);
    const drSvec3* positions = cloth.positions.data();
    const drSvec3* velocities = cloth.velocities.data();
    for (int32_t k = 0; k < n; ++k) {
        const int32_t i = pointIndices[k];
        const float w = weights[k];
        const drSvec3 u = (targets[k] - currentTargets[k]) * r;
        const drSvec3 c = currentTargets[k] + u * h;
        currentTargets[k] = c;
        forces[i] += (c - positions[i]) * (w * stiffness) + (u - velocities[i]) * (w * damping);
    }
}

void drSnail::postStep(drScloth& cloth, drSsolver& solver) {
    if (elastic != 0) return;

    // Hard mode: the target moves by its velocity over the sub-step just
    // integrated (previousTime to time); the point is put on it.
    const float r = 1.0f / (solver.targetTime - solver.previousTime);
    const float d = solver.time - solver.previousTime;
    const int32_t n = usableCount();
    for (int32_t k = 0; k < n; ++k) {
        const int32_t i = pointIndices[k];
        const drSvec3 u = (targets[k] - currentTargets[k]) * r;
        cloth.velocities[i] = u;
        currentTargets[k] += u * d;
        cloth.positions[i] = currentTargets[k];
    }
}
