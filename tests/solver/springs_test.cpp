// Spring sets: construction from a polygon mesh, the spring force (the same
// bits for every lane width and worker count), and a hanging mass against
// its analytic rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

#include "cloth_fixture.h"
#include "drSdamp.h"
#include "drSgravity.h"
#include "drSlanes.h"
#include "drSspring.h"
#include "drSspringNetwork.h"

namespace {

using Pairs = std::vector<std::array<int32_t, 2>>;

/// The three sets and the triangle list of a mesh.
struct Network {
    drSspring stretch, shear, bend;
    drScloth cloth;
};

void build(Network& net, int32_t pointCount, const std::vector<double>& points, const std::vector<drSpolygon>& polys) {
    drSedges edges;
    edges.build(pointCount, polys.data(), static_cast<int32_t>(polys.size()));
    buildSpringNetwork(pointCount, points.data(), polys.data(), static_cast<int32_t>(polys.size()), edges, net.stretch,
                       net.shear, net.bend, net.cloth);
}

Pairs pairsOf(const drSspring& s) {
    EXPECT_EQ(static_cast<size_t>(s.springCount), s.springPairs.size());
    EXPECT_EQ(s.restLengths.size(), s.springPairs.size());
    EXPECT_EQ(s.springFactors.size(), s.springPairs.size());
    return s.springPairs;
}

TEST(SpringNetwork, SmallMeshes) {
    struct Case {
        const char* name;
        GridMesh mesh;
        Pairs stretch, shear, bend;
        std::vector<std::array<int32_t, 3>> triangles;
    };
    GridMesh quad = makeGrid(2, 2);
    quad.polygons = {{0, 1, 2, 3}};
    GridMesh triangle = makeGrid(3, 1);
    triangle.polygons = {{0, 1, 2, 2}};
    GridMesh twoQuads = makeGrid(3, 2);
    twoQuads.polygons = {{0, 1, 4, 3}, {1, 2, 5, 4}};
    const Case cases[] = {
        {"quad", quad, {{0, 1}, {1, 2}, {2, 3}, {3, 0}}, {{0, 2}, {1, 3}}, {}, {{0, 1, 2}, {0, 2, 3}}},
        {"triangle", triangle, {{0, 1}, {1, 2}, {2, 0}}, {}, {}, {{0, 1, 2}}},
        {"two quads", twoQuads, {{0, 1}, {1, 4}, {4, 3}, {3, 0}, {1, 2}, {2, 5}, {5, 4}},
         {{0, 4}, {1, 3}, {1, 5}, {2, 4}}, {{0, 2}, {3, 5}}, {{0, 1, 4}, {0, 4, 3}, {1, 2, 5}, {1, 5, 4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Network net;
        build(net, c.mesh.pointCount(), c.mesh.points, c.mesh.polygons);
        EXPECT_EQ(pairsOf(net.stretch), c.stretch);
        EXPECT_EQ(pairsOf(net.shear), c.shear);
        EXPECT_EQ(pairsOf(net.bend), c.bend);
        EXPECT_EQ(net.cloth.triangleCount, static_cast<int32_t>(c.triangles.size()));
        EXPECT_EQ(net.cloth.triangles, c.triangles);
        for (const drSspring* s : {&net.stretch, &net.shear, &net.bend})
            for (float w : s->springFactors) EXPECT_EQ(w, 1.0f);
    }
}

TEST(SpringNetwork, GridBendSpringsSpanTwoCellsOnceEach) {
    const int32_t nx = 7, nz = 5;
    const double spacing = 0.25;
    const GridMesh g = makeGrid(nx, nz, spacing);
    Network net;
    build(net, g.pointCount(), g.points, g.polygons);
    EXPECT_EQ(net.stretch.springCount, (nx - 1) * nz + nx * (nz - 1));
    EXPECT_EQ(net.shear.springCount, 2 * (nx - 1) * (nz - 1));
    EXPECT_EQ(net.bend.springCount, (nx - 2) * nz + nx * (nz - 2));
    std::set<std::pair<int32_t, int32_t>> seen;
    for (int32_t s = 0; s < net.bend.springCount; ++s) {
        const auto [a, b] = net.bend.springPairs[s];
        const int32_t lo = std::min(a, b), hi = std::max(a, b);
        EXPECT_TRUE(seen.insert({lo, hi}).second) << "duplicate " << lo << "-" << hi;
        const bool alongX = hi - lo == 2 && lo / nx == hi / nx;
        const bool alongZ = hi - lo == 2 * nx;
        EXPECT_TRUE(alongX || alongZ) << lo << "-" << hi;
        EXPECT_EQ(net.bend.restLengths[s], 0.5f);
        EXPECT_EQ(net.bend.findSpring(b, a), s);
    }
    EXPECT_EQ(net.bend.findSpring(0, 1), -1);
    // Triangles keep the corner order, so their normals point along +Y.
    EXPECT_EQ(net.cloth.triangleCount, 2 * (nx - 1) * (nz - 1));
}

TEST(SpringNetwork, RestLengthsComeFromDoubleDifferences) {
    // Far from the origin a float position loses the offset; the double
    // difference keeps it.
    const std::vector<double> points = {1.0e8, 0.0, 0.0, 1.0e8 + 0.5, 0.0, 0.0, 1.0e8 + 0.5, 0.0, 1.2,
                                        1.0e8, 0.0, 1.2};
    Network net;
    build(net, 4, points, {{0, 1, 2, 3}});
    EXPECT_EQ(net.stretch.restLengths[0], 0.5f);
    EXPECT_EQ(net.stretch.restLengths[1], 1.2f);
    EXPECT_FLOAT_EQ(net.shear.restLengths[0], 1.3f);
}

TEST(SpringNetwork, BadMeshesBuildNothingAndStaySafe) {
    Network net;
    const GridMesh g = makeGrid(3, 3);
    build(net, g.pointCount(), g.points, g.polygons);
    ASSERT_GT(net.stretch.springCount, 0);
    // A corner outside the points empties every set and the triangle list.
    build(net, 4, g.points, {{0, 1, 2, 3}, {1, 2, 9, 3}});
    EXPECT_EQ(net.stretch.springCount + net.shear.springCount + net.bend.springCount, 0);
    EXPECT_EQ(net.cloth.triangleCount, 0);
    EXPECT_TRUE(net.cloth.triangles.empty());
    build(net, 0, {}, {});
    EXPECT_EQ(net.stretch.springCount + net.shear.springCount + net.bend.springCount, 0);
    // Repeated corners: degenerate sides give no spring, every spring has a rest length.
    build(net, 3, g.points, {{0, 0, 1, 2}, {2, 1, 1, 0}});
    EXPECT_EQ(net.stretch.springCount, 3);
    for (int32_t s = 0; s < net.shear.springCount; ++s) EXPECT_TRUE(std::isfinite(net.shear.restLengths[s]));
}

/// A two-point cloth with one spring of the given rest length and factor.
struct OneSpring {
    drScloth cloth;
    drSspring spring;
    drSsolver solver;
    OneSpring(drSvec3 a, drSvec3 b, float rest, float factor) {
        cloth.pointCount = 2;
        cloth.resizePoints();
        cloth.positions = {a, b};
        cloth.masses = {1.0f, 1.0f};
        spring.add(0, 1, rest, factor);
    }
};

TEST(SpringForce, HookeAndDamping) {
    struct Case {
        const char* name;
        drSvec3 b, vb;
        drSvec3 onA;  ///< expected force on point 0 (at the origin, at rest)
        float rest = 1.0f;
    };
    // stiffness 0.5, damping 0.25, factor 2.
    const Case cases[] = {
        {"stretched pulls together", {2, 0, 0}, {0, 0, 0}, {1.0f, 0, 0}},
        {"compressed pushes apart", {0.5f, 0, 0}, {0, 0, 0}, {-0.5f, 0, 0}},
        {"at rest length only damps", {0, 0, 1}, {0, 2, 0}, {0, 1.0f, 0}},
        // Collapsed: len is floored at 0.001, d is zero, only damping acts.
        {"collapsed", {0, 0, 0}, {3, 0, -1}, {1.5f, 0, -0.5f}},
        // Rest length 0 with both ends together: no 0/0, only damping.
        {"zero length", {0, 0, 0}, {3, 0, -1}, {1.5f, 0, -0.5f}, 0.0f},
        {"zero rest length pulls together", {0, 2, 0}, {0, 0, 0}, {0, 2.0f, 0}, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OneSpring s({0, 0, 0}, c.b, c.rest, 2.0f);
        s.spring.stiffness = 0.5f;
        s.spring.damping = 0.25f;
        s.cloth.velocities[1] = c.vb;
        s.spring.apply(s.cloth, s.solver);
        EXPECT_EQ(s.cloth.forces[0], c.onA);
        EXPECT_EQ(s.cloth.forces[1], -c.onA);
    }
}

/// The force of every spring as one plain loop in the written order, each
/// force added to a and subtracted from b of `expected`; springs with an end
/// outside the cloth act on nothing.
void addPlainLoop(const drSspring& spring, const drScloth& cloth, std::vector<drSvec3>& expected) {
    for (int32_t s = 0; s < spring.springCount; ++s) {
        const int32_t a = spring.springPairs[s][0], b = spring.springPairs[s][1];
        if (a < 0 || b < 0 || a >= cloth.pointCount || b >= cloth.pointCount) continue;
        const float L = spring.restLengths[s], w = spring.springFactors[s];
        const drSvec3 d = cloth.positions[b] - cloth.positions[a];
        const float len = std::max(L * 0.001f, length(d));
        const float e = len - L;
        const float k = len != 0.0f ? spring.stiffness / len * e * w : 0.0f;
        const float c = spring.damping * w;
        const drSvec3 dv = cloth.velocities[b] - cloth.velocities[a];
        const drSvec3 f = {k * d.x + c * dv.x, k * d.y + c * dv.y, k * d.z + c * dv.z};
        expected[a] += f;
        expected[b] -= f;
    }
}

std::vector<drSvec3> plainLoop(const drSspring& spring, const drScloth& cloth) {
    std::vector<drSvec3> expected(cloth.forces.size());
    addPlainLoop(spring, cloth, expected);
    return expected;
}

/// Uses at most `width` vector lanes for as long as it lives.
struct LaneWidth {
    explicit LaneWidth(int32_t width) : used(drSsetLaneWidth(width)) {}
    ~LaneWidth() { drSsetLaneWidth(0); }
    const int32_t used;
};

// apply must match the plain loop bit for bit in every lane width the
// processor has (also for counts that do not fill its blocks, collapsed
// springs, factors other than 1, an end outside the cloth, and pairs changed
// in place after the first use).
TEST(SpringForce, MatchesPlainLoopBitForBitInEveryLaneWidth) {
    for (int32_t width : {16, 8, 4, 1}) {
        LaneWidth lanes(width);
        if (lanes.used != width) continue;  // not on this processor
        for (int32_t count : {1, 3, 64, 65, 130}) {
            SCOPED_TRACE(testing::Message() << width << " lanes, " << count << " springs");
            drScloth cloth;
            cloth.pointCount = 40;
            cloth.resizePoints();
            drSspring spring;
            spring.stiffness = 0.37f;
            spring.damping = 0.011f;
            uint32_t r = 99u + static_cast<uint32_t>(count);
            auto next = [&r] {
                r = r * 1664525u + 1013904223u;
                return static_cast<float>(r >> 8) / 16777216.0f;
            };
            for (int32_t i = 0; i < cloth.pointCount; ++i) {
                cloth.positions[i] = {next(), next() - 0.5f, 3.0f * next()};
                cloth.velocities[i] = {next() - 0.5f, next(), next() - 0.5f};
            }
            cloth.positions[5] = cloth.positions[4];
            for (int32_t s = 0; s < count; ++s) {
                const int32_t a = s % 39, b = (s * 7 + 3) % 40;  // b is the last point now and then
                spring.add(a, s % 9 == 0 ? 4 : b, s % 9 == 0 ? 0.0f : next(), 0.5f + next());
            }
            spring.add(4, 5, 0.7f, 1.0f);  // collapsed
            spring.add(39, 40, 1.0f, 1.0f);  // one end outside the cloth
            drSsolver solver;
            // Twice: the second time the springs are known, and runs of them
            // whose ends are not the last point are read straight from the points
            for (int pass = 0; pass < 2; ++pass) {
                cloth.forces.assign(cloth.forces.size(), drSvec3{});
                spring.apply(cloth, solver);
                EXPECT_EQ(cloth.forces, plainLoop(spring, cloth)) << "pass " << pass;
                for (const drSvec3& f : cloth.forces) ASSERT_TRUE(std::isfinite(f.x + f.y + f.z));
            }

            // The same springs rewired in place: the points follow the new pairs
            for (auto& pair : spring.springPairs) pair = {pair[1] % 40, (pair[0] + 5) % 40};
            for (int pass = 0; pass < 2; ++pass) {
                cloth.forces.assign(cloth.forces.size(), drSvec3{});
                spring.apply(cloth, solver);
                EXPECT_EQ(cloth.forces, plainLoop(spring, cloth)) << "rewired, pass " << pass;
            }

            // An end moved far outside the cloth by a multiple of 2^30, whose
            // byte offset wraps round to the old one in 32 bits
            spring.springPairs[0][1] += 1 << 30;
            cloth.forces.assign(cloth.forces.size(), drSvec3{});
            spring.apply(cloth, solver);
            EXPECT_EQ(cloth.forces, plainLoop(spring, cloth)) << "moved out";
        }
    }
}

/// A 301-or-fewer-point grid with scattered positions and velocities, and its three sets.
struct Scene {
    GridMesh grid;
    Network net;
    drSsolver solver;
    explicit Scene(int32_t nx, int32_t nz) : grid(makeGrid(nx, nz, 0.1)) {
        build(net, grid.pointCount(), grid.points, grid.polygons);
        net.cloth = makeCloth(grid);
        uint32_t r = 12345u;
        auto next = [&r] {
            r = r * 1664525u + 1013904223u;
            return static_cast<float>(r >> 8) / 16777216.0f - 0.5f;
        };
        for (int32_t i = 0; i < net.cloth.pointCount; ++i) {
            net.cloth.positions[i] += drSvec3{0.02f * next(), 0.02f * next(), 0.02f * next()};
            net.cloth.velocities[i] = {next(), next(), next()};
        }
        net.bend.stiffness = 0.3f;
        for (drSspring* s : {&net.stretch, &net.shear, &net.bend}) solver.addForce(s);
    }
    std::vector<drSvec3> forces() {
        prepareStep(net.cloth);
        applyForces(solver, net.cloth);
        return {net.cloth.forces.begin(), net.cloth.forces.end()};
    }
};

// Above 301 points the springs are split over the workers: the forces are
// the same bits for every worker count and lane width, those of the plain loop.
// Four points gathered side by side whose spring counts differ: the ones
// with fewer springs add a padding that changes no sum, not even the sign
// of a zero (a point at -0 that adds -0 stays at -0).
TEST(SpringForce, UnevenCountsKeepTheSignOfZero) {
    for (int32_t width : {16, 1}) {
        LaneWidth lanes(width);
        if (lanes.used != width) continue;  // not on this processor
        drScloth cloth;
        cloth.pointCount = 8;
        cloth.resizePoints();
        drSspring spring;
        for (int32_t b : {1, 2, 3}) spring.add(0, b, 0.0f, 1.0f);  // no length, no motion: a force of +0
        drSsolver solver;
        for (int pass = 0; pass < 2; ++pass) {
            cloth.forces.assign(cloth.forces.size(), drSvec3{-0.0f, -0.0f, -0.0f});
            spring.apply(cloth, solver);
            SCOPED_TRACE(testing::Message() << width << " lanes, pass " << pass);
            EXPECT_FALSE(std::signbit(cloth.forces[0].x));  // -0 + 0 + 0 + 0
            for (int32_t i = 1; i < 8; ++i) EXPECT_TRUE(std::signbit(cloth.forces[i].y)) << i;  // -0 + -0, or nothing
        }
    }
}

TEST(SpringForce, SameBitsForEveryWorkerCountAndLaneWidth) {
    std::vector<drSvec3> serial;
    {
        Scene s(43, 17);
        serial = s.forces();
        std::vector<drSvec3> expected(serial.size());
        for (drSspring* set : {&s.net.stretch, &s.net.shear, &s.net.bend}) addPlainLoop(*set, s.net.cloth, expected);
        EXPECT_EQ(serial, expected);
    }
    for (int32_t workers : {1, 2, 3, 4}) {
        for (int32_t width : {16, 8, 1}) {
            SCOPED_TRACE(testing::Message() << workers << " workers, " << width << " lanes");
            PoolWith pool(workers);
            LaneWidth lanes(width);
            Scene s(43, 17);
            const std::vector<drSvec3> first = s.forces();
            EXPECT_EQ(first, serial);
            EXPECT_EQ(s.forces(), first);
        }
    }
}

// A grid's springs come in blocks of 32 (from any multiple of 16) that are
// two interleaved runs of consecutive points; the widest lanes read them
// with whole-vector loads and check them against the runs' ends. Springs
// rewired in place, whether their block still is such runs or not, must
// give the plain loop's forces. Within one advance of the solver the pairs
// are compared at its first sub-step only, where the blocks whose springs
// share one rest length and factor are found (the others take these from
// the block): springs rewired or given another rest length or factor
// between two advances are followed from the next one's first sub-step.
TEST(SpringForce, GridRunsRewiredInPlace) {
    struct Case {
        const char* name;
        void (*rewire)(drSspring& set, int32_t block);
    };
    const Case cases[] = {
        {"one end moved by a point", [](drSspring& set, int32_t b) { set.springPairs[b + 5][1] += 1; }},
        {"a spring turned round",
         [](drSspring& set, int32_t b) { std::swap(set.springPairs[b + 8][0], set.springPairs[b + 8][1]); }},
        {"the block's runs moved by a point",
         [](drSspring& set, int32_t b) {
             for (int32_t s = b; s < b + 32; ++s)
                 set.springPairs[s] = {set.springPairs[s][0] + 1, set.springPairs[s][1] + 1};
         }},
        {"a rest length changed", [](drSspring& set, int32_t b) { set.restLengths[b + 21] *= 1.5f; }},
        {"a factor changed", [](drSspring& set, int32_t b) { set.springFactors[b + 2] = 0.5f; }},
    };
    for (const Case& c : cases)
        for (int32_t width : {16, 1})
            for (bool advances : {false, true}) {
                LaneWidth lanes(width);
                if (lanes.used != width) continue;  // not on this processor
                SCOPED_TRACE(testing::Message() << c.name << ", " << width << " lanes"
                                                << (advances ? ", in advances" : ""));
                Scene s(43, 17);
                drSspring& shear = s.net.shear;
                std::fill(shear.restLengths.begin(), shear.restLengths.end(), 0.14f);
                std::fill(shear.springFactors.begin(), shear.springFactors.end(), 1.0f);
                if (advances) s.solver.beginAdvance();
                Pairs& pairs = shear.springPairs;
                int32_t block = 16;  // runs are looked for at every multiple of 16
                while (block + 64 <= shear.springCount && !drSinterleavedRuns(pairs.data() + block)) block += 16;
                ASSERT_TRUE(drSinterleavedRuns(pairs.data() + block));
                auto expected = [&s] {
                    std::vector<drSvec3> e(s.net.cloth.forces.size());
                    for (drSspring* set : {&s.net.stretch, &s.net.shear, &s.net.bend})
                        addPlainLoop(*set, s.net.cloth, e);
                    return e;
                };
                // The lists are built, then read with them (in advances:
                // checked once more, then not)
                for (const char* step : {"built", "read", "read again"}) EXPECT_EQ(s.forces(), expected()) << step;
                c.rewire(shear, block);
                if (advances) s.solver.beginAdvance();  // the next frame's
                // The first finds the change, the others read with the new lists
                for (const char* step : {"changed", "changed, read", "changed, read again"})
                    EXPECT_EQ(s.forces(), expected()) << step;
            }
}

// The forces of a grid's springs are kept in point order and gathered
// sixteen points at a time, the points that do not follow their group's
// springs one by one. The plain loop's forces must come out also when the
// lane width changes under the same springs, when a spring repeats another
// (its force has no place of its own in point order: its points mix both
// kinds of terms), and when the points are gathered in ranges that cut
// their groups of sixteen.
TEST(SpringForce, PointOrderForcesFollowWidthsRepeatsAndRanges) {
    LaneWidth widest(16);
    if (widest.used != 16) GTEST_SKIP() << "no 16-lane vectors on this processor";
    Scene s(43, 17);
    drSspring& stretch = s.net.stretch;
    for (int32_t k : {100, 101, 333})
        stretch.add(stretch.springPairs[k][0], stretch.springPairs[k][1], 0.9f * stretch.restLengths[k], 1.5f);
    auto expected = [&s] {
        std::vector<drSvec3> e(s.net.cloth.forces.size());
        for (drSspring* set : {&s.net.stretch, &s.net.shear, &s.net.bend}) addPlainLoop(*set, s.net.cloth, e);
        return e;
    };
    EXPECT_EQ(s.forces(), expected()) << "lists built";
    EXPECT_EQ(s.forces(), expected()) << "read with them";
    for (int32_t width : {1, 8, 16}) {
        drSsetLaneWidth(width);
        EXPECT_EQ(s.forces(), expected()) << "then " << width << " lanes";
    }

    // Ranges that begin and end inside groups of sixteen, and one point
    const int32_t n = s.net.cloth.pointCount;
    drScloth& cloth = s.net.cloth;
    cloth.forces.assign(cloth.forces.size(), drSvec3{});
    for (drSspring* set : {&s.net.stretch, &s.net.shear, &s.net.bend}) {
        set->beginPoints(cloth, s.solver);
        set->computeItems(cloth, 0, set->itemCount(cloth));
        set->itemsComputed(cloth);
    }
    const int32_t cuts[] = {0, 5, 6, 37, 48, 300, n - 3, n};
    for (size_t k = 0; k + 1 < std::size(cuts); ++k)
        for (drSspring* set : {&s.net.stretch, &s.net.shear, &s.net.bend}) set->applyPoints(cloth, cuts[k], cuts[k + 1]);
    EXPECT_EQ(std::vector<drSvec3>(cloth.forces.begin(), cloth.forces.end()), expected()) << "in ranges";

    // The shear springs rewired in place from the third block of 32 on, so
    // that no distance is common any more: the two blocks read before the
    // change was found had their forces only in point order
    Pairs& shear = s.net.shear.springPairs;
    ASSERT_TRUE(drSinterleavedRuns(shear.data()) && drSinterleavedRuns(shear.data() + 32));
    for (size_t k = 64; k < shear.size(); ++k) shear[k] = {shear[k][0], (shear[k][1] * 7 + 3) % n};
    for (drSvec3& p : cloth.positions) p.y += 0.01f * p.x;  // not the forces of the last step
    EXPECT_EQ(s.forces(), expected()) << "scrambled";
    EXPECT_EQ(s.forces(), expected()) << "scrambled, again";
}

/// Holds point 0 in place: after all accumulating forces, its force and
/// velocity are removed.
class HoldFirst : public drSforce {
public:
    int32_t phase() const override { return 3; }
    void apply(drScloth& cloth, drSsolver&) override {
        cloth.forces[0] = {};
        cloth.velocities[0] = {};
    }
};

TEST(SpringForce, HangingMassSettlesAtHookeElongation) {
    // A mass m under a spring of stiffness K rests where K * e = m * g.
    const float K = 2.0f, m = 0.5f, g = 0.04f, L = 1.0f;
    OneSpring s({0, 0, 0}, {0, -L, 0}, L, 1.0f);
    s.cloth.masses = {1.0f, m};
    s.spring.stiffness = K;
    s.spring.damping = 0.2f;
    drSgravity gravity;
    gravity.gravity = {0.0f, -g, 0.0f};
    drSdamp drag;
    drag.damping = 0.05f;
    HoldFirst hold;
    for (drSforce* f : std::initializer_list<drSforce*>{&s.spring, &gravity, &drag, &hold}) s.solver.addForce(f);
    s.solver.advanceTo(s.cloth, 300.0f);
    const float elongation = -s.cloth.positions[1].y - L;
    EXPECT_NEAR(elongation, m * g / K, 0.01f * m * g / K);
    EXPECT_EQ(s.cloth.positions[0], (drSvec3{0, 0, 0}));
    EXPECT_NEAR(s.cloth.positions[1].x, 0.0f, 1e-6f);
}

}  // namespace
