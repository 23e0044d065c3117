#include "drSdamp.h"

#include "drScloth.h"
#include "pool.h"

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
    (void)solver;
    const int32_t n = cloth.pointCount;
    if (n <= 0) return;
    const float c = damping;
    const drSvec3* velocities = cloth.velocities.data();
    drSvec3* forces = cloth.forces.data();
    if (poolWorkerCount() >= 2 && n >= kParallelClothPoints) {
        poolParallelFor(n, [&](int32_t, int32_t begin, int32_t end) { addDrag(c, velocities, forces, begin, end); });
        return;
    }
    addDrag(c, velocities, forces, 0, n);
}
