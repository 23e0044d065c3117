// Simulation cache: one file per frame holding the positions and then the
// velocities of every point as packed 32-bit floats (24 bytes per point, no
// header). Frame f of base name B is the file "B" followed by f with at least
// four digits ("/tmp/c/cl" and frame 12 give "/tmp/c/cl0012", frame -3 gives
// "/tmp/c/cl-0003"). Times between two stored frames blend them linearly.
//
// A frame file is either whole or absent: it is written under a temporary
// name in its folder and renamed over the final name. A file that is not
// exactly one frame of the cloth (wrong size, values that are not finite)
// is never loaded: the frame is simulated again and the file replaced.
#pragma once

#include <cstdint>

struct drScloth;

/// Longest composed file name, terminating zero included.
constexpr int32_t kCacheNameSize = 1024;

/// Composes the file name of `frame` from the base name `base`. Returns false,
/// and leaves `name` empty, when `base` is null or the name does not fit in
/// kCacheNameSize bytes; such a cache is not used.
bool cacheFileName(const char* base, int32_t frame, char (&name)[kCacheNameSize]);

/// Loads positions and velocities for time `t`: frame f of t, blended with
/// frame f + 1 by the fraction t - f when that file holds a sound frame.
/// Returns 1 when frame f was loaded, else 0 (no file, or a damaged one,
/// which is reported on standard error by name and left to be replaced).
int32_t readCache(drScloth& cloth, float t);

/// Stores the current positions and velocities as the frame of time `t`,
/// replacing a file of that name as a whole (a symbolic link there is
/// replaced, never written through). A failure is reported on standard
/// error and leaves the earlier file, if any, as it was.
void writeCache(const drScloth& cloth, float t);

