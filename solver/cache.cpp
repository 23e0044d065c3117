#include "cache.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "drScloth.h"

namespace {

/// Frame f and fraction phi = t - f of time t. False for times whose frame
/// does not fit in 32 bits (or is not a number): such times have no file.
bool frameOf(float t, int32_t& frame, float& phi) {
    const float shifted = t + 0.001f;
    if (!(shifted > -2147483520.0f && shifted < 2147483520.0f)) return false;
    frame = static_cast<int32_t>(shifted);  // truncation toward zero
    if (t < 0.0f) frame -= 1;
    phi = t - static_cast<float>(frame);
    return true;
}

/// Points that both arrays of the cloth really hold (pointCount, or fewer if
/// the arrays were not resized).
size_t storedPoints(const drScloth& cloth) {
    if (cloth.pointCount <= 0) return 0;
    return std::min({static_cast<size_t>(cloth.pointCount), cloth.positions.size(), cloth.velocities.size()});
}

/// Reads up to `size` bytes, stopping quietly at the end of the file.
/// False when a read reports an error.
bool readUpTo(int fd, void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

/// Writes all `size` bytes. False when a write reports an error or stops.
bool writeAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

/// Reads one frame file (positions, then velocities) into the arrays.
/// False when the file cannot be opened.
bool readFrame(const char* name, drSvec3* positions, drSvec3* velocities, size_t n) {
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (!readUpTo(fd, positions, n * sizeof(drSvec3))) std::printf("Error: cannot read cache\n");
    if (!readUpTo(fd, velocities, n * sizeof(drSvec3))) std::printf("Error: cannot read cache\n");
    ::close(fd);
    return true;
}

}  // namespace

bool cacheFileName(const char* base, int32_t frame, char (&name)[kCacheNameSize]) {
    name[0] = '\0';
    if (base == nullptr) return false;
    const int length = std::snprintf(name, sizeof(name), "%s%.4d", base, frame);
    if (length < 0 || length >= kCacheNameSize) {
        name[0] = '\0';
        return false;
    }
    return true;
}

int32_t readCache(drScloth& cloth, float t) {
    // A base name whose composed file name does not fit in kCacheNameSize
    // bytes switches the cache off for this call, like an empty base name.
    if (!cloth.hasCachePath()) return 0;
    int32_t frame = 0;
    float phi = 0.0f;
    if (!frameOf(t, frame, phi)) return 0;
    char name[kCacheNameSize];
    if (!cacheFileName(cloth.cachePath.c_str(), frame, name)) return 0;
    const size_t n = storedPoints(cloth);

    // Frame f: the state itself
    if (!readFrame(name, cloth.positions.data(), cloth.velocities.data(), n)) return 0;

    // Frame f + 1: blend towards it by phi. Points that a short file does not
    // cover keep frame f's values, so they blend to frame f itself.
    if (frame == INT32_MAX || !cacheFileName(cloth.cachePath.c_str(), frame + 1, name)) return 1;
    std::vector<drSvec3> nextPositions(cloth.positions.begin(), cloth.positions.begin() + n);
    std::vector<drSvec3> nextVelocities(cloth.velocities.begin(), cloth.velocities.begin() + n);
    if (!readFrame(name, nextPositions.data(), nextVelocities.data(), n)) return 1;
    const float keep = 1.0f - phi;
    for (size_t i = 0; i < n; ++i) {
        drSvec3& p = cloth.positions[i];
        const drSvec3& q = nextPositions[i];
        p.x = phi * q.x + keep * p.x;
        p.y = phi * q.y + keep * p.y;
        p.z = phi * q.z + keep * p.z;
        drSvec3& v = cloth.velocities[i];
        const drSvec3& w = nextVelocities[i];
        v.x = phi * w.x + keep * v.x;
        v.y = phi * w.y + keep * v.y;
        v.z = phi * w.z + keep * v.z;
    }
    return 1;
}

void writeCache(const drScloth& cloth, float t) {
    // Same rule as readCache: a name that does not fit means no cache.
    if (!cloth.hasCachePath()) return;
    int32_t frame = 0;
    float phi = 0.0f;
    if (!frameOf(t, frame, phi)) return;
    char name[kCacheNameSize];
    if (!cacheFileName(cloth.cachePath.c_str(), frame, name)) return;
    const size_t n = storedPoints(cloth);

    // An existing longer file keeps its tail: the file is not truncated.
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    if (!writeAll(fd, cloth.positions.data(), n * sizeof(drSvec3))) std::printf("Error: cannot write cache\n");
    if (!writeAll(fd, cloth.velocities.data(), n * sizeof(drSvec3))) std::printf("Error: cannot write cache\n");
    ::close(fd);
}
