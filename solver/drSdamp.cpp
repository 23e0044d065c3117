#include "drSdamp.h"

#include "drScloth.h"
#include "drSsolver.h"

namespace {

void addDrag(float damping, const drSvec3* velocities, drSvec3* forces, int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        forces[i].x -= damping * velocities[i].x;
        forces[i].y -= damping * velocities[i].y;
        forces[i].z -= damping * velocities[i].z;
    }
}

}  // namespace

void drSdamp::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drSdamp::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    addDrag(damping, cloth.velocities.data(), cloth.forces.data(), begin, end);
}
