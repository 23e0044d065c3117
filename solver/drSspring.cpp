#include "drSspring.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drScloth.h"
#include "pool.h"

void drSspring::applyRange(const drScloth& cloth, drSvec3* forces, int32_t begin, int32_t end) const {
    // The springs run in blocks: gather the differences of each block into
    // small component arrays, compute the forces of four springs at a time,
    // then add them to the points in spring order. Every lane does exactly
    // the scalar operations in the written order (square roots and divisions
    // are correctly rounded either way), so the result is the same as one
    // spring after the other; the blocks only let the long square-root and
    // division chains of neighbouring springs overlap.
    constexpr int32_t kBlock = 64;
    alignas(16) float dx[kBlock], dy[kBlock], dz[kBlock];  // x[b] - x[a]
    alignas(16) float ux[kBlock], uy[kBlock], uz[kBlock];  // v[b] - v[a]
    alignas(16) float rest[kBlock], factor[kBlock];
    const drSvec3* x = cloth.positions.data();
    const drSvec3* v = cloth.velocities.data();
    const std::array<int32_t, 2>* pairs = springPairs.data();
    const float ks = stiffness;
    const float kd = damping;
    for (int32_t first = begin; first < end; first += kBlock) {
        const int32_t count = std::min(kBlock, end - first);
        const int32_t padded = (count + 3) & ~3;

        // Gather: differences of positions and velocities, spring by spring
        for (int32_t j = 0; j < count; ++j) {
            const int32_t a = pairs[first + j][0];
            const int32_t b = pairs[first + j][1];
            dx[j] = x[b].x - x[a].x;
            dy[j] = x[b].y - x[a].y;
            dz[j] = x[b].z - x[a].z;
            ux[j] = v[b].x - v[a].x;
            uy[j] = v[b].y - v[a].y;
            uz[j] = v[b].z - v[a].z;
        }
        // Rest lengths and factors are read in place, except in a last short
        // block, whose idle lanes (never added) get harmless values.
        const float* restOf = restLengths.data() + first;
        const float* factorOf = springFactors.data() + first;
        if (count < kBlock) {
            for (int32_t j = 0; j < count; ++j) {
                rest[j] = restOf[j];
                factor[j] = factorOf[j];
            }
            for (int32_t j = count; j < padded; ++j) {
                dx[j] = dy[j] = dz[j] = ux[j] = uy[j] = uz[j] = 0.0f;
                rest[j] = 1.0f;
                factor[j] = 0.0f;
            }
            restOf = rest;
            factorOf = factor;
        }

        // Forces: f = k d + c (v[b] - v[a]), with
        // len = max(L * 0.001, |d|), k = stiffness / len * (len - L) * w, c = damping * w.
        // The floor on len keeps a collapsed spring finite (its d is zero, so
        // only the damping term acts); a spring of rest length 0 whose ends
        // meet has len 0, and its elastic term is taken as the zero it tends to.
#if defined(__SSE2__)
        const __m128 ksv = _mm_set1_ps(ks), kdv = _mm_set1_ps(kd), floor = _mm_set1_ps(0.001f);
        for (int32_t j = 0; j < padded; j += 4) {
            const __m128 X = _mm_load_ps(dx + j), Y = _mm_load_ps(dy + j), Z = _mm_load_ps(dz + j);
            const __m128 L = _mm_loadu_ps(restOf + j), w = _mm_loadu_ps(factorOf + j);
            const __m128 norm = _mm_sqrt_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(X, X), _mm_mul_ps(Y, Y)), _mm_mul_ps(Z, Z)));
            // max(a, b) as std::max(L * 0.001, norm) picks: norm when greater, else the floor
            const __m128 len = _mm_max_ps(norm, _mm_mul_ps(L, floor));
            const __m128 e = _mm_sub_ps(len, L);
            // A zero-length spring at rest (len 0) has no elastic term: d is zero.
            const __m128 k = _mm_and_ps(_mm_cmpneq_ps(len, _mm_setzero_ps()),
                                        _mm_mul_ps(_mm_mul_ps(_mm_div_ps(ksv, len), e), w));
            const __m128 c = _mm_mul_ps(kdv, w);
            _mm_store_ps(dx + j, _mm_add_ps(_mm_mul_ps(k, X), _mm_mul_ps(c, _mm_load_ps(ux + j))));
            _mm_store_ps(dy + j, _mm_add_ps(_mm_mul_ps(k, Y), _mm_mul_ps(c, _mm_load_ps(uy + j))));
            _mm_store_ps(dz + j, _mm_add_ps(_mm_mul_ps(k, Z), _mm_mul_ps(c, _mm_load_ps(uz + j))));
        }
#else
        for (int32_t j = 0; j < count; ++j) {
            const float L = restOf[j], w = factorOf[j];
            const float len = std::max(L * 0.001f, std::sqrt(dx[j] * dx[j] + dy[j] * dy[j] + dz[j] * dz[j]));
            const float e = len - L;
            const float k = len != 0.0f ? ks / len * e * w : 0.0f;
            const float c = kd * w;
            dx[j] = k * dx[j] + c * ux[j];
            dy[j] = k * dy[j] + c * uy[j];
            dz[j] = k * dz[j] + c * uz[j];
        }
#endif

        // Scatter: add f to point a and subtract it from point b, in spring order
        for (int32_t j = 0; j < count; ++j) {
            const int32_t a = pairs[first + j][0];
            const int32_t b = pairs[first + j][1];
            forces[a].x += dx[j];
            forces[a].y += dy[j];
            forces[a].z += dz[j];
            forces[b].x -= dx[j];
            forces[b].y -= dy[j];
            forces[b].z -= dz[j];
        }
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
    if (T >= 2 && cloth.pointCount >= kParallelClothPoints && static_cast<int32_t>(cloth.threadForceBuffers.size()) >= T) {
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
