#include "drSspring.h"

#include <algorithm>
#include <cmath>

#include "drScloth.h"
#include "pool.h"

namespace {

/// Points of the cloth from which the springs are split over the pool.
constexpr int32_t kParallelPoints = 301;

}  // namespace

void drSspring::applyRange(const drScloth& cloth, drSvec3* forces, int32_t begin, int32_t end) const {
    const drSvec3* x = cloth.positions.data();
    const drSvec3* v = cloth.velocities.data();
    const std::array<int32_t, 2>* pairs = springPairs.data();
    const float* rest = restLengths.data();
    const float* factor = springFactors.data();
    const float ks = stiffness;
    const float kd = damping;
    for (int32_t s = begin; s < end; ++s) {
        const int32_t a = pairs[s][0];
        const int32_t b = pairs[s][1];
        const float L = rest[s];
        const float w = factor[s];
        // Hooke force along d / len; the floor on len keeps a collapsed
        // spring finite (its d is zero, so only the damping term acts).
        const drSvec3 d = x[b] - x[a];
        const float len = std::max(L * 0.001f, std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z));
        const float e = len - L;
        const float k = ks / len * e * w;
        const float c = kd * w;
        const drSvec3 dv = v[b] - v[a];
        const drSvec3 f = {k * d.x + c * dv.x, k * d.y + c * dv.y, k * d.z + c * dv.z};
        forces[a] += f;
        forces[b] -= f;
    }
}

void drSspring::apply(drScloth& cloth, drSsolver& solver) {
    (void)solver;
    // Never read past an array that is shorter than the count.
    const int32_t n = std::min<int64_t>({static_cast<int64_t>(springCount), static_cast<int64_t>(springPairs.size()),
                                         static_cast<int64_t>(restLengths.size()),
                                         static_cast<int64_t>(springFactors.size())});
    if (n <= 0 || cloth.pointCount <= 0) return;

    const int32_t T = poolWorkerCount();
    if (T >= 2 && cloth.pointCount >= kParallelPoints && static_cast<int32_t>(cloth.threadForceBuffers.size()) >= T) {
        // Jobs may share points, so job k adds into its own buffer k.
        drSvec3* const* buffers = cloth.threadForceBuffers.data();
        const drScloth* c = &cloth;
        poolParallelFor(n, [this, c, buffers](int32_t k, int32_t begin, int32_t end) {
            applyRange(*c, buffers[k], begin, end);
        });
        return;
    }
    applyRange(cloth, cloth.forces.data(), 0, n);
}

int32_t drSspring::findSpring(int32_t a, int32_t b) const {
    const int32_t n = std::min(springCount, static_cast<int32_t>(springPairs.size()));
    for (int32_t s = 0; s < n; ++s) {
        const auto& p = springPairs[s];
        if ((p[0] == a && p[1] == b) || (p[0] == b && p[1] == a)) return s;
    }
    return -1;
}

void drSspring::resize(int32_t count) {
    springCount = std::max(count, 0);
    springPairs.resize(static_cast<size_t>(springCount));
    restLengths.resize(static_cast<size_t>(springCount));
    springFactors.resize(static_cast<size_t>(springCount));
}

void drSspring::add(int32_t a, int32_t b, float restLength, float factor) {
    springPairs.push_back({a, b});
    restLengths.push_back(restLength);
    springFactors.push_back(factor);
    springCount = static_cast<int32_t>(springPairs.size());
}
