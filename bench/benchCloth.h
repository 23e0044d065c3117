// The cloth the benchmarks run on: a square quad grid (grid.h) under its
// three spring sets and gravity, damping when asked, the solver that holds
// them, the passes of one sub-step, and the worker pool for one benchmark.
// A benchmark adds its colliders and says what it times.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "drScloth.h"
#include "drSdamp.h"
#include "drSedges.h"
#include "drSgravity.h"
#include "drSsolver.h"
#include "drSspring.h"
#include "drSspringNetwork.h"
#include "grid.h"
#include "poolWith.h"
#include "pool.h"

/// The pool on `processors` (1 runs inline) for as long as this lives, with
/// the program's split size. Declare it before the scene so that the scene
/// goes first.
struct BenchPool : PoolWith {
    explicit BenchPool(int32_t processors) : PoolWith(processors, 0) {}
};

struct BenchCloth {
    GridMesh grid;
    drScloth cloth;
    drSsolver solver;
    drSspring stretch, shear, bend;
    drSgravity gravity;
    drSdamp damp;  ///< in the solver's list only when build() is asked for damping
    std::vector<drSvec3> startPositions;

    /// side x side points spaced `spacing` apart. Reshape grid.points before
    /// build() to give the springs another rest shape.
    BenchCloth(int32_t side, double spacing) : grid(makeGrid(side, side, spacing)) {}

    /// Grid point i as it stands in grid.points.
    drSvec3 gridPoint(int32_t i) const {
        return {static_cast<float>(grid.points[3 * i]), static_cast<float>(grid.points[3 * i + 1]),
                static_cast<float>(grid.points[3 * i + 2])};
    }

    /// Builds the spring sets with rest lengths measured on grid.points, puts
    /// point i at place(i) with `mass` and keeps those positions as the start,
    /// then lists stretch, shear, bend, gravity and, with `damping`, damp in
    /// the solver.
    template <class Place>
    void build(float mass, const Place& place, bool damping = false) {
        const int32_t n = grid.pointCount();
        cloth.pointCount = n;
        cloth.resizePoints();
        drSedges edges;
        edges.build(n, grid.polygons.data(), grid.polygonCount());
        buildSpringNetwork(n, grid.points.data(), grid.polygons.data(), grid.polygonCount(), edges, stretch, shear,
                           bend, cloth);
        for (int32_t i = 0; i < n; ++i) {
            cloth.positions[i] = place(i);
            cloth.masses[i] = mass;
        }
        startPositions = cloth.positions;
        solver.addForce(&stretch);
        solver.addForce(&shear);
        solver.addForce(&bend);
        solver.addForce(&gravity);
        if (damping) solver.addForce(&damp);
        // The sub-steps run as those of one advance: the springs check their
        // pairs at the first only, as within a frame
        solver.beginAdvance();
    }

    /// One sub-step, as the solver runs it within an advance.
    void subStep() { solver.subStep(cloth); }

    /// One sub-step with the clock put back to the start of a unit interval,
    /// so that every call chooses its step from the same place.
    void subStepFromZero() {
        solver.time = 0.0f;
        solver.targetTime = 1.0f;
        subStep();
    }

    /// Back to the start positions, at rest, with the first step length.
    void restart() {
        std::copy(startPositions.begin(), startPositions.end(), cloth.positions.begin());
        for (drSvec3& v : cloth.velocities) v = {0, 0, 0};
        solver.step = 0.1f;
    }
};

/// Time per cloth point per iteration, in seconds times `perSecond` (1e-9
/// gives nanoseconds).
inline benchmark::Counter perPointCounter(int32_t pointCount, double perSecond = 1.0) {
    return benchmark::Counter(static_cast<double>(pointCount) * perSecond,
                              benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

/// Times body(scene) once per iteration, each from the state `reset(scene)`
/// leaves (untimed), and reports the time per cloth point ("per_point").
template <class Scene, class Reset, class Body>
void timeFromReset(benchmark::State& state, Scene& scene, const Reset& reset, const Body& body) {
    for (auto _ : state) {
        state.PauseTiming();
        reset(scene);
        state.ResumeTiming();
        body(scene);
    }
    state.counters["per_point"] = perPointCounter(scene.cloth.pointCount);
}

/// The same from restart().
template <class Scene, class Body>
void timeFromStart(benchmark::State& state, Scene& scene, const Body& body) {
    timeFromReset(state, scene, [](Scene& s) { s.restart(); }, body);
}

/// Speed-up of 2 workers over 1, measured in pairs: each iteration runs a
/// block of `block` calls of body(scene) on 1 worker, then on 2, each call
/// from the state `reset(scene)` leaves (untimed), and takes the ratio of
/// the two blocks. Neighbouring blocks share the machine's conditions, so
/// the median ratio ("speed-up") is far steadier than the quotient of two
/// separate benchmarks on a machine whose other load comes and goes. Also
/// reports the median time per cloth point of each ("ns/point 1w", "ns/point 2w").
template <class Scene, class Reset, class Body>
void timeSpeedUp(benchmark::State& state, Scene& scene, const Reset& reset, const Body& body,
                 int32_t block = 20, int32_t warmUp = 20) {
    using Clock = std::chrono::steady_clock;
    auto blockTime = [&](int32_t processors) {
        BenchPool pool(processors);
        for (int32_t k = 0; k < warmUp; ++k) {  // let a new worker thread settle on its processor: not timed
            reset(scene);
            body(scene);
        }
        Clock::duration total{};
        for (int32_t k = 0; k < block; ++k) {
            reset(scene);
            const auto start = Clock::now();
            body(scene);
            total += Clock::now() - start;
        }
        return std::chrono::duration<double, std::nano>(total).count() / block;
    };
    std::vector<double> one, two, ratio;
    for (auto _ : state) {
        one.push_back(blockTime(1));
        two.push_back(blockTime(2));
        ratio.push_back(one.back() / two.back());
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    const double points = std::max(scene.cloth.pointCount, 1);
    state.counters["ns/point 1w"] = median(one) / points;
    state.counters["ns/point 2w"] = median(two) / points;
    state.counters["speed-up"] = median(ratio);
}
