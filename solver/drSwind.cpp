#include "drSwind.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "drScloth.h"
#include "drSsolver.h"

namespace {

// Value hashes of a 32-bit integer into [-1, 1]. The products wrap around in
// 32 bits; the low 16 bits are the value.
float hashA(uint32_t x) { return 1.0f - 2.0f * static_cast<float>((x * 25713u + 1345u) & 0xFFFFu) / 65535.0f; }
float hashB(uint32_t x) { return 1.0f - 2.0f * static_cast<float>((x * 23025u + 1345u) & 0xFFFFu) / 65535.0f; }

void blow(const drSvec3& w, int32_t sideMode, const drSvec3* normals, drSvec3* forces, int32_t begin, int32_t end) {
    if (normals == nullptr) {
        for (int32_t i = begin; i < end; ++i) forces[i] += w;
        return;
    }
    for (int32_t i = begin; i < end; ++i) {
        const drSvec3& n = normals[i];
        float d = dot(n, w);
        if (sideMode > 0) d = d < 0.0f ? d : 0.0f;
        if (sideMode < 0) d = d > 0.0f ? d : 0.0f;
        forces[i].x += d * n.x;
        forces[i].y += d * n.y;
        forces[i].z += d * n.z;
    }
}

}  // namespace

void drSwind::reset(float time) {
    (void)time;
    randomBase = std::rand();
}

drSvec3 drSwind::windAt(float t) const {
    float a = 0.0f, b = 0.0f;
    const float u = noisePeriod != 0.0f ? t / noisePeriod + 0.0001f : 0.0f;
    // A time that gives no finite noise position leaves the noise off.
    if (noisePeriod != 0.0f && std::isfinite(u)) {
        // Noise interval k and the fraction s inside it.
        float kf = std::trunc(u);
        if (u < 0.0f) kf -= 1.0f;
        const float s = u - kf;
        // Positions beyond 32 bits wrap like the hash arithmetic does.
        const uint32_t k = static_cast<uint32_t>(static_cast<int64_t>(std::fmod(static_cast<double>(kf), 4294967296.0)));

        // Interval seed, then smoothstep between the values at both ends.
        uint32_t h = seed != 0 ? static_cast<uint32_t>(seed) * 5267u : static_cast<uint32_t>(randomBase);
        h += k;
        const float S = (3.0f - 2.0f * s) * (s * s);
        a = hashA(h) + (hashA(h + 1u) - hashA(h)) * S;
        b = hashB(h) + (hashB(h + 1u) - hashB(h)) * S;
    }
    const float strength = 1.0f + strengthVariation * b;
    return {(windBase.x + a * windVariation.x) * strength, (windBase.y + a * windVariation.y) * strength,
            (windBase.z + a * windVariation.z) * strength};
}

void drSwind::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drSwind::beginPoints(drScloth& cloth, drSsolver& solver) {
    current_ = windAt(solver.time);
    // Without triangles (or normals) every point feels the wind itself.
    useNormals_ = cloth.triangleCount != 0 && cloth.normals.size() >= static_cast<size_t>(std::max(cloth.pointCount, 0));
}

void drSwind::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    blow(current_, sideMode, useNormals_ ? cloth.normals.data() : nullptr, cloth.forces.data(), begin, end);
}
