#include "drSgravity.h"

#include "drScloth.h"
#include "drSpointLanes.h"
#include "drSsolver.h"

void drSgravity::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drSgravity::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    drSaddWeights(gravity, cloth.masses.data(), cloth.forces.data(), begin, end);
}
