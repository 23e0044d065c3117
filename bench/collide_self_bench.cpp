// One sub-step of a 101 x 101 cloth (200 x 200 units) with and without self
// collision of the cloth itself, on 1 and 2 workers. The cloth has a gentle
// swell so that the tree has depth; the thickness is 0.5 (a quarter of the
// spacing). Reported: time per sub-step and per cloth point. The tree is
// built before the measurement. Every iteration starts the cloth from the
// same place, so the collider finds its candidate lists in the first one and
// keeps them: the sub-steps measured are steady ones. The other costs of a
// sub-step, the whole tree refitted and asked, the lists found again, and a
// sub-step after part of the cloth moved too far for the lists (and the one
// after that), have benchmarks of their own.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "benchCloth.h"
#include "drScollideSelf.h"
#include "drSselfCandidates.h"
#include "drStriangleNode.h"

namespace {

struct Scene : BenchCloth {
    drStriangleNode tree;
    drScollideSelf collider;
    drSselfCandidates lists;  ///< for the search alone

    explicit Scene(bool withCollider) : BenchCloth(101, 2.0) {
        build(1.0f, [this](int32_t i) {
            const float x = static_cast<float>(grid.points[3 * i]), z = static_cast<float>(grid.points[3 * i + 2]);
            return drSvec3{x, 5.0f * std::sin(0.05f * x) * std::cos(0.04f * z), z};
        });
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
};

template <class Body>
void measure(benchmark::State& state, bool withCollider, const Body& body) {
    BenchPool pool(state.range(0));
    Scene scene(withCollider);
    timeFromStart(state, scene, body);
}

void BM_SubStepWithoutSelfCollision(benchmark::State& state) {
    measure(state, false, [](Scene& s) { s.subStepFromZero(); });
}
void BM_SubStepWithSelfCollision(benchmark::State& state) {
    measure(state, true, [](Scene& s) { s.subStepFromZero(); });
}
/// 2 workers against 1 on the sub-step with self collision, in alternating blocks.
void BM_SubStepWithSelfCollisionSpeedUp(benchmark::State& state) {
    Scene scene(true);
    timeSpeedUp(state, scene, [](Scene& s) { s.restart(); }, [](Scene& s) { s.subStepFromZero(); });
}
/// The collider's apply alone: a steady sub-step, on the lists of candidates.
void BM_SelfCollisionApply(benchmark::State& state) {
    measure(state, true, [](Scene& s) { s.collider.apply(s.cloth, s.solver); });
}

/// What a sub-step costs without the candidate lists: the whole tree
/// refitted and asked for every point.
void BM_SelfCollisionTreeQueries(benchmark::State& state) {
    measure(state, true, [](Scene& s) {
        s.tree.refit();
        int32_t hits = 0;
        for (int32_t i = 0; i < s.cloth.pointCount; ++i) {
            drSindexHit hit;
            hits += s.tree.pointIndexQuery(i, hit) ? 1 : 0;
        }
        benchmark::DoNotOptimize(hits);
    });
}

/// Finding every point's candidate triangles again (a sub-step after the
/// cloth moved more than the thickness).
void BM_SelfCollisionListSearch(benchmark::State& state) {
    measure(state, true, [](Scene& s) {
        s.lists.invalidate();
        benchmark::DoNotOptimize(s.lists.update(s.tree, s.cloth.pointCount));
    });
}

/// A sub-step after one half of the cloth slid 0.6 (more than the lists
/// allow for the whole cloth) against the other since the lists were found:
/// the points that may have left their lists picked and asked of the tree,
/// the others answered from their lists.
/// One mixed sub-step: the points picked and every item answered.
int32_t mixedSubStep(Scene& s) {
    if (s.lists.update(s.tree, s.cloth.pointCount) != drSselfCandidates::Use::Mixed) return -1;
    s.lists.pickPoints(s.tree);
    int32_t hits = 0;
    for (int32_t k = 0; k < s.lists.itemCount(); ++k) {
        drSindexHit hit;
        hits += s.lists.itemQuery(k, hit) ? 1 : 0;
    }
    benchmark::DoNotOptimize(hits);
    return s.lists.pickedCount();
}
/// The lists found, then one half of the cloth slid 0.6 against the other.
void slideHalf(Scene& s) {
    s.restart();
    s.lists.invalidate();
    s.lists.update(s.tree, s.cloth.pointCount);
    for (drSvec3& p : s.cloth.positions)
        if (p.x > 0.0f) p.y += 0.6f;
}

void BM_SelfCollisionMixed(benchmark::State& state) {
    BenchPool pool(state.range(0));
    Scene scene(true);
    int32_t picked = 0;
    timeFromReset(state, scene, slideHalf, [&picked](Scene& s) { picked = mixedSubStep(s); });
    state.counters["picked"] = picked;
}
/// The mixed sub-step after that one, the half going on by 0.02: what most
/// sub-steps of a cloth sliding over a body cost.
void BM_SelfCollisionMixedGoingOn(benchmark::State& state) {
    BenchPool pool(state.range(0));
    Scene scene(true);
    int32_t picked = 0;
    timeFromReset(
        state, scene,
        [](Scene& s) {
            slideHalf(s);
            mixedSubStep(s);
            for (drSvec3& p : s.cloth.positions)
                if (p.x > 0.0f) p.y += 0.02f;
        },
        [&picked](Scene& s) { picked = mixedSubStep(s); });
    state.counters["picked"] = picked;
}

}  // namespace

BENCHMARK(BM_SubStepWithoutSelfCollision)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SubStepWithSelfCollision)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SubStepWithSelfCollisionSpeedUp)->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelfCollisionApply)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SelfCollisionTreeQueries)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SelfCollisionListSearch)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SelfCollisionMixed)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SelfCollisionMixedGoingOn)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
