#include "drSdamp.h"

#include "drScloth.h"
#include "drSpointLanes.h"
#include "drSsolver.h"

void drSdamp::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drSdamp::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    drSaddDrag(damping, cloth.velocities.data(), cloth.forces.data(), begin, end);
}
