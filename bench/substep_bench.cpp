// One full sub-step of a square quad grid under its three spring sets,
// gravity and damping, in the order advanceTo runs the passes. Reports
// nanoseconds per point per sub-step ("ns/point").
#include <benchmark/benchmark.h>

#include <cstdint>

#include "drSdamp.h"
#include "drSgravity.h"
#include "drSsolver.h"
#include "drSspringNetwork.h"
#include "grid.h"
#include "pool.h"

namespace {

/// A hanging-free cloth of side x side points spaced 0.01 apart, with the
/// default spring constants, gravity and damping in the solver's list.
struct GridScene {
    drScloth cloth;
    drSsolver solver;
    drSspring stretch, shear, bend;
    drSgravity gravity;
    drSdamp damp;

    explicit GridScene(int32_t side) {
        const double spacing = 0.01;
        const GridMesh g = makeGrid(side, side, spacing);
        cloth.pointCount = g.pointCount();
        cloth.resizePoints();
        for (int32_t i = 0; i < cloth.pointCount; ++i) {
            cloth.positions[i] = {static_cast<float>(g.points[3 * i]), static_cast<float>(g.points[3 * i + 1]),
                                  static_cast<float>(g.points[3 * i + 2])};
            cloth.masses[i] = 0.01f;
        }
        drSedges edges;
        edges.build(g.pointCount(), g.polygons.data(), g.polygonCount());
        buildSpringNetwork(g.pointCount(), g.points.data(), g.polygons.data(), g.polygonCount(), edges, stretch, shear,
                           bend, cloth);
        shear.stiffness *= 0.5f;
        bend.stiffness *= 0.1f;
        for (drSforce* f : {static_cast<drSforce*>(&stretch), static_cast<drSforce*>(&shear),
                            static_cast<drSforce*>(&bend), static_cast<drSforce*>(&gravity),
                            static_cast<drSforce*>(&damp)})
            solver.addForce(f);
        solver.tolerance = static_cast<float>(0.001 * spacing * (side - 1));
        solver.maxStep = 0.5f;
    }

    void subStep() {
        if (solver.needNormals) computeNormals(cloth);
        prepareStep(cloth);
        applyForces(solver, cloth);
        const float dt = chooseStep(solver, cloth);
        integrate(solver, cloth, dt);
        for (drSforce* f : solver.forces)
            if (f->enabled) f->postStep(cloth, solver);
    }
};

/// Arguments: points per side, processors of the pool (1 runs inline).
void BM_SubStep(benchmark::State& state) {
    const int32_t side = static_cast<int32_t>(state.range(0));
    poolSetProcessorCount(static_cast<int32_t>(state.range(1)));
    poolStart();
    {
        GridScene scene(side);
        scene.solver.targetTime = 1.0e30f;  // never shorten a sub-step
        for (auto _ : state) {
            scene.subStep();
            benchmark::DoNotOptimize(scene.cloth.positions.data());
        }
        const double points = static_cast<double>(scene.cloth.pointCount);
        state.counters["ns/point"] =
            benchmark::Counter(points * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
        state.counters["workers"] = poolWorkerCount();
    }
    poolStop();
    poolSetProcessorCount(0);
}

BENCHMARK(BM_SubStep)->ArgsProduct({{101, 201}, {1, 2}})->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
