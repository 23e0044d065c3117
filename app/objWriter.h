// OBJ files of simulated frames.
#pragma once

#include "host.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace objwriter_detail {

/// Appends `v` as printf's "%.9g" writes it.
inline void appendNumber(std::string& out, double v) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::general, 9);
    out.append(text, r.ptr);
}

inline void appendIndex(std::string& out, Int32 v) {
    char text[16];
    const auto r = std::to_chars(text, text + sizeof text, v);
    out.append(text, r.ptr);
}

}  // namespace objwriter_detail

/// Appends the OBJ text of one mesh to `out`: "o name", one "v x y z" per
/// point (9 significant digits, enough to restore a single-precision value)
/// and one "f" per polygon (1-based, a triangle with three corners). Defined
/// here so that the exporters, built apart from the scene library, write the
/// same text.
inline void appendObjText(std::string& out, const std::string& objectName, const Vector* points, size_t pointCount,
                          const std::vector<CPolygon>& polygons) {
    using namespace objwriter_detail;
    out.reserve(out.size() + pointCount * 40 + polygons.size() * 24 + objectName.size() + 8);
    out += "o ";
    for (char c : objectName) out += c == '\n' || c == '\r' ? ' ' : c;
    out += '\n';
    for (size_t i = 0; i < pointCount; ++i) {
        const Vector& p = points[i];
        out += "v ";
        appendNumber(out, p.x);
        out += ' ';
        appendNumber(out, p.y);
        out += ' ';
        appendNumber(out, p.z);
        out += '\n';
    }
    for (const CPolygon& f : polygons) {
        out += "f ";
        appendIndex(out, f.a + 1);
        out += ' ';
        appendIndex(out, f.b + 1);
        out += ' ';
        appendIndex(out, f.c + 1);
        if (!f.IsTriangle()) {
            out += ' ';
            appendIndex(out, f.d + 1);
        }
        out += '\n';
    }
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
