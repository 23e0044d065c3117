// Mixed sub-steps of the candidate lists: the points the lists still
// answer after parts of the cloth moved too far, and the leaves the others
// read.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>

#include "drSlanes.h"
#include "drSselfCandidates.h"
#include "drSselfMath.h"
#include "drStriangleNode.h"
#include "drStriples16.h"
#include "drSx86.h"

using namespace drSself;

namespace {

/// Per leaf in a mixed sub-step: its translation (3), the bound, its spread,
/// 1 when it turns (then placed by its refitted box), and its turn (9, by rows).
constexpr size_t kFrame = 15;
/// True when a leaf of a mixed sub-step is placed by its refitted box: when
/// it moved too far for its translation (also when it turns).
bool placedByRefit(const double* frame) { return frame[3] < 0.0 || frame[5] != 0.0; }

/// What the point pass reads, for its 16-lane form: the points and the
/// anchor, the box outside which no leaf's box lies, and the cells
/// of the leaf grid with their frames (null without a usable grid).
struct PointLanes {
    const float* positions;
    const float* anchor;
    float lo[3], hi[3];
    const double* cells;
    float origin[3], scale[3], last[3];
    int32_t counts[2];
};
/// The leaves of the grid's cells, id by id, for the 16-lane test of one
/// point against the leaves of its cell: each leaf's translation and bound
/// (negative for a leaf that turns) and its placed box, by component.
struct SlotLanes {
    const double* frame[4];
    const float* box[6];
};

#if DR_X86
DR_LANES16_BEGIN

/// The low and high eight lanes of sixteen floats, as doubles.
__attribute__((target("avx512f"))) inline __m512d lowHalf(__m512 x) { return _mm512_cvtps_pd(_mm512_castps512_ps256(x)); }
__attribute__((target("avx512f"))) inline __m512d highHalf(__m512 x) {
    return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
}

/// The box of the displacements since the anchor of `count` corners (each
/// the difference of its two floats as doubles),
/// x, y and z side by side, each kept as std::min and std::max keep it.
__attribute__((target("avx512f"))) void shiftBox4(const int32_t* corners, int32_t count, const float* p, const float* a,
                                                  double* lo, double* hi) {
    __m256d low = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    __m256d high = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
    for (int32_t s = 0; s < count; ++s) {
        const ptrdiff_t c = 3 * static_cast<ptrdiff_t>(corners[s]);
        const __m256d d = _mm256_sub_pd(_mm256_cvtps_pd(_mm512_castps512_ps128(_mm512_maskz_loadu_ps(0x7, p + c))),
                                        _mm256_cvtps_pd(_mm512_castps512_ps128(_mm512_maskz_loadu_ps(0x7, a + c))));
        low = _mm256_min_pd(d, low);     // d < low ? d : low
        high = _mm256_max_pd(d, high);  // d > high ? d : high
    }
    alignas(32) double out[8];
    _mm256_store_pd(out, low);
    _mm256_store_pd(out + 4, high);
    for (int k = 0; k < 3; ++k) {
        lo[k] = out[k];
        hi[k] = out[4 + k];
    }
}

/// The box of the motions (x, y, z and bound: 4 doubles per leaf) of the
/// leaves whose ids are [begin, end), x, y, z and bound side by side, each kept as
/// std::min and std::max keep it; the smallest bound is the low box's
/// fourth.
__attribute__((target("avx512f"))) void motionBox4(const int32_t* begin, const int32_t* end, const double* motion,
                                                   double* lo, double* hi) {
    __m256d low = _mm256_set1_pd(std::numeric_limits<double>::infinity());
    __m256d high = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
    for (const int32_t* id = begin; id != end; ++id) {
        const __m256d m = _mm256_loadu_pd(motion + 4 * static_cast<ptrdiff_t>(*id));
        low = _mm256_min_pd(m, low);     // m < low ? m : low
        high = _mm256_max_pd(m, high);  // m > high ? m : high
    }
    _mm256_storeu_pd(lo, low);
    _mm256_storeu_pd(hi, high);
}

/// Copies, for the ids [begin, end) of the leaf grid's cells, their leaf's
/// translation and bound (4 doubles per leaf in `motion`) and placed box
/// into the slots (see SlotLanes), sixteen ids at a time.
__attribute__((target("avx512f"))) void fillSlots16(const int32_t* ids, int32_t begin, int32_t end, const double* motion,
                                                    const float* boxes, double* const* frame, float* const* box) {
    for (int32_t j = begin; j < end; j += 16) {
        const __mmask16 lanes = drSfirstLanes16(end - j);
        const __m512i id = _mm512_maskz_loadu_epi32(lanes, ids + j);
        // (an entry is 7 floats: its box, then its id)
        const __m512i at = _mm512_mullo_epi32(id, _mm512_set1_epi32(7));
        for (int k = 0; k < 6; ++k)
            _mm512_mask_storeu_ps(box[k] + j, lanes, _mm512_mask_i32gather_ps(_mm512_setzero_ps(), lanes, at, boxes + k, 4));
        const __m512i four = _mm512_slli_epi32(id, 2);
        for (int h = 0; h < 2; ++h) {
            const __mmask8 m = static_cast<__mmask8>(lanes >> (8 * h));
            if (m == 0) break;
            const __m256i where = h == 0 ? _mm512_castsi512_si256(four) : _mm512_extracti64x4_epi64(four, 1);
            for (int c = 0; c < 4; ++c)
                _mm512_mask_storeu_pd(frame[c] + j + 8 * h, m, _mm512_mask_i32gather_pd(_mm512_setzero_pd(), m, where, motion + c, 8));
        }
    }
}

/// floatAbove lane by lane: the next float above each (the same for -0 and
/// +0; +infinity stays).
__attribute__((target("avx512f"))) inline __m256 floatsAbove(__m256 f) {
    const __m256i bits = _mm256_castps_si256(f), one = _mm256_set1_epi32(1);
    __m256i r = _mm256_blendv_epi8(_mm256_sub_epi32(bits, one), _mm256_add_epi32(bits, one),
                                   _mm256_castps_si256(_mm256_cmp_ps(f, _mm256_setzero_ps(), _CMP_GT_OQ)));
    r = _mm256_blendv_epi8(r, bits, _mm256_castps_si256(_mm256_cmp_ps(f, _mm256_set1_ps(std::numeric_limits<float>::infinity()), _CMP_EQ_OQ)));
    r = _mm256_blendv_epi8(r, one, _mm256_castps_si256(_mm256_cmp_ps(f, _mm256_setzero_ps(), _CMP_EQ_OQ)));
    return _mm256_castsi256_ps(r);
}

/// The placed boxes of the leaves [begin, end) (see placeLeaves), eight at
/// a time in the arithmetic of the plain loop, into the entries of the
/// leaves that are not placed by their refit; every entry gets its id.
__attribute__((target("avx512f"))) void placeBoxes8(const double* frames, const double* anchorBoxes, int32_t begin,
                                                    int32_t end, double band, drSleafGrid::Entry* entries) {
    const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 sign = _mm256_set1_ps(-0.0f);
    for (int32_t l = begin; l < end; l += 8) {
        const __mmask8 m = static_cast<__mmask8>(drSfirstLanes16(end - l));
        const __m256i leaf = _mm256_add_epi32(iota, _mm256_set1_epi32(l));
        const __m256i frame = _mm256_mullo_epi32(leaf, _mm256_set1_epi32(static_cast<int32_t>(kFrame)));
        const __m256i box = _mm256_mullo_epi32(leaf, _mm256_set1_epi32(6));
        const __m512d r = _mm512_mul_pd(_mm512_mask_i32gather_pd(_mm512_setzero_pd(), m, frame, frames + 4, 8), _mm512_set1_pd(1.001));
        alignas(32) float lo[3][8], hi[3][8];
        for (int k = 0; k < 3; ++k) {
            const __m512d g = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), m, frame, frames + k, 8);
            const __m512d low = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), m, box, anchorBoxes + k, 8);
            const __m512d high = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), m, box, anchorBoxes + 3 + k, 8);
            const __m512d grow = _mm512_add_pd(
                _mm512_add_pd(r, _mm512_mul_pd(_mm512_set1_pd(0.05), _mm512_add_pd(_mm512_sub_pd(high, low), _mm512_mul_pd(_mm512_set1_pd(2.0), r)))),
                _mm512_set1_pd(band));
            const __m512d a = _mm512_sub_pd(_mm512_add_pd(low, g), grow), b = _mm512_add_pd(_mm512_add_pd(high, g), grow);
            // (max(|b|, |a|) is |b| > |a| ? |b| : |a|, as std::max(|a|, |b|))
            const __m512d margin = _mm512_mul_pd(_mm512_set1_pd(1e-5), _mm512_add_pd(_mm512_set1_pd(1.0), _mm512_max_pd(_mm512_abs_pd(b), _mm512_abs_pd(a))));
            const __m256 below = _mm512_cvtpd_ps(_mm512_sub_pd(a, margin)), above = _mm512_cvtpd_ps(_mm512_add_pd(b, margin));
            _mm256_store_ps(lo[k], _mm256_xor_ps(floatsAbove(_mm256_xor_ps(below, sign)), sign));
            _mm256_store_ps(hi[k], floatsAbove(above));
        }
        for (int32_t q = 0; q < 8 && l + q < end; ++q) {
            drSleafGrid::Entry& entry = entries[l + q];
            entry.id = l + q;
            if (placedByRefit(frames + static_cast<size_t>(l + q) * kFrame)) continue;  // placed after its refit
            for (int k = 0; k < 3; ++k) {
                entry.boxMin[k] = lo[k][q];
                entry.boxMax[k] = hi[k][q];
            }
        }
    }
}

/// Writes to `out` the points of [begin, end), in order, that lie in the
/// box and, with a grid, not within the radius of their cell's centre, and
/// to `cells` their cells; returns how many. The same tests as the plain
/// pass, in the same arithmetic: the box and the cell in floats, the
/// displacement and the radius in double.
__attribute__((target("avx512f"))) int32_t lookPoints16(const PointLanes& t, int32_t begin, int32_t end, int32_t* out,
                                                      int32_t* cells) {
    const __m512i iota = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    int32_t n = 0;
    for (int32_t i = begin; i < end; i += 16) {
        const int32_t count = std::min<int32_t>(16, end - i);
        const drSlanes3x16 points = drSloadTriples16(t.positions + 3 * static_cast<ptrdiff_t>(i), count);
        const __m512 P[3] = {points.x, points.y, points.z};
        __mmask16 in = drSfirstLanes16(count);
        for (int k = 0; k < 3; ++k) {
            in = _mm512_mask_cmp_ps_mask(in, P[k], _mm512_set1_ps(t.lo[k]), _CMP_GE_OQ);
            in = _mm512_mask_cmp_ps_mask(in, P[k], _mm512_set1_ps(t.hi[k]), _CMP_LE_OQ);
        }
        __mmask16 look = in;
        __m512i cell = _mm512_setzero_si512();
        if (t.cells != nullptr && in != 0) {
            const drSlanes3x16 anchors = drSloadTriples16(t.anchor + 3 * static_cast<ptrdiff_t>(i), count);
            const __m512 A[3] = {anchors.x, anchors.y, anchors.z};
            // The cell: min(max((x - origin) * scale, 0), last) along each
            // axis, truncated, as the grid finds it
            __m512i index[3];
            for (int k = 0; k < 3; ++k) {
                const __m512 f = _mm512_mul_ps(_mm512_sub_ps(P[k], _mm512_set1_ps(t.origin[k])), _mm512_set1_ps(t.scale[k]));
                index[k] = _mm512_cvttps_epi32(_mm512_min_ps(_mm512_set1_ps(t.last[k]), _mm512_max_ps(_mm512_setzero_ps(), f)));
            }
            cell = _mm512_add_epi32(
                _mm512_mullo_epi32(_mm512_add_epi32(_mm512_mullo_epi32(index[2], _mm512_set1_epi32(t.counts[1])), index[1]),
                                   _mm512_set1_epi32(t.counts[0])),
                index[0]);
            const __m512i at = _mm512_slli_epi32(cell, 2);
            for (int h = 0; h < 2; ++h) {
                const __mmask8 m = static_cast<__mmask8>(in >> (8 * h));
                if (m == 0) continue;
                const __m256i where = h == 0 ? _mm512_castsi512_si256(at) : _mm512_extracti64x4_epi64(at, 1);
                __m512d g[4];
                for (int c = 0; c < 4; ++c) g[c] = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), m, where, t.cells + c, 8);
                __m512d e[3];
                for (int k = 0; k < 3; ++k) {
                    const __m512d d = h == 0 ? _mm512_sub_pd(lowHalf(P[k]), lowHalf(A[k])) : _mm512_sub_pd(highHalf(P[k]), highHalf(A[k]));
                    e[k] = _mm512_sub_pd(d, g[k]);
                }
                const __m512d sum = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(e[0], e[0]), _mm512_mul_pd(e[1], e[1])),
                                                  _mm512_mul_pd(e[2], e[2]));
                __mmask8 ok = _mm512_mask_cmp_pd_mask(m, g[3], _mm512_setzero_pd(), _CMP_GE_OQ);
                ok = _mm512_mask_cmp_pd_mask(ok, sum, _mm512_mul_pd(g[3], g[3]), _CMP_LE_OQ);
                look = static_cast<__mmask16>(look & ~(static_cast<uint32_t>(ok) << (8 * h)));
            }
        }
        _mm512_mask_compressstoreu_epi32(out + n, look, _mm512_add_epi32(iota, _mm512_set1_epi32(i)));
        _mm512_mask_compressstoreu_epi32(cells + n, look, cell);
        n += std::popcount(static_cast<uint32_t>(look));
    }
    return n;
}

/// The lanes of the ids [j, j + 16) among `lanes` whose leaf's placed box
/// contains the point P (broadcast), as inBox finds it.
__attribute__((target("avx512f"))) inline __mmask16 boxedLanes(const SlotLanes& s, int32_t j, __mmask16 lanes,
                                                              const __m512* P) {
    __mmask16 in = lanes;
    for (int k = 0; k < 3; ++k) {
        in = _mm512_mask_cmp_ps_mask(in, P[k], _mm512_maskz_loadu_ps(lanes, s.box[k] + j), _CMP_GE_OQ);
        in = _mm512_mask_cmp_ps_mask(in, P[k], _mm512_maskz_loadu_ps(lanes, s.box[3 + k] + j), _CMP_LE_OQ);
    }
    return in;
}

/// The ids of [j, min(j + 16, last)) whose leaf's placed box contains `p`
/// and whose bound the point, moved by `d`, misses (always a negative
/// bound), as bits from j: sixteen boxes, then their bounds in two halves
/// of eight, in the arithmetic of the plain test.
__attribute__((target("avx512f"))) uint32_t missedSlots16(const SlotLanes& s, int32_t j, int32_t last, const drSvec3& p,
                                                         const double* d) {
    const __m512 P[3] = {_mm512_set1_ps(p.x), _mm512_set1_ps(p.y), _mm512_set1_ps(p.z)};
    const __mmask16 in = boxedLanes(s, j, drSfirstLanes16(last - j), P);
    uint32_t missed = 0;
    for (int h = 0; h < 2; ++h) {
        const __mmask8 m = static_cast<__mmask8>(in >> (8 * h));
        if (m == 0) continue;
        const int32_t at = j + 8 * h;
        __m512d e[3];
        for (int k = 0; k < 3; ++k) e[k] = _mm512_sub_pd(_mm512_set1_pd(d[k]), _mm512_maskz_loadu_pd(m, s.frame[k] + at));
        const __m512d bound = _mm512_maskz_loadu_pd(m, s.frame[3] + at);
        const __m512d sum = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(e[0], e[0]), _mm512_mul_pd(e[1], e[1])),
                                          _mm512_mul_pd(e[2], e[2]));
        __mmask8 ok = _mm512_mask_cmp_pd_mask(m, bound, _mm512_setzero_pd(), _CMP_GE_OQ);
        ok = _mm512_mask_cmp_pd_mask(ok, sum, _mm512_mul_pd(bound, bound), _CMP_LE_OQ);
        missed |= (static_cast<uint32_t>(m) & ~static_cast<uint32_t>(ok)) << (8 * h);
    }
    return missed;
}

/// Appends to `out` the ids of [first, last) (in `ids`) whose leaf's placed
/// box contains `p`, in order.
__attribute__((target("avx512f"))) void boxedSlots16(const SlotLanes& s, const int32_t* ids, int32_t first, int32_t last,
                                                    const drSvec3& p, std::vector<int32_t>& out) {
    const __m512 P[3] = {_mm512_set1_ps(p.x), _mm512_set1_ps(p.y), _mm512_set1_ps(p.z)};
    size_t n = out.size();
    out.resize(n + static_cast<size_t>(last - first));
    for (int32_t j = first; j < last; j += 16) {
        const __mmask16 lanes = drSfirstLanes16(last - j);
        const __mmask16 in = boxedLanes(s, j, lanes, P);
        _mm512_mask_compressstoreu_epi32(out.data() + n, in, _mm512_maskz_loadu_epi32(lanes, ids + j));
        n += static_cast<size_t>(std::popcount(static_cast<uint32_t>(in)));
    }
    out.resize(n);
}

DR_LANES16_END
constexpr bool kLanes16 = true;
#else
constexpr bool kLanes16 = false;
void shiftBox4(const int32_t*, int32_t, const float*, const float*, double*, double*) {}
void motionBox4(const int32_t*, const int32_t*, const double*, double*, double*) {}
void fillSlots16(const int32_t*, int32_t, int32_t, const double*, const float*, double* const*, float* const*) {}
int32_t lookPoints16(const PointLanes&, int32_t, int32_t, int32_t*, int32_t*) { return 0; }
void placeBoxes8(const double*, const double*, int32_t, int32_t, double, drSleafGrid::Entry*) {}
uint32_t missedSlots16(const SlotLanes&, int32_t, int32_t, const drSvec3&, const double*) { return 0; }
void boxedSlots16(const SlotLanes&, const int32_t*, int32_t, int32_t, const drSvec3&, std::vector<int32_t>&) {}
#endif

}  // namespace

// Why the lists still answer a point p that pickPoints leaves to them. The
// tree tries the triangles of the leaves whose box contains p, and only
// those. Take such a leaf L; let G be the centre of the box of its corners'
// displacements since the anchor and r half the box's diagonal, so that every
// corner moved by G plus at most r. With the common translation T = G in the
// argument at the top of the header, p moved relative to any weighted point
// of a triangle of L by at most |D_p - G| + 1.2 r. While that stays within the
// slack, and r within the half slack that the search allowed any corner
// (for the shapes and the leaf boxes it relied on), every triangle of L that
// accepts p is on p's list. A point that fails this for one leaf whose box
// contains it gets the tree's answer: the leaves whose refitted box contains
// it, tried in walk order.
//
// The passes over the points and the leaves run sixteen (eight) lanes wide
// where the processor has them, with the plain passes' tests in the same
// arithmetic, so that they hand the same points to the tree.
void drSselfCandidates::pickPoints(drStriangleNode& tree) {
    const int32_t m = points;
    const int32_t leafCount = static_cast<int32_t>(leaves.size());
    const double allowed = static_cast<double>(slack) / 1.001;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const bool lanes16 = kLanes16 && drSlaneWidth() == 16;
    // True when d lies within g[3] of (g[0], g[1], g[2]) (never for a negative g[3])
    auto within = [](const double* d, const double* g) {
        const double x = d[0] - g[0], y = d[1] - g[1], z = d[2] - g[2];
        return g[3] >= 0.0 && x * x + y * y + z * z <= g[3] * g[3];
    };
    // True when point i, at p and moved by d since the anchor, lies within
    // the bound of where the frame g of its leaf takes it
    auto keeps = [this, &within](int32_t i, const drSvec3& p, const double* d, const double* g) {
        if (g[5] == 0.0) return within(d, g);
        const Vec A = toVec(anchor[static_cast<size_t>(i)]);
        const double* q = g + 6;
        const double f[3] = {static_cast<double>(p.x) - (q[0] * A.x + q[1] * A.y + q[2] * A.z),
                             static_cast<double>(p.y) - (q[3] * A.x + q[4] * A.y + q[5] * A.z),
                             static_cast<double>(p.z) - (q[6] * A.x + q[7] * A.y + q[8] * A.z)};
        return within(f, g);
    };

    // A point's displacement since the anchor, in double: x, y, z and 0
    static_assert(sizeof(drSvec3) == 3 * sizeof(float));
    auto shiftOf = [this](int32_t i, double* d) {
        for (int k = 0; k < 3; ++k) d[k] = static_cast<double>(positions[i][k]) - anchor[static_cast<size_t>(i)][k];
        d[3] = 0.0;
    };

    // Every leaf's translation G and how far a point may be from it: the
    // bound, negative when the leaf's own spread is too large
    leafFrames.resize(static_cast<size_t>(leafCount) * kFrame);
    leafMotion.resize(static_cast<size_t>(leafCount) * 4);
    forRange(leafCount, kParallelLeaves, [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t l = begin; l < end; ++l) {
            // (an empty leaf keeps an empty box and no bound: it contains no point)
            double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
            const int32_t first = leafCornerStart[static_cast<size_t>(l)], last = leafCornerStart[static_cast<size_t>(l) + 1];
            if (lanes16) {
                shiftBox4(leafCorners.data() + first, last - first, reinterpret_cast<const float*>(positions),
                          reinterpret_cast<const float*>(anchor.data()), lo, hi);
            } else {
                for (int32_t s = first; s < last; ++s) {
                    double d[4];
                    shiftOf(leafCorners[static_cast<size_t>(s)], d);
                    for (int k = 0; k < 3; ++k) {
                        lo[k] = std::min(lo[k], d[k]);
                        hi[k] = std::max(hi[k], d[k]);
                    }
                }
            }
            double* frame = &leafFrames[static_cast<size_t>(l) * kFrame];
            double spread = 0.0;
            for (int k = 0; k < 3; ++k) {
                frame[k] = 0.5 * (lo[k] + hi[k]);
                spread += (hi[k] - lo[k]) * (hi[k] - lo[k]);
            }
            const double r = 0.5 * std::sqrt(spread);
            frame[3] = r * 1.001 <= 0.5 * static_cast<double>(slack) ? allowed - 1.2 * r : -1.0;
            frame[4] = r;
            frame[5] = 0.0;
            if (frame[3] < 0.0 && leafTurnable[static_cast<size_t>(l)] == kTurnsWithoutBasis) makeBasis(l);
            if (frame[3] < 0.0 && leafTurnable[static_cast<size_t>(l)] == kTurns) turnLeaf(l, frame);
            // (a turning leaf takes each point by where it was: no radius serves its cells)
            double* motion = &leafMotion[static_cast<size_t>(l) * 4];
            for (int k = 0; k < 3; ++k) motion[k] = frame[k];
            motion[3] = frame[5] != 0.0 ? -1.0 : frame[3];
        }
    });

    // The leaves' boxes, and a grid over them; when the grid cannot serve,
    // the whole tree is refitted and its own grid serves instead
    leafFresh.assign(static_cast<size_t>(leafCount), 0);
    wholeTree = !placeLeaves();
    if (wholeTree) tree.refit();
    const drSleafGrid& grid = wholeTree ? tree.leafBins() : movedGrid;
    const bool binned = grid.usable();
    auto leafOf = [this, &tree](int32_t id) { return wholeTree ? tree.walkLeaf(id) : id; };

    // Every cell of the grid: a centre and a radius such that a point within
    // the radius of the centre is within the bound of every leaf binned in
    // the cell (the leaves whose box may contain a point of the cell). For
    // the 16-lane look at a point's leaves, the leaves of the cells that
    // hold such a point are copied side by side (below)
    const bool slotted = lanes16 && binned && !wholeTree;
    const size_t slots = slotted ? static_cast<size_t>(grid.idCount()) : 0;
    slotFrames.resize(4 * slots);
    slotBoxes.resize(6 * slots);
    const SlotLanes slotLanes{{slotFrames.data(), slotFrames.data() + slots, slotFrames.data() + 2 * slots,
                               slotFrames.data() + 3 * slots},
                              {slotBoxes.data(), slotBoxes.data() + slots, slotBoxes.data() + 2 * slots,
                               slotBoxes.data() + 3 * slots, slotBoxes.data() + 4 * slots, slotBoxes.data() + 5 * slots}};
    if (binned) {
        const int32_t cells = grid.cellCount();
        cellFrames.resize(static_cast<size_t>(cells) * 4);
        forRange(cells, kParallelLeaves, [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t c = begin; c < end; ++c) {
                // (lo[3] is the smallest bound)
                double lo[4] = {kInf, kInf, kInf, kInf}, hi[4] = {-kInf, -kInf, -kInf, -kInf};
                if (lanes16 && !wholeTree) {
                    motionBox4(grid.cellBegin(c), grid.cellEnd(c), leafMotion.data(), lo, hi);
                } else {
                    for (const int32_t* id = grid.cellBegin(c); id != grid.cellEnd(c); ++id) {
                        const double* motion = &leafMotion[static_cast<size_t>(leafOf(*id)) * 4];
                        lo[3] = std::min(lo[3], motion[3]);
                        for (int k = 0; k < 3; ++k) {
                            lo[k] = std::min(lo[k], motion[k]);
                            hi[k] = std::max(hi[k], motion[k]);
                        }
                    }
                }
                const double bound = lo[3];
                double* cell = &cellFrames[static_cast<size_t>(c) * 4];
                if (bound == kInf) {  // no leaf
                    cell[0] = cell[1] = cell[2] = 0.0;
                    cell[3] = kInf;
                    continue;
                }
                double spread = 0.0;
                for (int k = 0; k < 3; ++k) {
                    cell[k] = 0.5 * (lo[k] + hi[k]);
                    spread += (hi[k] - lo[k]) * (hi[k] - lo[k]);
                }
                cell[3] = bound - 0.5 * std::sqrt(spread);
            }
        });
    }
    // Every point: within its cell's radius, or else within the bound of
    // every leaf whose box contains it; handed to the tree when not
    const drSvec3& boxLo = wholeTree ? tree.boxMin : placedMin;
    const drSvec3& boxHi = wholeTree ? tree.boxMax : placedMax;
    PointLanes pointLanes{reinterpret_cast<const float*>(positions),
                          reinterpret_cast<const float*>(anchor.data()),
                          {boxLo.x, boxLo.y, boxLo.z},
                          {boxHi.x, boxHi.y, boxHi.z},
                          binned ? cellFrames.data() : nullptr,
                          {grid.origin().x, grid.origin().y, grid.origin().z},
                          {grid.scale().x, grid.scale().y, grid.scale().z},
                          {grid.last().x, grid.last().y, grid.last().z},
                          {grid.counts(0), grid.counts(1)}};
    const int32_t jobs = drSselfChunks(m, kParallelPoints);
    if (jobLeaves.size() < static_cast<size_t>(jobs)) {
        jobLeaves.resize(static_cast<size_t>(jobs));
        jobStale.resize(static_cast<size_t>(jobs));
        jobLooks.resize(static_cast<size_t>(jobs));
        jobCells.resize(static_cast<size_t>(jobs));
        jobPicked.resize(static_cast<size_t>(jobs));
    }
    // Point i of chunk `job`, in the box and not within the radius of its cell c
    auto look = [&](int32_t job, int32_t i, int32_t c) {
        std::vector<int32_t>& stale = jobStale[static_cast<size_t>(job)];
        std::vector<int32_t>& picks = jobPicked[static_cast<size_t>(job)];
        const drSvec3& p = positions[i];
        double d[4];
        shiftOf(i, d);
        // The leaves of the cell: a leaf whose bound the point keeps needs
        // no look at its box
        if (slotted) {
            // (when one misses, the point is handed to the tree: the leaves
            // of the cell whose box contains it are those it reads)
            const int32_t* ids = grid.cellBegin(0);
            const int32_t first = static_cast<int32_t>(grid.cellBegin(c) - ids);
            const int32_t last = static_cast<int32_t>(grid.cellEnd(c) - ids);
            bool kept = true;
            for (int32_t j = first; kept && j < last; j += 16)
                for (uint32_t missed = missedSlots16(slotLanes, j, last, p, d); kept && missed != 0; missed &= missed - 1) {
                    // (a turning leaf is looked at here)
                    const double* frame = &leafFrames[static_cast<size_t>(ids[j + std::countr_zero(missed)]) * kFrame];
                    kept = frame[5] != 0.0 && keeps(i, p, d, frame);
                }
            if (kept) return;
            picks.push_back(i);
            boxedSlots16(slotLanes, ids, first, last, p, stale);
            return;
        }
        if (binned && !wholeTree) {
            bool kept = true;
            for (const int32_t* id = grid.cellBegin(c); kept && id != grid.cellEnd(c); ++id)
                kept = keeps(i, p, d, &leafFrames[static_cast<size_t>(*id) * kFrame]) ||
                       !inBox(p, placedEntries[static_cast<size_t>(*id)].boxMin, placedEntries[static_cast<size_t>(*id)].boxMax);
            if (kept) return;
        }
        std::vector<int32_t>& leavesHere = jobLeaves[static_cast<size_t>(job)];
        leavesHere.clear();
        if (wholeTree)
            tree.leavesAt(p, leavesHere);
        else
            placedAt(p, leavesHere);
        for (int32_t l : leavesHere) {
            const double* frame = &leafFrames[static_cast<size_t>(l) * kFrame];
            if (!keeps(i, p, d, frame)) {
                // handed to the tree: every leaf whose box contains it is read
                picks.push_back(i);
                stale.insert(stale.end(), leavesHere.begin(), leavesHere.end());
                break;
            }
        }
    };
    if (lanes16) {
        // The points to look at, sixteen at a time; then the leaves of their
        // cells side by side, and a look at each
        drSselfForChunks(m, jobs, [&](int32_t job, int32_t begin, int32_t end) {
            std::vector<int32_t>& looks = jobLooks[static_cast<size_t>(job)];
            std::vector<int32_t>& cellsHere = jobCells[static_cast<size_t>(job)];
            looks.resize(static_cast<size_t>(end - begin));
            cellsHere.resize(static_cast<size_t>(end - begin));
            const int32_t count = lookPoints16(pointLanes, begin, end, looks.data(), cellsHere.data());
            looks.resize(static_cast<size_t>(count));
            cellsHere.resize(static_cast<size_t>(count));
        });
        if (slotted) {
            cellMarks.assign(static_cast<size_t>(grid.cellCount()), 0);
            markedCells.clear();
            for (int32_t job = 0; job < jobs; ++job)
                for (int32_t c : jobCells[static_cast<size_t>(job)])
                    if (cellMarks[static_cast<size_t>(c)] == 0) {
                        cellMarks[static_cast<size_t>(c)] = 1;
                        markedCells.push_back(c);
                    }
            static_assert(sizeof(drSleafGrid::Entry) == 7 * sizeof(float));
            double* const frame[4] = {slotFrames.data(), slotFrames.data() + slots, slotFrames.data() + 2 * slots,
                                      slotFrames.data() + 3 * slots};
            float* const box[6] = {slotBoxes.data(), slotBoxes.data() + slots, slotBoxes.data() + 2 * slots,
                                   slotBoxes.data() + 3 * slots, slotBoxes.data() + 4 * slots, slotBoxes.data() + 5 * slots};
            const int32_t* ids = grid.cellBegin(0);
            forRange(static_cast<int32_t>(markedCells.size()), kParallelLeaves, [&](int32_t, int32_t begin, int32_t end) {
                for (int32_t k = begin; k < end; ++k) {
                    const int32_t c = markedCells[static_cast<size_t>(k)];
                    fillSlots16(ids, static_cast<int32_t>(grid.cellBegin(c) - ids), static_cast<int32_t>(grid.cellEnd(c) - ids),
                                leafMotion.data(), reinterpret_cast<const float*>(placedEntries.data()), frame, box);
                }
            });
        }
        drSselfForChunks(m, jobs, [&](int32_t job, int32_t, int32_t) {
            jobStale[static_cast<size_t>(job)].clear();
            jobPicked[static_cast<size_t>(job)].clear();
            const std::vector<int32_t>& looks = jobLooks[static_cast<size_t>(job)];
            for (size_t k = 0; k < looks.size(); ++k) look(job, looks[k], jobCells[static_cast<size_t>(job)][k]);
        });
    } else {
        drSselfForChunks(m, jobs, [&](int32_t job, int32_t begin, int32_t end) {
            jobStale[static_cast<size_t>(job)].clear();
            jobPicked[static_cast<size_t>(job)].clear();
            for (int32_t i = begin; i < end; ++i) {
                if (!inBox(positions[i], boxLo, boxHi)) continue;  // in no leaf's box
                const int32_t c = binned ? grid.cellAt(positions[i]) : 0;
                if (binned) {
                    double d[4];
                    shiftOf(i, d);
                    if (within(d, &cellFrames[static_cast<size_t>(c) * 4])) continue;
                }
                look(job, i, c);
            }
        });
    }

    // The points in order: picked ones to the tree, the others to their lists
    items.clear();
    picked = 0;
    size_t a = 0;
    for (int32_t job = 0; job < jobs; ++job)
        for (int32_t i : jobPicked[static_cast<size_t>(job)]) {
            for (; a < activePoints.size() && activePoints[a] < i; ++a) items.push_back({activePoints[a], static_cast<int32_t>(a)});
            if (a < activePoints.size() && activePoints[a] == i) ++a;
            items.push_back({i, -1});
            ++picked;
        }
    for (; a < activePoints.size(); ++a) items.push_back({activePoints[a], static_cast<int32_t>(a)});
    spent += picked + kMixedCost * m;
    if (wholeTree) return;

    // Refit the leaves the sub-step reads: those of the lists, and every
    // leaf whose box may contain a point handed to the tree
    for (int32_t l : activeLeaves) leafFresh[static_cast<size_t>(l)] |= 2;
    for (int32_t job = 0; job < jobs; ++job)
        for (int32_t l : jobStale[static_cast<size_t>(job)]) leafFresh[static_cast<size_t>(l)] |= 2;
    staleLeaves.clear();
    for (int32_t l = 0; l < leafCount; ++l)
        if (leafFresh[static_cast<size_t>(l)] == 2) staleLeaves.push_back(l);
    refitList(staleLeaves);
}

// A leaf whose corners moved apart by more than a translation allows may have
// turned as a whole (a skirt swinging down). Let Q be the turn of its basis
// since the anchor (an orthogonal matrix), G the centre of the box of its
// corners' X - Q A and r half the box's diagonal, so that every corner is
// within r of Q A + G. Q keeps distances, so the argument for the lists runs
// as for a translation with p's offset |p - Q p0 - G| in place of |D_p - G|:
// a triangle of the leaf that accepts p lies, at the anchor, within the
// reach of p0. Only leaves whose triangles were all well shaped at the
// search take a turn: the float test of a thin triangle was bounded through
// the leaf's box, which does not turn. The leaf keeps its translation when
// the turn does not bring r within the half slack.
// A leaf's basis at the anchor: from its first corner, the corner farthest
// from it and the corner farthest from their line. A leaf without one (its
// corners too close to a line) does not turn.
void drSselfCandidates::makeBasis(int32_t l) {
    const int32_t first = leafCornerStart[static_cast<size_t>(l)], last = leafCornerStart[static_cast<size_t>(l) + 1];
    auto at = [this](int32_t s) { return toVec(anchor[static_cast<size_t>(leafCorners[static_cast<size_t>(s)])]); };
    const Vec X0 = at(first);
    int32_t c1 = first, c2 = first;
    double best = 0.0;
    for (int32_t s = first; s < last; ++s)
        if (dotOf(at(s) - X0, at(s) - X0) > best) best = dotOf(at(s) - X0, at(s) - X0), c1 = s;
    best = 0.0;
    for (int32_t s = first; s < last; ++s) {
        const Vec n = crossOf(at(c1) - X0, at(s) - X0);
        if (dotOf(n, n) > best) best = dotOf(n, n), c2 = s;
    }
    if (!orthonormal(X0, at(c1), at(c2), &leafBases[static_cast<size_t>(l) * 9])) {
        leafTurnable[static_cast<size_t>(l)] = kFixed;
        return;
    }
    leafReferences[static_cast<size_t>(l) * 2] = leafCorners[static_cast<size_t>(c1)];
    leafReferences[static_cast<size_t>(l) * 2 + 1] = leafCorners[static_cast<size_t>(c2)];
    leafTurnable[static_cast<size_t>(l)] = kTurns;
}

void drSselfCandidates::turnLeaf(int32_t l, double* frame) const {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const int32_t first = leafCornerStart[static_cast<size_t>(l)], last = leafCornerStart[static_cast<size_t>(l) + 1];
    const int32_t* ref = &leafReferences[static_cast<size_t>(l) * 2];
    double now[9];
    if (!orthonormal(toVec(positions[leafCorners[static_cast<size_t>(first)]]), toVec(positions[ref[0]]),
                     toVec(positions[ref[1]]), now))
        return;
    const double* was = &leafBases[static_cast<size_t>(l) * 9];
    double turn[9];
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            turn[3 * row + col] = now[row] * was[col] + now[3 + row] * was[3 + col] + now[6 + row] * was[6 + col];
    double lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
    for (int32_t s = first; s < last; ++s) {
        const int32_t c = leafCorners[static_cast<size_t>(s)];
        const Vec X = toVec(positions[c]), A = toVec(anchor[static_cast<size_t>(c)]);
        for (int k = 0; k < 3; ++k) {
            const double e = X[k] - (turn[3 * k] * A.x + turn[3 * k + 1] * A.y + turn[3 * k + 2] * A.z);
            lo[k] = std::min(lo[k], e);
            hi[k] = std::max(hi[k], e);
        }
    }
    const double r = halfDiagonal(lo, hi);
    if (!(r * 1.001 <= 0.5 * static_cast<double>(slack))) return;
    for (int k = 0; k < 3; ++k) frame[k] = 0.5 * (lo[k] + hi[k]);
    frame[3] = static_cast<double>(slack) / 1.001 - 1.2 * r;
    frame[4] = r;
    frame[5] = 1.0;
    std::copy(turn, turn + 9, frame + 6);
}

// Boxes that hold a leaf's box wherever its corners are while its spread
// stays within the half slack: the corners' box at the anchor, moved by the
// leaf's translation and grown by the spread, widened as a refit widens the
// triangles' boxes (5 % of their extent, which the spread can grow by twice
// itself), and by the band along any normal, plus a margin for the float
// rounding of a refit. Leaves beyond the half slack are refitted at once and
// placed by their own boxes.
bool drSselfCandidates::placeLeaves() {
    const int32_t leafCount = static_cast<int32_t>(leaves.size());
    const double band = std::max(std::fabs(static_cast<double>(upper)), std::fabs(static_cast<double>(lower))) * 1.001;
    placedEntries.resize(static_cast<size_t>(leafCount));
    const bool lanes16 = kLanes16 && drSlaneWidth() == 16;
    // Whether the grid may serve again: every leaf's box within the box it
    // was binned with (see below)
    const bool mayKeep = gridSearch == searches && movedGrid.usable() && binnedEntries.size() == placedEntries.size();
    // Each chunk places its leaves (a leaf whose spread is too large takes
    // its refitted box), and keeps the union of their boxes and whether
    // each lies within the box it was binned with; the chunks' parts are
    // joined after (min and max: in any order)
    const int32_t chunks = drSselfChunks(leafCount, kParallelLeaves);
    placeParts.resize(static_cast<size_t>(chunks));
    drSselfForChunks(leafCount, chunks, [&](int32_t chunk, int32_t begin, int32_t end) {
        if (lanes16) {
            placeBoxes8(leafFrames.data(), leafAnchorBoxes.data(), begin, end, band, placedEntries.data());
        } else {
            for (int32_t l = begin; l < end; ++l) {
                const double* frame = &leafFrames[static_cast<size_t>(l) * kFrame];
                drSleafGrid::Entry& entry = placedEntries[static_cast<size_t>(l)];
                entry.id = l;
                if (placedByRefit(frame)) continue;  // placed after its refit
                const double* box = &leafAnchorBoxes[static_cast<size_t>(l) * 6];
                const double r = frame[4] * 1.001;
                for (int k = 0; k < 3; ++k) {
                    const double grow = r + 0.05 * (box[3 + k] - box[k] + 2.0 * r) + band;
                    const double lo = box[k] + frame[k] - grow, hi = box[3 + k] + frame[k] + grow;
                    const double margin = 1e-5 * (1.0 + std::max(std::fabs(lo), std::fabs(hi)));
                    entry.boxMin[k] = -floatAbove(-static_cast<float>(lo - margin));
                    entry.boxMax[k] = floatAbove(static_cast<float>(hi + margin));
                }
            }
        }
        constexpr float kMax = std::numeric_limits<float>::max();
        PlacePart part{{kMax, kMax, kMax}, {-kMax, -kMax, -kMax}, mayKeep};
        for (int32_t l = begin; l < end; ++l) {
            drSleafGrid::Entry& entry = placedEntries[static_cast<size_t>(l)];
            if (placedByRefit(&leafFrames[static_cast<size_t>(l) * kFrame])) {
                drStriangleLeaf& leaf = *leaves[static_cast<size_t>(l)];
                leaf.refit();
                leafFresh[static_cast<size_t>(l)] = 1;
                entry.boxMin = leaf.boxMin;
                entry.boxMax = leaf.boxMax;
            }
            if (!(entry.boxMin.x <= entry.boxMax.x && entry.boxMin.y <= entry.boxMax.y && entry.boxMin.z <= entry.boxMax.z))
                continue;  // empty: in no cell
            for (int k = 0; k < 3; ++k) {
                part.lo[k] = std::min(part.lo[k], entry.boxMin[k]);
                part.hi[k] = std::max(part.hi[k], entry.boxMax[k]);
            }
            if (part.keep) {
                const drSleafGrid::Entry& was = binnedEntries[static_cast<size_t>(l)];
                part.keep = was.boxMin.x <= entry.boxMin.x && was.boxMin.y <= entry.boxMin.y && was.boxMin.z <= entry.boxMin.z &&
                            entry.boxMax.x <= was.boxMax.x && entry.boxMax.y <= was.boxMax.y && entry.boxMax.z <= was.boxMax.z;
            }
        }
        placeParts[static_cast<size_t>(chunk)] = part;
    });
    placedMin = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
    placedMax = {-placedMin.x, -placedMin.y, -placedMin.z};
    bool keep = mayKeep;
    for (const PlacePart& part : placeParts) {
        for (int k = 0; k < 3; ++k) {
            placedMin[k] = std::min(placedMin[k], part.lo[k]);
            placedMax[k] = std::max(placedMax[k], part.hi[k]);
        }
        keep = keep && part.keep;
    }
    if (!(placedMin.x <= placedMax.x)) return false;  // no leaf has a box

    // The grid bins every leaf by its box grown by the slack,
    // and serves the next mixed sub-steps of the same lists as long as every
    // leaf's box stays within the box it was binned with: a cell then lists
    // every leaf whose box may contain a point of the cell, and some more,
    // each tested by its own box. (More growth keeps the grid longer, but
    // lists more leaves per cell for the points left over by their cell's
    // radius: on a draped cloth the slack kept it for four fifths of the
    // mixed sub-steps, against half of them for a quarter of the slack,
    // with the leaves of a cell tested sixteen at a time.)
    if (keep) return true;
    binnedEntries = placedEntries;
    drSvec3 lo = placedMin, hi = placedMax;
    const float grow = slack;
    for (drSleafGrid::Entry& entry : binnedEntries) {
        if (!(entry.boxMin.x <= entry.boxMax.x && entry.boxMin.y <= entry.boxMax.y && entry.boxMin.z <= entry.boxMax.z))
            continue;  // empty
        for (int k = 0; k < 3; ++k) {
            entry.boxMin[k] -= grow;
            entry.boxMax[k] += grow;
            lo[k] = std::min(lo[k], entry.boxMin[k]);
            hi[k] = std::max(hi[k], entry.boxMax[k]);
        }
    }
    movedGrid.build(lo, hi, binnedEntries);
    gridSearch = searches;
    return movedGrid.usable();
}

void drSselfCandidates::placedAt(const drSvec3& p, std::vector<int32_t>& out) const {
    for (const int32_t* id = movedGrid.cellBegin(movedGrid.cellAt(p)); id != movedGrid.cellEnd(movedGrid.cellAt(p)); ++id) {
        const drSleafGrid::Entry& entry = placedEntries[static_cast<size_t>(*id)];
        if (inBox(p, entry.boxMin, entry.boxMax)) out.push_back(*id);
    }
}
