#include "drSgravity.h"

#include "drScloth.h"
#include "pool.h"

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
    (void)solver;
    const int32_t n = cloth.pointCount;
    if (n <= 0) return;
    const drSvec3 g = gravity;
    const float* masses = cloth.masses.data();
    drSvec3* forces = cloth.forces.data();
    if (poolWorkerCount() >= 2 && n >= kParallelClothPoints) {
        poolParallelFor(n, [&](int32_t, int32_t begin, int32_t end) { addWeight(g, masses, forces, begin, end); });
        return;
    }
    addWeight(g, masses, forces, 0, n);
}
