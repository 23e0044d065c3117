#include "drSgravity.h"

#include "drScloth.h"
#include "pool.h"

namespace {

/// Points of the cloth from which gravity is split over the pool: the size at
/// which the springs split, so that the passes around it keep each point on
/// the same processor (every point is added by one job: the same bits on
/// any number of workers).
constexpr int32_t kParallelPoints = 301;

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
    if (poolWorkerCount() >= 2 && n >= kParallelPoints) {
        poolParallelFor(n, [&](int32_t, int32_t begin, int32_t end) { addWeight(g, masses, forces, begin, end); });
        return;
    }
    addWeight(g, masses, forces, 0, n);
}
