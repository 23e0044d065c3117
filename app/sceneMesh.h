// Meshes of scene files: the plane and sphere generators and the OBJ reader.
//
// Winding: every generated polygon (a, b, c, d) faces the side of the normal
// (b - a) x (c - b), right-handed; both generators face outward / up.
#pragma once

#include "host.h"

#include <string>
#include <vector>

/// Largest point (and polygon) count a mesh of a scene may have.
constexpr Int32 kSceneMaxPoints = 4 * 1024 * 1024;

/// Largest OBJ file a scene may read.
constexpr Int64 kSceneMaxObjBytes = 1ll << 30;

/// Reads a whole file of at most `limit` bytes into `out`. With
/// `regularOnly`, devices (/dev/zero), pipes and sockets are refused;
/// otherwise they are read up to the limit. On failure returns false and
/// sets `error` to "<file>: <problem>", naming the file as `what` ("the OBJ
/// file").
bool readFileText(const std::string& file, Int64 limit, bool regularOnly, const std::string& what, std::string& out,
                  std::string& error);

/// Points and polygons of a mesh (a triangle has c == d).
struct SceneMesh {
    std::vector<Vector> points;
    std::vector<CPolygon> polygons;
};

/// Plane in the XZ plane at y = 0, normal +Y, `sx` by `sz` cells. Point
/// (i, j), i = 0..sx along X and j = 0..sz along Z, has the index
/// j * (sx + 1) + i and the position (-w/2 + w*i/sx, 0, -h/2 + h*j/sz).
/// The polygon of cell (i, j) (index j * sx + i) is
/// (p(i, j), p(i, j + 1), p(i + 1, j + 1), p(i + 1, j)).
/// The caller checks sx, sz >= 1 and the sizes.
SceneMesh makePlane(double width, double height, Int32 sx, Int32 sz);

/// UV sphere around the origin with `segments` points per ring (>= 3) and
/// R = max(2, segments / 2) bands from pole to pole.
/// Points: the north pole (0, r, 0) is index 0; ring k = 1..R-1 (top to
/// bottom) holds point i = 0..segments-1 at index 1 + (k - 1) * segments + i,
/// at polar angle t = pi * k / R from +Y and azimuth a = 2 pi i / segments:
/// (r sin t cos a, r cos t, -r sin t sin a) (a turns +X toward -Z, the right-
/// handed turn about +Y); the south pole (0, -r, 0) is the last point.
/// Polygons, with i1 = (i + 1) mod segments: first the top cap triangles
/// (north, p(1, i), p(1, i1)); then per band k = 1..R-2 the quads
/// (p(k, i), p(k + 1, i), p(k + 1, i1), p(k, i1)); then the bottom cap
/// triangles (p(R-1, i), south, p(R-1, i1)); i ascending within each group.
/// Every polygon faces outward.
SceneMesh makeSphere(double radius, Int32 segments);

/// Number of points makeSphere gives (without building it).
Int64 spherePointCount(Int32 segments);

/// Reads an OBJ file: "v x y z" points and "f" faces (indices may be
/// negative, i.e. relative, and carry "/vt/vn" parts, which are ignored).
/// Faces of 3 or 4 corners are kept as they are; larger faces are split
/// into a fan of triangles around their first corner. Other statements
/// (vt, vn, o, g, s, usemtl, mtllib, l, ...) are ignored. On failure returns
/// false and sets `error` to "<file>:<line>: <problem>". Files above
/// kSceneMaxObjBytes and files that are not regular files are refused.
bool readObj(const std::string& file, SceneMesh& out, std::string& error);

/// Reads OBJ text; `file` names it in messages.
bool parseObj(const std::string& text, const std::string& file, SceneMesh& out, std::string& error);
