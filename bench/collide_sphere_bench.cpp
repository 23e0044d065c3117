// One sub-step of a 101 x 101 cloth draped over a sphere, with the collider
// and without it, and the sphere's contact pass alone; 1 and 2 workers.
// Reported as ns per cloth point per sub-step (the "ns/point" counter).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "benchCloth.h"
#include "drScollideSphere.h"

namespace {

/// The cloth, its springs, gravity and a sphere under its middle. The grid
/// is shaped as a cap lying on the sphere (half a unit above its surface,
/// inside the contact band) with a flat skirt around it, and the springs
/// rest in that shape: about half of the points are in contact.
struct Scene : BenchCloth {
    drScollideSphere sphere;

    explicit Scene(bool withSphere) : BenchCloth(101, 1.0) {
        // Shape the grid over the sphere; rest lengths are measured on it.
        const double r = 40.0, cx = 50.0, cz = 50.0;
        for (int32_t i = 0; i < grid.pointCount(); ++i) {
            const double dx = grid.points[3 * i] - cx, dz = grid.points[3 * i + 2] - cz;
            const double hSq = dx * dx + dz * dz;
            grid.points[3 * i + 1] = (hSq < r * r ? std::sqrt(r * r - hSq) : 0.0) + 0.5;
        }
        build(1.0f, [this](int32_t i) { return gridPoint(i); });
        stretch.stiffness = shear.stiffness = bend.stiffness = 0.5f;
        sphere.radius = 40.0f;
        sphere.thickness = 1.0f;
        sphere.friction = 0.1f;
        sphere.damping = 0.001f;
        sphere.targetCentre = {50.0f, 0.0f, 50.0f};
        sphere.reset(0.0f);
        if (withSphere) solver.addForce(&sphere);
        solver.tolerance = 0.1f;
        solver.maxStep = 0.5f;
        solver.targetTime = 1e6f;
    }
};

void runWithPool(benchmark::State& state, bool withSphere, bool contactOnly) {
    BenchPool pool(state.range(0));
    Scene scene(withSphere);
    // Let the cloth settle onto the sphere for a few sub-steps, then time
    // sub-steps from that same state: the state is restored (untimed)
    // before every iteration, so the contact share stays the same.
    for (int s = 0; s < 5; ++s) scene.subStep();
    const drScloth start = scene.cloth;
    const drSsolver clock = scene.solver;
    for (auto _ : state) {
        state.PauseTiming();
        scene.cloth.positions = start.positions;
        scene.cloth.velocities = start.velocities;
        scene.solver.step = clock.step;
        scene.solver.time = clock.time;
        scene.sphere.reset(0.0f);
        state.ResumeTiming();
        if (contactOnly)
            scene.sphere.apply(scene.cloth, scene.solver);
        else
            scene.subStep();
        benchmark::ClobberMemory();
    }
    scene.cloth = start;
    const double points = static_cast<double>(scene.cloth.pointCount);
    // Share of the points in the sphere's contact band.
    const float band = scene.sphere.radius + scene.sphere.thickness;
    int32_t inBand = 0;
    for (const drSvec3& p : scene.cloth.positions)
        inBand += lengthSquared(p - scene.sphere.currentCentre) < band * band ? 1 : 0;
    state.counters["contact"] = static_cast<double>(inBand) / points;
    state.counters["ns/point"] = perPointCounter(scene.cloth.pointCount, 1e-9);
}

void subStepWithSphere(benchmark::State& state) { runWithPool(state, true, false); }
void subStepWithoutSphere(benchmark::State& state) { runWithPool(state, false, false); }
void sphereContactPassOnly(benchmark::State& state) { runWithPool(state, true, true); }

}  // namespace

BENCHMARK(subStepWithoutSphere)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(subStepWithSphere)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(sphereContactPassOnly)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
