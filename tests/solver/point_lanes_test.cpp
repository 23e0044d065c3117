// The per-point passes in vector lanes give the plain loops' bits in every
// lane width the processor has, on ranges that start and end anywhere and
// on values that are zero, negative zero, infinite or not a number.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "drSlanes.h"
#include "drSpointLanes.h"

namespace {

struct Points {
    std::vector<float> masses;
    std::vector<drSvec3> forces, velocities, positions;
};

Points makePoints(int32_t n) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    Points p;
    for (int32_t i = 0; i < n; ++i) {
        p.masses.push_back(0.01f + std::abs(u(rng)));
        p.forces.push_back({u(rng), u(rng), u(rng)});
        p.velocities.push_back({u(rng), u(rng), u(rng)});
        p.positions.push_back({u(rng), u(rng), u(rng)});
    }
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    p.forces[5] = {nan, 0.0f, 0.0f};
    p.forces[17] = {-0.0f, -0.0f, -0.0f};
    p.velocities[17] = {-0.0f, 0.0f, -0.0f};
    p.masses[23] = 0.0f;  // a weightless point: infinite or undefined acceleration
    p.forces[40] = {inf, 1.0f, -inf};
    p.forces[41] = {3.0e19f, 0.0f, 0.0f};  // its square overflows
    p.masses[60] = 1.0e-30f;
    return p;
}

template <class T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(T) * a.size()) == 0;
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Width {
    explicit Width(int32_t w) : used(drSsetLaneWidth(w)) {}
    ~Width() { drSsetLaneWidth(0); }
    const int32_t used;
};

TEST(PointLanes, EveryWidthGivesThePlainLoopsBits) {
    const int32_t n = 1003;
    for (int32_t width : {16, 8, 4, 1}) {
        Width lanes(width);
        if (lanes.used != width) continue;  // not on this processor
        for (auto [begin, end] : {std::pair{0, n}, std::pair{3, 700}, std::pair{17, 18}, std::pair{9, 9}}) {
            SCOPED_TRACE(testing::Message() << width << " lanes, points " << begin << " to " << end);
            Points got = makePoints(n), want = got;

            const float dt = 0.37f;
            drSintegratePoints(got.masses.data(), got.forces.data(), got.velocities.data(), got.positions.data(), dt,
                               begin, end);
            for (int32_t i = begin; i < end; ++i) {
                const float k = dt / want.masses[i];
                drSvec3& v = want.velocities[i];
                v.x += k * want.forces[i].x;
                v.y += k * want.forces[i].y;
                v.z += k * want.forces[i].z;
                want.positions[i].x += dt * v.x;
                want.positions[i].y += dt * v.y;
                want.positions[i].z += dt * v.z;
            }
            EXPECT_TRUE(sameBits(got.velocities, want.velocities));
            EXPECT_TRUE(sameBits(got.positions, want.positions));

            const drSvec3 g{0.25f, -9.81f, -0.0f};
            drSaddWeights(g, got.masses.data(), got.forces.data(), begin, end);
            for (int32_t i = begin; i < end; ++i) {
                want.forces[i].x += g.x * want.masses[i];
                want.forces[i].y += g.y * want.masses[i];
                want.forces[i].z += g.z * want.masses[i];
            }
            EXPECT_TRUE(sameBits(got.forces, want.forces));

            drSaddDrag(0.013f, got.velocities.data(), got.forces.data(), begin, end);
            for (int32_t i = begin; i < end; ++i) {
                want.forces[i].x -= 0.013f * want.velocities[i].x;
                want.forces[i].y -= 0.013f * want.velocities[i].y;
                want.forces[i].z -= 0.013f * want.velocities[i].z;
            }
            EXPECT_TRUE(sameBits(got.forces, want.forces));

            for (float start : {-1.0f, 0.0f, 5.0e3f, std::numeric_limits<float>::quiet_NaN()}) {
                float expected = start;
                for (int32_t i = begin; i < end; ++i) {
                    const float m = want.masses[i];
                    const float a = lengthSquared(want.forces[i]) / (m * m);
                    if (a > expected) expected = a;
                }
                EXPECT_TRUE(sameBits(drSlargestAcceleration(got.masses.data(), got.forces.data(), begin, end, start),
                                     expected))
                    << "start " << start;
            }
        }

        // Without infinities: the largest value, then a value that is not a
        // number at the same place of a later group of lanes
        Points p = makePoints(n);
        p.masses[23] = p.masses[60] = 1.0f;
        p.forces[40] = p.forces[41] = {1.0f, 1.0f, 1.0f};
        p.forces[200] = {1.0e4f, 0.0f, 0.0f};
        p.forces[248] = {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f};
        p.masses[200] = 1.0f;
        const float largest = 1.0e8f;
        EXPECT_TRUE(sameBits(drSlargestAcceleration(p.masses.data(), p.forces.data(), 0, n, -1.0f), largest)) << width;
    }
}

}  // namespace
