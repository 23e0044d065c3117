#include "drSgather.h"

#include <algorithm>
#include <climits>

#include "drSlanes.h"

#include "drSx86.h"
#if !DR_X86 && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

/// Points [begin, end) one by one. Point b adds -f (the sign bit flipped),
/// which gives exactly what "forces[b] -= f" gives.
void gatherOneByOne(const int32_t* start, const int32_t* entries, const drSvec4* f, drSvec3* forces, int32_t begin,
                    int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
        const int32_t from = start[i], to = start[i + 1];
        if (from == to) continue;
#if defined(__SSE2__)
        alignas(16) static const float signs[2][4] = {{0.0f, 0.0f, 0.0f, 0.0f}, {-0.0f, -0.0f, -0.0f, -0.0f}};
        drSvec3& F = forces[i];
        __m128 sum = _mm_setr_ps(F.x, F.y, F.z, 0.0f);
        for (int32_t e = from; e < to; ++e) {
            const int32_t k = entries[e];
            sum = _mm_add_ps(sum, _mm_xor_ps(_mm_load_ps(&f[k >> 1].x), _mm_load_ps(signs[k & 1])));
        }
        alignas(16) float r[4];
        _mm_store_ps(r, sum);
        F = {r[0], r[1], r[2]};
#else
        drSvec3 sum = forces[i];
        for (int32_t e = from; e < to; ++e) {
            const int32_t k = entries[e];
            const drSvec4& g = f[k >> 1];
            if ((k & 1) == 0) {
                sum.x += g.x;
                sum.y += g.y;
                sum.z += g.z;
            } else {
                sum.x -= g.x;
                sum.y -= g.y;
                sum.z -= g.z;
            }
        }
        forces[i] = sum;
#endif
    }
}

/// Normals of points [begin, end) one by one: zero plus the area vectors of
/// the point's triangles in triangle order.
void normalsOneByOne(const int32_t* start, const int32_t* entries, const drSvec4* areas, drSvec3* normals,
                     int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end; ++i) {
#if defined(__SSE2__)
        __m128 sum = _mm_setzero_ps();
        for (int32_t e = start[i]; e < start[i + 1]; ++e) sum = _mm_add_ps(sum, _mm_load_ps(&areas[entries[e] / 3].x));
        alignas(16) float r[4];
        _mm_store_ps(r, sum);
        normals[i] = {r[0], r[1], r[2]};
#else
        drSvec3 sum{};
        for (int32_t e = start[i]; e < start[i + 1]; ++e) {
            const drSvec4& a = areas[entries[e] / 3];
            sum.x += a.x;
            sum.y += a.y;
            sum.z += a.z;
        }
        normals[i] = sum;
#endif
    }
}

/// Points [begin, end) one by one: the springs' forces added to the points'
/// (kNormals false), or the triangles' area vectors into the normals.
template <bool kNormals>
void oneByOne(const int32_t* start, const int32_t* entries, const drSvec4* slots, drSvec3* out, int32_t begin,
              int32_t end) {
    if (kNormals)
        normalsOneByOne(start, entries, slots, out, begin, end);
    else
        gatherOneByOne(start, entries, slots, out, begin, end);
}

#if DR_X86
DR_LANES16_BEGIN
/// Groups [firstGroup, lastGroup), four points a vector where their rows
/// allow: the springs' forces added to the points' (kNormals false), or the
/// triangles' area vectors added from zero into the normals (kNormals true).
template <bool kNormals>
__attribute__((target("avx512f"))) void gatherGroups16(const int32_t* start, const int32_t* entries,
                                                       const drSgatherGroups& groups, const drSvec4* f,
                                                       drSvec3* out, int32_t firstGroup, int32_t lastGroup) {
    // The four points' 12 floats spread to a point per quarter (w = 0), and back
    const __m512i spread = _mm512_setr_epi32(0, 1, 2, 15, 3, 4, 5, 15, 6, 7, 8, 15, 9, 10, 11, 15);
    const __m512i pack = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0);
    const __m512i signBit = _mm512_set1_epi32(static_cast<int32_t>(0x80000000u));
    const char* base = reinterpret_cast<const char*>(f);
    const int32_t* firstRow = groups.firstRow.data();
    const int32_t* rowCount = groups.rowCount.data();
    const int32_t* offsets = groups.rowOffsets.data();
    const uint16_t* negative = groups.rowNegative.data();
    for (int32_t g = firstGroup; g < lastGroup; ++g) {
        const int32_t row = firstRow[g];
        if (row < 0) {
            oneByOne<kNormals>(start, entries, f, out, 4 * g, 4 * g + 4);
            continue;
        }
        // Plain loads and stores of exactly the group's 48 bytes: a masked
        // access counts as 64 bytes wide, so each group would wait for the
        // store of the group before it
        float* F = &out[4 * g].x;
        __m512 sum = _mm512_setzero_ps();
        if (!kNormals) {
            const __m512 loaded =
                _mm512_insertf32x4(_mm512_castps256_ps512(_mm256_loadu_ps(F)), _mm_loadu_ps(F + 8), 2);
            sum = _mm512_maskz_permutexvar_ps(0x7777, spread, loaded);
        }
        const int32_t* o = offsets + 4 * row;
        for (int32_t r = 0; r < rowCount[g]; ++r, o += 4) {
            __m512 t = _mm512_castps128_ps512(_mm_load_ps(reinterpret_cast<const float*>(base + o[0])));
            t = _mm512_insertf32x4(t, _mm_load_ps(reinterpret_cast<const float*>(base + o[1])), 1);
            t = _mm512_insertf32x4(t, _mm_load_ps(reinterpret_cast<const float*>(base + o[2])), 2);
            t = _mm512_insertf32x4(t, _mm_load_ps(reinterpret_cast<const float*>(base + o[3])), 3);
            if (!kNormals) {
                const __m512i ti = _mm512_castps_si512(t);
                t = _mm512_castsi512_ps(_mm512_mask_xor_epi32(ti, negative[row + r], ti, signBit));
            }
            sum = _mm512_add_ps(sum, t);
        }
        const __m512 packed = _mm512_permutexvar_ps(pack, sum);
        _mm256_storeu_ps(F, _mm512_castps512_ps256(packed));
        _mm_storeu_ps(F + 8, _mm512_extractf32x4_ps(packed, 2));
    }
}
DR_LANES16_END
#endif

}  // namespace

void drSgatherGroups::build(int32_t pointCount, const int32_t* start, const int32_t* entries, int32_t K,
                            bool secondNegative, int32_t padSlot) {
    const int32_t count = pointCount > 0 ? pointCount / 4 : 0;
    constexpr int32_t kLargestSlot = INT32_MAX / static_cast<int32_t>(sizeof(drSvec4));  // byte offsets fit
    firstRow.assign(static_cast<size_t>(count), -1);
    rowCount.assign(static_cast<size_t>(count), 0);
    rowOffsets.clear();
    rowNegative.clear();
    if (padSlot < 0 || padSlot > kLargestSlot) return;
    const int32_t pad = padSlot * static_cast<int32_t>(sizeof(drSvec4));
    int32_t rows = 0;
    for (int32_t g = 0; g < count; ++g) {
        const int32_t* s = start + 4 * g;
        int32_t c = 0;
        for (int32_t p = 0; p < 4; ++p) c = std::max(c, s[p + 1] - s[p]);
        // Points with fewer entries than the group's most add the padding
        // slot's negative zeros, which leave every sum as it is; a group
        // whose padding would more than double its loads goes point by point
        if (c == 0 || 4 * c > 2 * (s[4] - s[0]) + 4) continue;
        bool fits = true;
        for (int32_t e = s[0]; e < s[4]; ++e) fits = fits && entries[e] / K <= kLargestSlot;
        if (!fits) continue;
        firstRow[static_cast<size_t>(g)] = rows;
        rowCount[static_cast<size_t>(g)] = c;
        for (int32_t e = 0; e < c; ++e) {
            uint16_t lanes = 0;
            for (int32_t p = 0; p < 4; ++p) {
                if (s[p] + e >= s[p + 1]) {
                    rowOffsets.push_back(pad);
                    continue;
                }
                const int32_t k = entries[s[p] + e];
                rowOffsets.push_back(k / K * static_cast<int32_t>(sizeof(drSvec4)));
                if (secondNegative && k % K == 1) lanes = static_cast<uint16_t>(lanes | (0xFu << (4 * p)));
            }
            rowNegative.push_back(lanes);
        }
        rows += c;
    }
}

namespace {

/// The groups inside [begin, end) with 16 lanes, the points around them one by one.
template <bool kNormals>
void gatherRange(const int32_t* start, const int32_t* entries, const drSgatherGroups& groups, const drSvec4* slots,
                 drSvec3* out, int32_t begin, int32_t end) {
#if DR_X86
    if (drSlaneWidth() == 16) {
        const int32_t firstGroup = (begin + 3) / 4;
        const int32_t lastGroup = std::min(end / 4, static_cast<int32_t>(groups.firstRow.size()));
        if (firstGroup < lastGroup) {
            oneByOne<kNormals>(start, entries, slots, out, begin, 4 * firstGroup);
            gatherGroups16<kNormals>(start, entries, groups, slots, out, firstGroup, lastGroup);
            begin = 4 * lastGroup;
        }
    }
#else
    (void)groups;
#endif
    oneByOne<kNormals>(start, entries, slots, out, begin, end);
}

}  // namespace

void drSgatherSpringForces(const int32_t* start, const int32_t* entries, const drSgatherGroups& groups,
                           const drSvec4* slots, drSvec3* forces, int32_t begin, int32_t end) {
    gatherRange<false>(start, entries, groups, slots, forces, begin, end);
}

void drSgatherNormals(const int32_t* start, const int32_t* entries, const drSgatherGroups& groups,
                      const drSvec4* slots, drSvec3* normals, int32_t begin, int32_t end) {
    gatherRange<true>(start, entries, groups, slots, normals, begin, end);
}
