// The cloth the benchmarks run on: a square quad grid (grid.h) under its
// three spring sets and gravity, damping when asked, the solver that holds
// them, the passes of one sub-step, and the worker pool for one benchmark.
// A benchmark adds its colliders and says what it times.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
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

/// The pool on `processors` (1 runs inline) for as long as this lives.
/// Declare it before the scene so that the scene goes first.
using BenchPool = PoolWith;

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
    }

    /// The passes of one sub-step, as the solver runs them.
    void subStep() {
        prepareStep(cloth);
        applyForces(solver, cloth);
        const float dt = chooseStep(solver, cloth);
        integrate(solver, cloth, dt);
    }

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
