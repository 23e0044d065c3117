#include "drSpointLanes.h"

#include <cstring>

#include "drSlanes.h"

#include "drSx86.h"

namespace {

// The loops, written once over flat float arrays; each width below compiles
// them for its instruction set, and the compiler turns them into vector
// lanes without reordering any point's operations (no fused multiply-adds,
// no reassociation).

[[gnu::always_inline]] inline void integrateLoop(const float* __restrict m, const float* __restrict f,
                                                 float* __restrict v, float* __restrict p, float dt, int32_t begin,
                                                 int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const float k = dt / m[i];
        const float vx = v[3 * i] + k * f[3 * i];
        const float vy = v[3 * i + 1] + k * f[3 * i + 1];
        const float vz = v[3 * i + 2] + k * f[3 * i + 2];
        v[3 * i] = vx;
        v[3 * i + 1] = vy;
        v[3 * i + 2] = vz;
        p[3 * i] += dt * vx;
        p[3 * i + 1] += dt * vy;
        p[3 * i + 2] += dt * vz;
    }
}

[[gnu::always_inline]] inline void weightLoop(float gx, float gy, float gz, const float* __restrict m,
                                              float* __restrict f, int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const float mass = m[i];
        f[3 * i] += gx * mass;
        f[3 * i + 1] += gy * mass;
        f[3 * i + 2] += gz * mass;
    }
}

[[gnu::always_inline]] inline void dragLoop(float damping, const float* __restrict v, float* __restrict f,
                                            int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        f[3 * i] -= damping * v[3 * i];
        f[3 * i + 1] -= damping * v[3 * i + 1];
        f[3 * i + 2] -= damping * v[3 * i + 2];
    }
}

/// |f|^2 / m^2 of each point into a[0, end - begin).
[[gnu::always_inline]] inline void accelerationLoop(const float* __restrict m, const float* __restrict f,
                                                    float* __restrict a, int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const float x = f[3 * i], y = f[3 * i + 1], z = f[3 * i + 2];
        a[i - begin] = (x * x + y * y + z * z) / (m[i] * m[i]);
    }
}

/// The largest of a[0, count) and start by the scalar rule "a > largest".
[[gnu::always_inline]] inline float largestLoop(const float* a, int32_t count, float start) {
    float largest = start;
    for (int32_t j = 0; j < count; ++j)
        if (a[j] > largest) largest = a[j];
    return largest;
}

/// Points per piece of the acceleration pass: its values stay in a small buffer.
constexpr int32_t kPiece = 256;

float largestPortable(const float* m, const float* f, int32_t begin, int32_t end, float start) {
    alignas(64) float a[kPiece];
    float largest = start;
    for (int32_t first = begin; first < end; first += kPiece) {
        const int32_t last = end - first < kPiece ? end : first + kPiece;
        accelerationLoop(m, f, a, first, last);
        largest = largestLoop(a, last - first, largest);
    }
    return largest;
}

/// Eight and sixteen floats side by side (the compiler's vector types).
typedef float Lanes8 __attribute__((vector_size(32)));
typedef float Lanes16 __attribute__((vector_size(64)));

/// The same in the lanes of a vector type: a lane takes a value only when it is greater (the
/// scalar rule, so values that are not a number never win), and the lanes'
/// largest values are then taken by the scalar rule. Only the order in
/// which equal values meet changes, and they are the same value.
template <class Lanes>
[[gnu::always_inline]] inline float largestInLanes(const float* m, const float* f, int32_t begin, int32_t end,
                                                   float start) {
    constexpr int32_t W = sizeof(Lanes) / sizeof(float);
    alignas(64) float a[kPiece];
    Lanes lanes;
    for (int l = 0; l < W; ++l) lanes[l] = start;
    float largest = start;
    for (int32_t first = begin; first < end; first += kPiece) {
        const int32_t last = end - first < kPiece ? end : first + kPiece;
        accelerationLoop(m, f, a, first, last);
        const int32_t count = last - first, whole = count / W * W;
        for (int32_t j = 0; j < whole; j += W) {
            Lanes x;
            std::memcpy(&x, a + j, sizeof x);
            lanes = x > lanes ? x : lanes;
        }
        largest = largestLoop(a + whole, count - whole, largest);
    }
    for (int l = 0; l < W; ++l)
        if (lanes[l] > largest) largest = lanes[l];
    return largest;
}

#if DR_X86
__attribute__((target("avx2"))) void integrate8(const float* m, const float* f, float* v, float* p, float dt,
                                                int32_t begin, int32_t end) {
    integrateLoop(m, f, v, p, dt, begin, end);
}
__attribute__((target("avx512f"))) void integrate16(const float* m, const float* f, float* v, float* p, float dt,
                                                    int32_t begin, int32_t end) {
    integrateLoop(m, f, v, p, dt, begin, end);
}
__attribute__((target("avx2"))) void weight8(float gx, float gy, float gz, const float* m, float* f, int32_t begin,
                                             int32_t end) {
    weightLoop(gx, gy, gz, m, f, begin, end);
}
__attribute__((target("avx512f"))) void weight16(float gx, float gy, float gz, const float* m, float* f,
                                                 int32_t begin, int32_t end) {
    weightLoop(gx, gy, gz, m, f, begin, end);
}
__attribute__((target("avx2"))) void drag8(float damping, const float* v, float* f, int32_t begin, int32_t end) {
    dragLoop(damping, v, f, begin, end);
}
__attribute__((target("avx512f"))) void drag16(float damping, const float* v, float* f, int32_t begin, int32_t end) {
    dragLoop(damping, v, f, begin, end);
}

__attribute__((target("avx2"))) float largest8(const float* m, const float* f, int32_t begin, int32_t end,
                                               float start) {
    return largestInLanes<Lanes8>(m, f, begin, end, start);
}
__attribute__((target("avx512f"))) float largest16(const float* m, const float* f, int32_t begin, int32_t end,
                                                   float start) {
    return largestInLanes<Lanes16>(m, f, begin, end, start);
}
#endif

const float* flat(const drSvec3* p) { return reinterpret_cast<const float*>(p); }
float* flat(drSvec3* p) { return reinterpret_cast<float*>(p); }

}  // namespace

void drSintegratePoints(const float* masses, const drSvec3* forces, drSvec3* velocities, drSvec3* positions,
                        float dt, int32_t begin, int32_t end) {
    switch (drSlaneWidth()) {
#if DR_X86
        case 16: integrate16(masses, flat(forces), flat(velocities), flat(positions), dt, begin, end); return;
        case 8: integrate8(masses, flat(forces), flat(velocities), flat(positions), dt, begin, end); return;
#endif
        default: integrateLoop(masses, flat(forces), flat(velocities), flat(positions), dt, begin, end); return;
    }
}

void drSaddWeights(const drSvec3& g, const float* masses, drSvec3* forces, int32_t begin, int32_t end) {
    switch (drSlaneWidth()) {
#if DR_X86
        case 16: weight16(g.x, g.y, g.z, masses, flat(forces), begin, end); return;
        case 8: weight8(g.x, g.y, g.z, masses, flat(forces), begin, end); return;
#endif
        default: weightLoop(g.x, g.y, g.z, masses, flat(forces), begin, end); return;
    }
}

void drSaddDrag(float damping, const drSvec3* velocities, drSvec3* forces, int32_t begin, int32_t end) {
    switch (drSlaneWidth()) {
#if DR_X86
        case 16: drag16(damping, flat(velocities), flat(forces), begin, end); return;
        case 8: drag8(damping, flat(velocities), flat(forces), begin, end); return;
#endif
        default: dragLoop(damping, flat(velocities), flat(forces), begin, end); return;
    }
}

float drSlargestAcceleration(const float* masses, const drSvec3* forces, int32_t begin, int32_t end, float start) {
    if (end <= begin) return start;
    switch (drSlaneWidth()) {
#if DR_X86
        case 16: return largest16(masses, flat(forces), begin, end, start);
        case 8: return largest8(masses, flat(forces), begin, end, start);
#endif
        default: return largestPortable(masses, flat(forces), begin, end, start);
    }
}
