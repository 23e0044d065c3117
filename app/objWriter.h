// OBJ files of simulated frames.
#pragma once

#include "host.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace objwriter_detail {

static_assert(std::endian::native == std::endian::little, "the digits are put together in the bytes of a word");

/// kPow10[k + 16] is the double nearest 10^k, exact for k >= 0.
inline constexpr double kPow10[] = {1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9, 1e-8, 1e-7,
                                    1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,  1e2,  1e3,
                                    1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11, 1e12, 1e13,
                                    1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21, 1e22};

inline void store8(char* p, uint64_t v) { std::memcpy(p, &v, 8); }

/// The eight decimal digits of `n` (below 10^8), one a byte (of value 0 to
/// 9) in one word, the first digit in the lowest byte: halves, pairs and
/// single digits split side by side in the lanes of the word.
inline uint64_t eightDigits(uint32_t n) {
    uint64_t m = (n / 10000u) | (static_cast<uint64_t>(n % 10000u) << 32);
    const uint64_t hundreds = ((m * 10486u) >> 20) & 0x0000007F0000007Full;  // lane / 100, for lanes below 43699
    m = ((m - hundreds * 100u) << 16) | hundreds;
    const uint64_t tens = ((m * 103u) >> 10) & 0x000F000F000F000Full;  // lane / 10, for lanes below 179
    return ((m - tens * 10u) << 8) | tens;
}

/// The nine significant digits of `a` (finite, positive) and its decimal
/// exponent e: a is about digits * 10^(e - 8), with 10^8 <= digits < 10^9.
/// False where the fast way cannot decide the ninth digit as printf does.
///
/// `a` is scaled to nine digits before the point with one exactly rounded
/// double operation (powers of ten up to 10^22 are exact doubles), which
/// leaves the result within 6e-8 of the exact one: far from a tie, that
/// decides the ninth digit. Zero, tiny, huge and non-finite values, and
/// those within a millionth of a tie, are left to the exact way.
inline bool nineDigits(double a, uint32_t& digits, int& e) {
    if (!(a >= 1e-15 && a < 1e15)) return false;
    // floor(log10(a)) from the binary exponent and one comparison; the
    // scaled value itself corrects it next to a power of ten.
    const int binary = static_cast<int>(std::bit_cast<uint64_t>(a) >> 52) - 1023;  // 2^binary <= a
    e = (binary * 78913) >> 18;                                                     // floor(binary log10(2))
    e += a >= kPow10[e + 17] ? 1 : 0;
    double y = 0.0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int shift = 8 - e;
        if (shift < -22 || shift > 22) return false;
        y = shift >= 0 ? a * kPow10[shift + 16] : a / kPow10[16 - shift];
        if (y >= 1e8 && y < 1e9) [[likely]]
            break;
        e += y < 1e8 ? -1 : 1;
    }
    if (!(y >= 1e8 && y < 1e9)) return false;
    digits = static_cast<uint32_t>(y);
    const double fraction = y - static_cast<double>(digits);
    // One comparison: the fraction falls on either side of a half at random.
    if (std::fabs(fraction - 0.5) < 0.000001) [[unlikely]]
        return false;
    digits += fraction > 0.5 ? 1u : 0u;
    if (digits == 1000000000u) [[unlikely]]
        digits = 100000000u, ++e;
    return true;
}

/// Writes a number of nine significant digits as printf's "%.9g" does: its
/// sign, the first digit `top` (1 to 9), the other eight in the bytes of
/// `rest` (see eightDigits) and the decimal exponent `e`. It may use up
/// to 24 bytes from `p` as scratch; the text itself is at most 16
/// characters.
inline char* writeDigits(char* p, bool negative, uint32_t top, uint64_t rest, int e) {
    // Trailing zeros are the word's highest zero bytes; the digits kept,
    // 1 to 9, follow from them.
    const int kept = 9 - std::countl_zero(rest) / 8;
    const uint64_t text = rest | 0x3030303030303030ull;
    *p = '-';
    p += negative ? 1 : 0;
    if (e >= 0 && e < 9) [[likely]] {
        // "ddd.dddddd", the point only when digits follow it: all nine
        // digits, then those after the point again one place further on.
        p[0] = static_cast<char>('0' + top);
        store8(p + 1, text);
        store8(p + e + 2, text >> ((8 * e) & 63));
        p[e + 1] = '.';
        return p + (kept > e + 1 ? kept + 1 : e + 1);
    }
    if (e < 0 && e >= -4) {
        // "0.000ddddddddd"
        store8(p, 0x3030303030302E30ull);  // "0.000000"
        p[1 - e] = static_cast<char>('0' + top);
        store8(p + 2 - e, text);
        return p + 1 - e + kept;
    }
    // "d.dddddddde+XX"
    p[0] = static_cast<char>('0' + top);
    p[1] = '.';
    store8(p + 2, text);
    p += kept > 1 ? kept + 1 : 1;
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    const int x = e < 0 ? -e : e;
    *p++ = static_cast<char>('0' + x / 10);
    *p++ = static_cast<char>('0' + x % 10);
    return p;
}

/// Writes `v` as printf's "%.9g" writes it, with the scratch of writeDigits.
inline char* formatNumber(char* p, char* end, double v) {
    uint32_t digits = 0;
    int e = 0;
    if (!nineDigits(v < 0.0 ? -v : v, digits, e)) [[unlikely]]
        return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
    const uint32_t top = digits / 100000000u;
    return writeDigits(p, v < 0.0, top, eightDigits(digits - top * 100000000u), e);
}

/// "v x y z" lines of the points from `begin` to `count` - 1, one number
/// after the other.
inline char* writePoints(char* p, char* end, const Vector* points, size_t begin, size_t count) {
    for (size_t i = begin; i < count; ++i) {
        *p++ = 'v';
        *p++ = ' ';
        p = formatNumber(p, end, points[i].x);
        *p++ = ' ';
        p = formatNumber(p, end, points[i].y);
        *p++ = ' ';
        p = formatNumber(p, end, points[i].z);
        *p++ = '\n';
    }
    return p;
}

#if defined(__x86_64__)
// Some intrinsics start from a deliberately undefined vector, which GCC 12
// reports as possibly uninitialised.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
static_assert(sizeof(Vector) == 3 * sizeof(double) && std::is_standard_layout_v<Vector>,
              "a point's x, y, z follow one another");

/// The low halves of four 64-bit lanes (masks, exponents) as 32-bit lanes.
__attribute__((target("avx2"))) inline __m128i narrow(__m256i x) {
    return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(x, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
}

/// base[index] of four 32-bit lanes.
__attribute__((target("avx2"))) inline __m256d gather(const double* base, __m128i index) {
    const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, index, all, 8);
}

/// The steps of nineDigits and eightDigits for four numbers side by side
/// in vector lanes, with the same double operations, so that a lane gives
/// the same digits. A lane that nineDigits would scale again or leave to
/// the exact way is set in the returned mask (bit k for number k) and its
/// outputs are not used.
__attribute__((target("avx2"))) inline int digitsOfFour(const double* v, uint32_t top[4], uint64_t rest[4],
                                                         int32_t exponent[4]) {
    const __m128i zero = _mm_setzero_si128();

    const __m256d a0 = _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_loadu_pd(v));
    const __m256d inRange = _mm256_and_pd(_mm256_cmp_pd(a0, _mm256_set1_pd(1e-15), _CMP_GE_OQ),
                                          _mm256_cmp_pd(a0, _mm256_set1_pd(1e15), _CMP_LT_OQ));
    const __m256d a = _mm256_blendv_pd(_mm256_set1_pd(1.0), a0, inRange);
    const __m128i binary =
        _mm_sub_epi32(narrow(_mm256_srli_epi64(_mm256_castpd_si256(a), 52)), _mm_set1_epi32(1023));
    __m128i e = _mm_srai_epi32(_mm_mullo_epi32(binary, _mm_set1_epi32(78913)), 18);
    const __m256d above = _mm256_cmp_pd(a, gather(kPow10 + 17, e), _CMP_GE_OQ);
    e = _mm_sub_epi32(e, narrow(_mm256_castpd_si256(above)));
    const __m128i shift = _mm_sub_epi32(_mm_set1_epi32(8), e);
    const __m128i up = _mm_min_epi32(_mm_max_epi32(shift, zero), _mm_set1_epi32(22));
    const __m128i down = _mm_min_epi32(_mm_max_epi32(_mm_sub_epi32(zero, shift), zero), _mm_set1_epi32(22));
    const __m256d scaledUp = _mm256_mul_pd(a, gather(kPow10 + 16, up));
    const __m256d scaledDown = _mm256_div_pd(a, gather(kPow10 + 16, down));
    const __m256d y = _mm256_blendv_pd(
        scaledUp, scaledDown, _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmplt_epi32(shift, zero))));
    const __m256d tooSmall = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpgt_epi32(shift, _mm_set1_epi32(22))));
    const __m256d ok = _mm256_andnot_pd(tooSmall, _mm256_and_pd(inRange, _mm256_and_pd(_mm256_cmp_pd(y, _mm256_set1_pd(1e8), _CMP_GE_OQ),
                                                                                        _mm256_cmp_pd(y, _mm256_set1_pd(1e9), _CMP_LT_OQ))));
    const __m256d ys = _mm256_blendv_pd(_mm256_set1_pd(1e8), y, ok);
    __m128i d = _mm256_cvttpd_epi32(ys);
    const __m256d fraction = _mm256_sub_pd(ys, _mm256_cvtepi32_pd(d));
    const __m256d tie = _mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(fraction, _mm256_set1_pd(0.5))),
                                      _mm256_set1_pd(0.000001), _CMP_LT_OQ);
    d = _mm_sub_epi32(d, narrow(_mm256_castpd_si256(_mm256_cmp_pd(fraction, _mm256_set1_pd(0.5), _CMP_GT_OQ))));
    const __m256d carried = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpeq_epi32(d, _mm_set1_epi32(1000000000))));
    const int bad = _mm256_movemask_pd(_mm256_or_pd(_mm256_andnot_pd(ok, _mm256_set1_pd(-0.0)), _mm256_or_pd(tie, carried)));

    // The first digit and the two halves of the other eight, exactly in
    // doubles: half a unit up keeps each quotient 5e-9 or more from a whole
    // number, far beyond the rounding of the products.
    const __m256d whole = _mm256_cvtepi32_pd(d);
    const __m256d lifted = _mm256_add_pd(whole, _mm256_set1_pd(0.5));
    const __m256d first = _mm256_floor_pd(_mm256_mul_pd(lifted, _mm256_set1_pd(1e-8)));
    const __m256d fives = _mm256_floor_pd(_mm256_mul_pd(lifted, _mm256_set1_pd(1e-4)));  // the first five digits
    const __m128i low = _mm256_cvttpd_epi32(_mm256_sub_pd(whole, _mm256_mul_pd(fives, _mm256_set1_pd(1e4))));
    const __m128i high = _mm256_cvttpd_epi32(_mm256_sub_pd(fives, _mm256_mul_pd(first, _mm256_set1_pd(1e4))));
    // eightDigits in 32-bit lanes, the halves of a number next to each other
    __m256i m = _mm256_set_m128i(_mm_unpackhi_epi32(high, low), _mm_unpacklo_epi32(high, low));
    const __m256i hundreds = _mm256_srli_epi32(_mm256_mullo_epi32(m, _mm256_set1_epi32(10486)), 20);
    m = _mm256_or_si256(_mm256_slli_epi32(_mm256_sub_epi32(m, _mm256_mullo_epi32(hundreds, _mm256_set1_epi32(100))), 16),
                        hundreds);
    const __m256i tens = _mm256_srli_epi16(_mm256_mullo_epi16(m, _mm256_set1_epi16(103)), 10);
    m = _mm256_or_si256(_mm256_slli_epi16(_mm256_sub_epi16(m, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10))), 8), tens);

    _mm256_storeu_si256(reinterpret_cast<__m256i*>(rest), m);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(top), _mm256_cvttpd_epi32(first));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(exponent), e);
    return bad;
}

/// The digits of eight numbers side by side (digitsOfFour in twice as many
/// lanes), for the numbers of ordinary size: 2^-13 <= |v| < 10^9, whose
/// powers of ten all sit in two vector registers. A lane outside that
/// range is left to the one-by-one way like any other lane set in the mask.
__attribute__((target("avx512f,avx512dq,avx512bw"))) inline int digitsOfEight(const double* v, uint32_t top[8],
                                                                             uint64_t rest[8], int32_t exponent[8]) {
    // 10^-3 .. 10^12: powers[j] is kPow10[13 + j]
    const __m512d powersLow = _mm512_loadu_pd(kPow10 + 13), powersHigh = _mm512_loadu_pd(kPow10 + 21);

    const __m512d a0 = _mm512_abs_pd(_mm512_loadu_pd(v));
    const __mmask8 inRange = _mm512_cmp_pd_mask(a0, _mm512_set1_pd(0x1p-13), _CMP_GE_OQ) &
                             _mm512_cmp_pd_mask(a0, _mm512_set1_pd(1e9), _CMP_LT_OQ);
    const __m512d a = _mm512_mask_blend_pd(inRange, _mm512_set1_pd(1.0), a0);
    const __m512i binary = _mm512_sub_epi64(_mm512_srli_epi64(_mm512_castpd_si512(a), 52), _mm512_set1_epi64(1023));
    __m512i e = _mm512_srai_epi64(_mm512_mullo_epi64(binary, _mm512_set1_epi64(78913)), 18);  // -4 .. 8
    const __mmask8 above = _mm512_cmp_pd_mask(a, _mm512_permutex2var_pd(powersLow, _mm512_add_epi64(e, _mm512_set1_epi64(4)), powersHigh), _CMP_GE_OQ);
    e = _mm512_mask_add_epi64(e, above, e, _mm512_set1_epi64(1));
    const __m512i shift = _mm512_min_epi64(_mm512_max_epi64(_mm512_sub_epi64(_mm512_set1_epi64(8), e),
                                                            _mm512_setzero_si512()),
                                           _mm512_set1_epi64(12));
    const __m512d y = _mm512_mul_pd(a, _mm512_permutex2var_pd(powersLow, _mm512_add_epi64(shift, _mm512_set1_epi64(3)), powersHigh));
    const __mmask8 ok = inRange & _mm512_cmp_pd_mask(y, _mm512_set1_pd(1e8), _CMP_GE_OQ) &
                        _mm512_cmp_pd_mask(y, _mm512_set1_pd(1e9), _CMP_LT_OQ);
    const __m512d ys = _mm512_mask_blend_pd(ok, _mm512_set1_pd(1e8), y);
    __m512i d = _mm512_cvttpd_epi64(ys);
    const __m512d fraction = _mm512_sub_pd(ys, _mm512_cvtepi64_pd(d));
    const __mmask8 tie = _mm512_cmp_pd_mask(_mm512_abs_pd(_mm512_sub_pd(fraction, _mm512_set1_pd(0.5))),
                                            _mm512_set1_pd(0.000001), _CMP_LT_OQ);
    d = _mm512_mask_add_epi64(d, _mm512_cmp_pd_mask(fraction, _mm512_set1_pd(0.5), _CMP_GT_OQ), d,
                              _mm512_set1_epi64(1));
    const __mmask8 carried = _mm512_cmpeq_epi64_mask(d, _mm512_set1_epi64(1000000000));
    const int bad = static_cast<uint8_t>(~ok | tie | carried);

    // As in digitsOfFour; the two halves of a number in the halves of its lane.
    const __m512d whole = _mm512_cvtepi64_pd(d);
    const __m512d lifted = _mm512_add_pd(whole, _mm512_set1_pd(0.5));
    const __m512d first = _mm512_roundscale_pd(_mm512_mul_pd(lifted, _mm512_set1_pd(1e-8)), _MM_FROUND_TO_NEG_INF);
    const __m512d fives = _mm512_roundscale_pd(_mm512_mul_pd(lifted, _mm512_set1_pd(1e-4)), _MM_FROUND_TO_NEG_INF);
    const __m512i low = _mm512_cvttpd_epi64(_mm512_sub_pd(whole, _mm512_mul_pd(fives, _mm512_set1_pd(1e4))));
    const __m512i high = _mm512_cvttpd_epi64(_mm512_sub_pd(fives, _mm512_mul_pd(first, _mm512_set1_pd(1e4))));
    __m512i m = _mm512_or_si512(high, _mm512_slli_epi64(low, 32));
    const __m512i hundreds = _mm512_srli_epi32(_mm512_mullo_epi32(m, _mm512_set1_epi32(10486)), 20);
    m = _mm512_or_si512(_mm512_slli_epi32(_mm512_sub_epi32(m, _mm512_mullo_epi32(hundreds, _mm512_set1_epi32(100))), 16),
                        hundreds);
    const __m512i tens = _mm512_srli_epi16(_mm512_mullo_epi16(m, _mm512_set1_epi16(103)), 10);
    m = _mm512_or_si512(_mm512_slli_epi16(_mm512_sub_epi16(m, _mm512_mullo_epi16(tens, _mm512_set1_epi16(10))), 8),
                        tens);

    _mm512_storeu_si512(rest, m);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(top), _mm512_cvtepi64_epi32(_mm512_cvttpd_epi64(first)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(exponent), _mm512_cvtepi64_epi32(e));
    return bad;
}

/// The "v" lines of `points` points from `v`, whose digits are in the
/// arrays (a number whose bit is set in `bad` is written one by one).
inline char* writeLines(char* p, char* end, const double* v, int points, int bad, const uint32_t* top,
                        const uint64_t* rest, const int32_t* exponent) {
    const auto number = [&](int k) {
        p = bad >> k & 1 ? formatNumber(p, end, v[k]) : writeDigits(p, v[k] < 0.0, top[k], rest[k], exponent[k]);
    };
    for (int k = 0; k < 3 * points; k += 3) {
        std::memcpy(p, "v ", 2);
        p += 2;
        number(k);
        *p++ = ' ';
        number(k + 1);
        *p++ = ' ';
        number(k + 2);
        *p++ = '\n';
    }
    return p;
}

/// writePoints with the digits of `kLanes` points (3 kLanes numbers) worked
/// out side by side, kLanes numbers at a time by `digitsOf`.
template <int kLanes, int (*digitsOf)(const double*, uint32_t*, uint64_t*, int32_t*)>
inline char* writePointsInLanes(char* p, char* end, const Vector* points, size_t count) {
    const auto* values = reinterpret_cast<const double*>(points);
    uint32_t top[3 * kLanes];
    uint64_t rest[3 * kLanes];
    int32_t exponent[3 * kLanes];
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const double* v = values + 3 * i;
        int bad = 0;
        for (int k = 0; k < 3 * kLanes; k += kLanes) bad |= digitsOf(v + k, top + k, rest + k, exponent + k) << k;
        p = writeLines(p, end, v, kLanes, bad, top, rest, exponent);
    }
    return writePoints(p, end, points, i, count);
}
#pragma GCC diagnostic pop
#endif

/// Lanes the numbers are worked out in: 1 (one by one), 4 (AVX2) or 8
/// (AVX-512).
inline int widestLanes() {
#if defined(__x86_64__)
    static const int lanes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                                     __builtin_cpu_supports("avx512bw")
                                 ? 8
                             : __builtin_cpu_supports("avx2") ? 4
                                                              : 1;
    return lanes;
#else
    return 1;
#endif
}

/// writePoints in `lanes` lanes (at most widestLanes()).
inline char* writePointsIn(int lanes, char* p, char* end, const Vector* points, size_t count) {
#if defined(__x86_64__)
    if (lanes >= 8) return writePointsInLanes<8, digitsOfEight>(p, end, points, count);
    if (lanes >= 4) return writePointsInLanes<4, digitsOfFour>(p, end, points, count);
#endif
    (void)lanes;
    return writePoints(p, end, points, 0, count);
}

}  // namespace objwriter_detail

/// Appends "o name\n", the object line of an OBJ file.
inline void appendObjName(std::string& out, const std::string& objectName) {
    out += "o ";
    for (char c : objectName) out += c == '\n' || c == '\r' ? ' ' : c;
    out += '\n';
}

/// Room writeObjPoints needs for `pointCount` points: the longest lines
/// ("v " and three numbers of at most 16 characters) and the scratch of the
/// last number.
constexpr size_t objPointsRoom(size_t pointCount) { return pointCount * 54 + 24; }

/// Writes one "v x y z" line per point (9 significant digits, as printf's
/// "%.9g": enough to restore a single-precision value) at `p`, which has
/// objPointsRoom(pointCount) bytes of room; returns the end of the text.
inline char* writeObjPoints(char* p, const Vector* points, size_t pointCount) {
    char* const end = p + objPointsRoom(pointCount);
    return objwriter_detail::writePointsIn(objwriter_detail::widestLanes(), p, end, points, pointCount);
}

/// Appends the "v" lines of writeObjPoints.
inline void appendObjPoints(std::string& out, const Vector* points, size_t pointCount) {
    const size_t start = out.size();
    out.resize(start + objPointsRoom(pointCount));
    char* const p = writeObjPoints(out.data() + start, points, pointCount);
    out.resize(static_cast<size_t>(p - out.data()));
}

/// Appends one "f" line per polygon (1-based, a triangle with three corners).
inline void appendObjFaces(std::string& out, const std::vector<CPolygon>& polygons) {
    // "f " and four indices of at most 11 characters
    const size_t start = out.size();
    out.resize(start + polygons.size() * 50);
    char* p = out.data() + start;
    char* const end = out.data() + out.size();
    for (const CPolygon& f : polygons) {
        *p++ = 'f';
        for (Int32 v : {f.a, f.b, f.c}) {
            *p++ = ' ';
            p = std::to_chars(p, end, v + 1).ptr;
        }
        if (!f.IsTriangle()) {
            *p++ = ' ';
            p = std::to_chars(p, end, f.d + 1).ptr;
        }
        *p++ = '\n';
    }
    out.resize(static_cast<size_t>(p - out.data()));
}

/// Appends the OBJ text of one mesh to `out`: its object line, its points
/// and its polygons. Defined here so that the exporters, built apart from
/// the scene library, write the same text.
inline void appendObjText(std::string& out, const std::string& objectName, const Vector* points, size_t pointCount,
                          const std::vector<CPolygon>& polygons) {
    appendObjName(out, objectName);
    appendObjPoints(out, points, pointCount);
    appendObjFaces(out, polygons);
}

inline std::string objText(const std::string& objectName, const std::vector<Vector>& points,
                           const std::vector<CPolygon>& polygons) {
    std::string out;
    appendObjText(out, objectName, points.data(), points.size(), polygons);
    return out;
}

/// Writes objText into `file` through a temporary file beside it, so that
/// an interrupted write never leaves half a file under the final name.
/// False with `error` naming the file and the problem.
bool writeObj(const std::filesystem::path& file, const std::string& objectName, const std::vector<Vector>& points,
              const std::vector<CPolygon>& polygons, std::string& error);
