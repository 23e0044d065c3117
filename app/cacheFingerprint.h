// The fingerprint of a cloth's cache: a digest of everything in the scene
// that shapes the cloth's simulation, stored beside its cache files so that
// a run can tell frames made from other settings from its own.
#pragma once

#include "scene.h"

#include <string>

/// Whether the number of threads goes into the fingerprint. The solver gives
/// the same bits on any number of threads, so a cache made with one count
/// plays back under any other; should results ever depend on the count,
/// set this and caches made with another count become stale.
constexpr bool kCacheDependsOnThreadCount = false;

/// The fingerprint of `cloth` (a cloth object of `scene`), as 16 hexadecimal
/// digits. It covers the frame rate, the whole tree of the top object the
/// cloth sits in (its mesh with points, polygons and tags, the placement of
/// every object above it, the cloth and its colliders, forces and
/// constraints with their parameters and animation) and, through every link
/// in there, the trees of the linked objects and tags. Names count only
/// where they locate something (the cloth's own path, the path of a link's
/// target); the cache's own base name is left out, so a cache may be moved
/// or renamed along with its scene.
std::string cacheFingerprint(const Scene& scene, const SceneObject& cloth);
