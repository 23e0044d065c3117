// One sub-step of a 101 x 101 cloth (200 x 200 units) with and without self
// collision of the cloth itself, on 1 and 2 workers. The cloth has a gentle
// swell so that the tree has depth; the thickness is 0.5 (a quarter of the
// spacing). Reported: time per sub-step and per cloth point. The tree is
// built before the measurement, so a single iteration (as under an
// instruction counter) shows the cost of a steady sub-step.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "drScloth.h"
#include "drScollideSelf.h"
#include "drSedges.h"
#include "drSgravity.h"
#include "drSsolver.h"
#include "drSspringNetwork.h"
#include "drStriangleNode.h"
#include "grid.h"
#include "pool.h"

namespace {

struct Scene {
    GridMesh grid = makeGrid(101, 101, 2.0);
    drScloth cloth;
    drSsolver solver;
    drSspring stretch, shear, bend;
    drSgravity gravity;
    drStriangleNode tree;
    drScollideSelf collider;
    std::vector<drSvec3> startPositions;

    explicit Scene(bool withCollider) {
        drSedges edges;
        edges.build(grid.pointCount(), grid.polygons.data(), grid.polygonCount());
        cloth.pointCount = grid.pointCount();
        cloth.resizePoints();
        buildSpringNetwork(grid.pointCount(), grid.points.data(), grid.polygons.data(), grid.polygonCount(), edges,
                           stretch, shear, bend, cloth);
        for (int32_t i = 0; i < cloth.pointCount; ++i) {
            const float x = static_cast<float>(grid.points[3 * i]), z = static_cast<float>(grid.points[3 * i + 2]);
            cloth.positions[i] = {x, 5.0f * std::sin(0.05f * x) * std::cos(0.04f * z), z};
            cloth.masses[i] = 1.0f;
        }
        startPositions = cloth.positions;
        solver.addForce(&stretch);
        solver.addForce(&shear);
        solver.addForce(&bend);
        solver.addForce(&gravity);
        if (!withCollider) return;
        // The host builds the tree from the mesh, the cloth object lends it the positions
        tree.pointCount = cloth.pointCount;
        tree.setPositions(cloth.positions.data());
        for (const drSpolygon& p : grid.polygons) {
            tree.addTriangle(p.a, p.b, p.c);
            tree.addTriangle(p.a, p.c, p.d);
        }
        tree.setOffsets(0.5f, -0.5f);
        tree.refit();  // the one-time build is not part of a sub-step
        collider.tree = &tree;
        collider.pointCount = cloth.pointCount;
        collider.pointFlags = cloth.pointFlags.data();
        solver.addForce(&collider);
    }

    void subStep() {
        solver.time = 0.0f;
        solver.targetTime = 1.0f;
        prepareStep(cloth);
        applyForces(solver, cloth);
        integrate(solver, cloth, chooseStep(solver, cloth));
    }
    void restart() {
        std::copy(startPositions.begin(), startPositions.end(), cloth.positions.begin());
        for (drSvec3& v : cloth.velocities) v = {0, 0, 0};
        solver.step = 0.1f;
    }
};

template <class Body>
void measure(benchmark::State& state, bool withCollider, const Body& body) {
    poolSetProcessorCount(static_cast<int32_t>(state.range(0)));
    poolStart();
    {
        Scene scene(withCollider);
        for (auto _ : state) {
            state.PauseTiming();
            scene.restart();
            state.ResumeTiming();
            body(scene);
        }
        state.counters["per_point"] = benchmark::Counter(static_cast<double>(scene.cloth.pointCount),
                                                         benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
    }
    poolStop();
    poolSetProcessorCount(0);
}

void BM_SubStepWithoutSelfCollision(benchmark::State& state) {
    measure(state, false, [](Scene& s) { s.subStep(); });
}
void BM_SubStepWithSelfCollision(benchmark::State& state) {
    measure(state, true, [](Scene& s) { s.subStep(); });
}
/// The collider's apply alone (refit and point pass).
void BM_SelfCollisionApply(benchmark::State& state) {
    measure(state, true, [](Scene& s) { s.collider.apply(s.cloth, s.solver); });
}

}  // namespace

BENCHMARK(BM_SubStepWithoutSelfCollision)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SubStepWithSelfCollision)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SelfCollisionApply)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
