#include "drSgravity.h"

#include "drScloth.h"
#include "drSsolver.h"

namespace {

void addWeight(const drSvec3& g, const float* masses, drSvec3* forces, int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const float m = masses[i];
        forces[i].x += g.x * m;
        forces[i].y += g.y * m;
        forces[i].z += g.z * m;
    }
}

}  // namespace

void drSgravity::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drSgravity::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    addWeight(gravity, cloth.masses.data(), cloth.forces.data(), begin, end);
}
