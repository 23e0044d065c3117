#include "cache.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
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

/// Reads exactly `size` bytes. False when a read reports an error or the
/// file ends first.
bool readAll(int fd, void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
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

bool allFinite(const drSvec3* v, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(v[i].x) || !std::isfinite(v[i].y) || !std::isfinite(v[i].z)) return false;
    return true;
}

/// What reading one frame file gave.
enum class FrameRead { Loaded, Missing, Damaged };

/// Reads one frame file (positions, then velocities) into the arrays. A file
/// that is not exactly one frame of n points with finite values is Damaged,
/// and `problem` says why; the arrays may then hold part of it.
FrameRead readFrame(const char* name, drSvec3* positions, drSvec3* velocities, size_t n, std::string& problem) {
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return FrameRead::Missing;
        problem = std::string("it cannot be opened: ") + std::strerror(errno);
        return FrameRead::Damaged;
    }
    const size_t expected = 2 * n * sizeof(drSvec3);
    struct stat info {};
    FrameRead result = FrameRead::Loaded;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = "it is not a regular file";
        result = FrameRead::Damaged;
    } else if (static_cast<uint64_t>(info.st_size) != expected) {
        problem = std::to_string(info.st_size) + " bytes where " + std::to_string(expected) + " are expected for " +
                  std::to_string(n) + " points";
        result = FrameRead::Damaged;
    } else if (errno = 0; !readAll(fd, positions, n * sizeof(drSvec3)) || !readAll(fd, velocities, n * sizeof(drSvec3))) {
        problem = std::string("it cannot be read: ") + (errno != 0 ? std::strerror(errno) : "it ended early");
        result = FrameRead::Damaged;
    } else if (!allFinite(positions, n) || !allFinite(velocities, n)) {
        problem = "it holds values that are not finite numbers";
        result = FrameRead::Damaged;
    }
    ::close(fd);
    return result;
}

/// A name for the temporary file of `name`, in the same folder: "<name>.",
/// the process id and a counter, so that neither a concurrent writer nor a
/// frame number can share it.
std::string temporaryName(const char* name) {
    static std::atomic<uint32_t> counter{0};
    return std::string(name) + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

/// Creates a fresh temporary file beside `name`: exclusively, never through
/// a symbolic link, with the permissions a new file gets (0666 less the
/// umask). Returns its descriptor, or -1 with errno set.
int createTemporary(const char* name, std::string& temporary) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporaryName(name);
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

void reportWriteFailure(const char* name, int error) {
    std::fprintf(stderr, "drapeon: cannot write the cache file %s: %s\n", name, std::strerror(error));
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

    // Frame f: the state itself, read aside so that a damaged file leaves
    // the cloth as it was
    std::vector<drSvec3> positions(n), velocities(n);
    std::string problem;
    switch (readFrame(name, positions.data(), velocities.data(), n, problem)) {
        case FrameRead::Missing:
            return 0;
        case FrameRead::Damaged:
            std::fprintf(stderr, "drapeon: cache file %s is damaged (%s); simulating frame %d again\n", name,
                         problem.c_str(), static_cast<int>(frame));
            return 0;
        case FrameRead::Loaded:
            break;
    }
    std::copy(positions.begin(), positions.end(), cloth.positions.begin());
    std::copy(velocities.begin(), velocities.end(), cloth.velocities.begin());

    // Frame f + 1: blend towards it by phi. A missing or damaged file gives
    // no blend (its turn to be reported comes when it is frame f).
    if (frame == INT32_MAX || !cacheFileName(cloth.cachePath.c_str(), frame + 1, name)) return 1;
    if (readFrame(name, positions.data(), velocities.data(), n, problem) != FrameRead::Loaded) return 1;
    const float keep = 1.0f - phi;
    for (size_t i = 0; i < n; ++i) {
        drSvec3& p = cloth.positions[i];
        const drSvec3& q = positions[i];
        p.x = phi * q.x + keep * p.x;
        p.y = phi * q.y + keep * p.y;
        p.z = phi * q.z + keep * p.z;
        drSvec3& v = cloth.velocities[i];
        const drSvec3& w = velocities[i];
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

    // Whole or absent: the frame goes to a fresh temporary file that is
    // renamed over the final name once complete. It is not flushed to the
    // disk first: a file that a power cut leaves short is found damaged and
    // simulated again.
    std::string temporary;
    const int fd = createTemporary(name, temporary);
    if (fd < 0) {
        reportWriteFailure(name, errno);
        return;
    }
    bool written = writeAll(fd, cloth.positions.data(), n * sizeof(drSvec3)) &&
                   writeAll(fd, cloth.velocities.data(), n * sizeof(drSvec3));
    int error = written ? 0 : (errno != 0 ? errno : EIO);
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && std::rename(temporary.c_str(), name) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        reportWriteFailure(name, error);
    }
}
