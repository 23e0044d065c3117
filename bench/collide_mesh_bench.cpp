// One sub-step of a 101 x 101 cloth (200 x 200 units) lying on a sphere of
// radius 50 made of 9,940 triangles, with and without the mesh collider, on 1
// and 2 workers. Reported: time per sub-step and per cloth point.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "benchCloth.h"
#include "drScollideMesh.h"
#include "drStriangleNode.h"

namespace {

/// Sphere of `radius` around `centre`: `stacks` rings of `slices` points
/// between the poles, 2 * slices * (stacks - 1) triangles facing outward.
void makeSphere(const drSvec3& centre, float radius, int32_t stacks, int32_t slices, std::vector<drSvec3>& points,
                std::vector<drStriangle>& triangles) {
    const double pi = 3.14159265358979323846;
    points.push_back(centre + drSvec3{0, radius, 0});
    for (int32_t r = 1; r < stacks; ++r) {
        const double theta = pi * r / stacks;
        for (int32_t s = 0; s < slices; ++s) {
            const double phi = 2.0 * pi * s / slices;
            points.push_back(centre + drSvec3{static_cast<float>(radius * std::sin(theta) * std::cos(phi)),
                                              static_cast<float>(radius * std::cos(theta)),
                                              static_cast<float>(radius * std::sin(theta) * std::sin(phi))});
        }
    }
    points.push_back(centre + drSvec3{0, -radius, 0});
    const int32_t south = static_cast<int32_t>(points.size()) - 1;
    auto ring = [slices](int32_t r, int32_t s) { return 1 + (r - 1) * slices + (s % slices); };
    for (int32_t s = 0; s < slices; ++s) triangles.push_back({0, ring(1, s + 1), ring(1, s)});
    for (int32_t r = 1; r + 1 < stacks; ++r)
        for (int32_t s = 0; s < slices; ++s) {
            triangles.push_back({ring(r, s), ring(r, s + 1), ring(r + 1, s + 1)});
            triangles.push_back({ring(r, s), ring(r + 1, s + 1), ring(r + 1, s)});
        }
    for (int32_t s = 0; s < slices; ++s) triangles.push_back({south, ring(stacks - 1, s), ring(stacks - 1, s + 1)});
}

/// The cloth with its springs and gravity, and the sphere collider.
struct Scene : BenchCloth {
    std::vector<drSvec3> spherePoints;
    std::vector<drStriangle> sphereTriangles;
    drStriangleNode tree;
    drScollideMesh collider;

    explicit Scene(bool withCollider) : BenchCloth(101, 2.0) {
        // The cloth's centre rests 0.5 inside the top of the sphere
        build(1.0f, [this](int32_t i) {
            return drSvec3{static_cast<float>(grid.points[3 * i]) - 100.0f, 0.0f,
                           static_cast<float>(grid.points[3 * i + 2]) - 100.0f};
        });
        if (!withCollider) return;
        makeSphere({0.0f, -49.5f, 0.0f}, 50.0f, 71, 71, spherePoints, sphereTriangles);
        tree.pointCount = static_cast<int32_t>(spherePoints.size());
        tree.setPositions(spherePoints.data());
        for (const drStriangle& t : sphereTriangles) tree.addTriangle(t[0], t[1], t[2]);
        tree.setOwnsPositions(1);
        collider.tree = &tree;
        collider.reset(0.0f);
        tree.setOffsets(0.0f, -2.0f);
        solver.addForce(&collider);
    }
};

void runSubSteps(benchmark::State& state, bool withCollider) {
    BenchPool pool(state.range(0));
    Scene scene(withCollider);
    timeFromStart(state, scene, [](Scene& s) { s.subStepFromZero(); });
}

void BM_SubStepWithoutCollider(benchmark::State& state) { runSubSteps(state, false); }
void BM_SubStepWithMeshCollider(benchmark::State& state) { runSubSteps(state, true); }

/// The same with new targets for the surface before every sub-step, as for
/// an animated collider: the tree refits every time.
void BM_SubStepWithMovingMeshCollider(benchmark::State& state) {
    BenchPool pool(state.range(0));
    Scene scene(true);
    timeFromReset(
        state, scene,
        [](Scene& s) {
            s.restart();
            s.tree.setPositions(s.spherePoints.data());
        },
        [](Scene& s) { s.subStepFromZero(); });
}

/// 2 workers against 1 on the sub-step with the collider, in alternating blocks.
void BM_SubStepWithMeshColliderSpeedUp(benchmark::State& state) {
    Scene scene(true);
    timeSpeedUp(state, scene, [](Scene& s) { s.restart(); }, [](Scene& s) { s.subStepFromZero(); });
}

/// The collider's apply alone: the sweep of the surface (at rest here, so
/// there is nothing to refit) and the point pass.
void BM_MeshColliderApply(benchmark::State& state) {
    BenchPool pool(state.range(0));
    Scene scene(true);
    scene.solver.time = 0.0f;
    scene.solver.targetTime = 1.0f;
    timeFromReset(
        state, scene,
        [](Scene& s) {
            s.restart();
            s.collider.lastUpdate = 0.0f;
        },
        [](Scene& s) { s.collider.apply(s.cloth, s.solver); });
}

}  // namespace

BENCHMARK(BM_SubStepWithoutCollider)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SubStepWithMeshCollider)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SubStepWithMovingMeshCollider)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SubStepWithMeshColliderSpeedUp)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeshColliderApply)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
