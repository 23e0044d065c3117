// OBJ files of simulated frames.
#pragma once

#include "host.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace objwriter_detail {

/// Writes `v` as printf's "%.9g" writes it. It may use up to 24 bytes from
/// `p` as scratch; the text itself is at most 16 characters.
/// Values of ordinary size are scaled to nine digits before the point with
/// one exactly rounded double operation (powers of ten up to 10^22 are exact
/// doubles), which leaves the result within 6e-8 of the exact one: far from
/// a tie, that decides the ninth digit as printf does. The others (zero,
/// tiny, huge, non-finite, or within a millionth of a tie) go to
/// std::to_chars, which is exact but several times slower.
inline char* formatNumber(char* p, char* end, double v) {
    // kPow10[k + 16] is the double nearest 10^k, exact for k >= 0.
    static constexpr double kPow10[] = {1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9, 1e-8, 1e-7,
                                        1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,  1e2,  1e3,
                                        1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11, 1e12, 1e13,
                                        1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21, 1e22};
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    const double a = v < 0.0 ? -v : v;
    if (!(a >= 1e-15 && a < 1e15)) return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
    // The decimal exponent e, such that y = a * 10^(8 - e) has nine digits
    // before the point: first floor(log10(a)) from the binary exponent and
    // one comparison, then corrected on the scaled value itself.
    const int binary = static_cast<int>(std::bit_cast<uint64_t>(a) >> 52) - 1023;  // 2^binary <= a
    int e = (binary * 78913) >> 18;                                                   // floor(binary log10(2))
    e += a >= kPow10[e + 17] ? 1 : 0;
    double y = 0.0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int shift = 8 - e;
        if (shift < -22 || shift > 22) return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
        y = shift >= 0 ? a * kPow10[shift + 16] : a / kPow10[16 - shift];
        if (y < 1e8)
            --e;
        else if (y >= 1e9)
            ++e;
        else
            break;
    }
    if (!(y >= 1e8 && y < 1e9)) return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
    uint32_t digits = static_cast<uint32_t>(y);
    const double fraction = y - static_cast<double>(digits);
    if (fraction > 0.499999 && fraction < 0.500001) return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
    if (fraction > 0.5) ++digits;
    if (digits == 1000000000u) digits = 100000000u, ++e;

    // The nine digits, in halves and pairs worked out side by side.
    char d[24] = {};
    const uint32_t top = digits / 100000000u, low = digits - top * 100000000u;
    const uint32_t h0 = low / 10000u, h1 = low - h0 * 10000u;
    const uint32_t p0 = h0 / 100u, p1 = h0 - p0 * 100u, p2 = h1 / 100u, p3 = h1 - p2 * 100u;
    d[0] = static_cast<char>('0' + top);
    std::memcpy(d + 1, kPairs + 2 * p0, 2);
    std::memcpy(d + 3, kPairs + 2 * p1, 2);
    std::memcpy(d + 5, kPairs + 2 * p2, 2);
    std::memcpy(d + 7, kPairs + 2 * p3, 2);
    // Trailing zeros, from the pairs rather than by looking back at the text
    // (whose length the next number waits for).
    static constexpr unsigned char kTrailing[100] = {
        2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    int zeros = kTrailing[p3];
    if (p3 == 0) zeros = p2 != 0 ? 2 + kTrailing[p2] : p1 != 0 ? 4 + kTrailing[p1] : p0 != 0 ? 6 + kTrailing[p0] : 8;
    const int kept = 9 - zeros;  // significant digits, 1 to 9
    *p = '-';
    p += v < 0.0 ? 1 : 0;
    if (e >= 0 && e < 9) {
        // "ddd.dddddd": the point only when digits follow it
        std::memcpy(p, d, 16);
        std::memcpy(p + e + 2, d + e + 1, 8);
        p[e + 1] = '.';
        return p + (kept > e + 1 ? kept + 1 : e + 1);
    }
    if (e < 0 && e >= -4) {
        // "0.000ddddddddd"
        std::memcpy(p, "0.0000", 6);
        std::memcpy(p + 1 - e, d, 16);
        return p + 1 - e + kept;
    }
    const int last = kept - 1;
    *p++ = d[0];
    if (last > 0) {
        *p++ = '.';
        std::memcpy(p, d + 1, static_cast<size_t>(last));
        p += last;
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    const int x = e < 0 ? -e : e;
    *p++ = static_cast<char>('0' + x / 10);
    *p++ = static_cast<char>('0' + x % 10);
    return p;
}

}  // namespace objwriter_detail

/// Appends "o name\n", the object line of an OBJ file.
inline void appendObjName(std::string& out, const std::string& objectName) {
    out += "o ";
    for (char c : objectName) out += c == '\n' || c == '\r' ? ' ' : c;
    out += '\n';
}

/// Appends one "v x y z" line per point (9 significant digits, as printf's
/// "%.9g": enough to restore a single-precision value).
inline void appendObjPoints(std::string& out, const Vector* points, size_t pointCount) {
    // Formatted in place into room for the longest lines ("v " and three
    // numbers of at most 16 characters) and the scratch of the last number.
    const size_t start = out.size();
    out.resize(start + pointCount * 54 + 24);
    char* p = out.data() + start;
    char* const end = out.data() + out.size();
    for (size_t i = 0; i < pointCount; ++i) {
        *p++ = 'v';
        *p++ = ' ';
        p = objwriter_detail::formatNumber(p, end, points[i].x);
        *p++ = ' ';
        p = objwriter_detail::formatNumber(p, end, points[i].y);
        *p++ = ' ';
        p = objwriter_detail::formatNumber(p, end, points[i].z);
        *p++ = '\n';
    }
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
