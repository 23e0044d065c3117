// OBJ files of simulated frames.
#pragma once

#include "host.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace objwriter_detail {

/// Writes `v` as printf's "%.9g" writes it, into at most 16 characters.
/// Values of ordinary size are rounded here with one exactly rounded
/// 64-bit-mantissa operation, far from ties; the others (zero, tiny, huge,
/// non-finite, or within a millionth of a tie) go to std::to_chars, which is
/// exact but several times slower.
inline char* formatNumber(char* p, char* end, double v) {
    static constexpr long double kPow10[] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,
                                             1e8L,  1e9L,  1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L,
                                             1e16L, 1e17L, 1e18L, 1e19L, 1e20L, 1e21L, 1e22L, 1e23L};
    const double a = v < 0.0 ? -v : v;
    if (!(a >= 1e-15 && a < 1e15)) return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
    // The decimal exponent e, such that y = a * 10^(8 - e) has nine digits
    // before the point.
    int binary = 0;
    std::frexp(a, &binary);
    int e = (binary * 30103) / 100000 - (binary < 0 ? 1 : 0);
    long double y = 0.0L;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int shift = 8 - e;
        if (shift < -23 || shift > 23) return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
        y = shift >= 0 ? static_cast<long double>(a) * kPow10[shift] : static_cast<long double>(a) / kPow10[-shift];
        if (y < 1e8L)
            --e;
        else if (y >= 1e9L)
            ++e;
        else
            break;
    }
    if (!(y >= 1e8L && y < 1e9L)) return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
    uint64_t digits = static_cast<uint64_t>(y);
    const long double fraction = y - static_cast<long double>(digits);
    if (fraction > 0.499999L && fraction < 0.500001L) return std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
    if (fraction > 0.5L) ++digits;
    if (digits == 1000000000u) digits = 100000000u, ++e;

    char d[9];
    for (int i = 8; i >= 0; --i) d[i] = static_cast<char>('0' + digits % 10), digits /= 10;
    int last = 8;  // the last digit kept: trailing zeros are dropped
    while (last > 0 && d[last] == '0') --last;
    if (v < 0.0) *p++ = '-';
    if (e < -4 || e >= 9) {
        *p++ = d[0];
        if (last > 0) {
            *p++ = '.';
            for (int i = 1; i <= last; ++i) *p++ = d[i];
        }
        *p++ = 'e';
        *p++ = e < 0 ? '-' : '+';
        const int x = e < 0 ? -e : e;
        *p++ = static_cast<char>('0' + x / 10);
        *p++ = static_cast<char>('0' + x % 10);
    } else if (e >= 0) {
        for (int i = 0; i <= e; ++i) *p++ = d[i];
        if (last > e) {
            *p++ = '.';
            for (int i = e + 1; i <= last; ++i) *p++ = d[i];
        }
    } else {
        *p++ = '0';
        *p++ = '.';
        for (int i = -1; i > e; --i) *p++ = '0';
        for (int i = 0; i <= last; ++i) *p++ = d[i];
    }
    return p;
}

}  // namespace objwriter_detail

/// Appends the OBJ text of one mesh to `out`: "o name", one "v x y z" per
/// point (9 significant digits, as printf's "%.9g": enough to restore a
/// single-precision value) and one "f" per polygon (1-based, a triangle with
/// three corners). Defined here so that the exporters, built apart from the
/// scene library, write the same text.
inline void appendObjText(std::string& out, const std::string& objectName, const Vector* points, size_t pointCount,
                          const std::vector<CPolygon>& polygons) {
    out += "o ";
    for (char c : objectName) out += c == '\n' || c == '\r' ? ' ' : c;
    out += '\n';
    // Formatted in place into room for the longest lines ("v " and three
    // numbers of at most 16 characters; "f " and four indices of at most 11).
    const size_t start = out.size();
    out.resize(start + pointCount * 54 + polygons.size() * 50);
    char* p = out.data() + start;
    char* const end = out.data() + out.size();
    for (size_t i = 0; i < pointCount; ++i) {
        *p++ = 'v';
        for (double v : {points[i].x, points[i].y, points[i].z}) {
            *p++ = ' ';
            p = objwriter_detail::formatNumber(p, end, v);
        }
        *p++ = '\n';
    }
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
