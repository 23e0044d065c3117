// One full sub-step of a square quad grid under its three spring sets,
// gravity and damping, in the order advanceTo runs the passes. Reports
// nanoseconds per point per sub-step ("ns/point").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "benchCloth.h"

namespace {

/// A hanging-free cloth of side x side points spaced 0.01 apart, with the
/// default spring constants, gravity and damping in the solver's list.
struct GridScene : BenchCloth {
    static constexpr double spacing = 0.01;

    explicit GridScene(int32_t side) : BenchCloth(side, spacing) {
        build(0.01f, [this](int32_t i) { return gridPoint(i); }, true);
        shear.stiffness *= 0.5f;
        bend.stiffness *= 0.1f;
        solver.tolerance = static_cast<float>(0.001 * spacing * (side - 1));
        solver.maxStep = 0.5f;
    }

    /// The sub-step with the normals before it and every force's postStep
    /// after it, as advanceTo runs them.
    void fullSubStep() { subStep(); }
};

/// Arguments: points per side, processors of the pool (1 runs inline).
/// Besides the mean, reports the 10th percentile and the median of the
/// single sub-steps ("p10 us", "median us"): on a machine whose other load
/// comes and goes, the sub-steps that ran while both processors were free
/// show in the low percentiles even when the mean does not.
void BM_SubStep(benchmark::State& state) {
    BenchPool pool(state.range(1));
    GridScene scene(static_cast<int32_t>(state.range(0)));
    scene.solver.targetTime = 1.0e30f;  // never shorten a sub-step
    std::vector<float> times;
    times.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        scene.fullSubStep();
        benchmark::DoNotOptimize(scene.cloth.positions.data());
        if (times.size() < times.capacity())
            times.push_back(std::chrono::duration<float, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["ns/point"] = perPointCounter(scene.cloth.pointCount, 1e-9);
    state.counters["workers"] = poolWorkerCount();
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        state.counters["p10 us"] = times[times.size() / 10];
        state.counters["median us"] = times[times.size() / 2];
    }
}

/// Argument: points per side. 2 workers against 1, in alternating blocks.
void BM_SubStepSpeedUp(benchmark::State& state) {
    GridScene scene(static_cast<int32_t>(state.range(0)));
    scene.solver.targetTime = 1.0e30f;
    timeSpeedUp(state, scene, [](GridScene&) {}, [](GridScene& s) { s.fullSubStep(); });
}

/// Argument: points per side. The spring pass alone, on 1 worker: the three
/// sets' forces computed from the points (the largest part of a sub-step),
/// without the gather, the point passes and the integration, so that a
/// change to the spring kernel shows on its own. The cloth first takes a
/// few sub-steps, so that the sets run as they do within an advance.
void BM_SpringForces(benchmark::State& state) {
    BenchPool pool(1);
    GridScene scene(static_cast<int32_t>(state.range(0)));
    scene.solver.targetTime = 1.0e30f;
    for (int i = 0; i < 20; ++i) scene.fullSubStep();
    drSspring* sets[3] = {&scene.stretch, &scene.shear, &scene.bend};
    int64_t springs = 0;
    for (drSspring* set : sets) springs += set->itemCount(scene.cloth);
    for (auto _ : state) {
        for (drSspring* set : sets) {
            set->beginPoints(scene.cloth, scene.solver);
            set->computeItems(scene.cloth, 0, set->itemCount(scene.cloth));
        }
        benchmark::DoNotOptimize(scene.stretch.springForces.data());
    }
    state.counters["ns/spring"] = benchmark::Counter(static_cast<double>(springs) * 1e-9,
                                                     benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_SubStep)->ArgsProduct({{21, 41, 61, 101, 201}, {1, 2}})->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SubStepSpeedUp)->Arg(101)->Arg(201)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpringForces)->Arg(101)->Arg(201)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
