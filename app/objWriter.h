// OBJ files of simulated frames.
#pragma once

#include "host.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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
            p = std::to_chars(p, end, v, std::chars_format::general, 9).ptr;
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
