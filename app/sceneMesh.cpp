#include "sceneMesh.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

SceneMesh makePlane(double width, double height, Int32 sx, Int32 sz) {
    SceneMesh m;
    m.points.reserve(static_cast<size_t>(sx + 1) * static_cast<size_t>(sz + 1));
    for (Int32 j = 0; j <= sz; ++j)
        for (Int32 i = 0; i <= sx; ++i)
            m.points.emplace_back(-width / 2.0 + width * i / sx, 0.0, -height / 2.0 + height * j / sz);
    auto p = [sx](Int32 i, Int32 j) { return j * (sx + 1) + i; };
    m.polygons.reserve(static_cast<size_t>(sx) * static_cast<size_t>(sz));
    for (Int32 j = 0; j < sz; ++j)
        for (Int32 i = 0; i < sx; ++i) m.polygons.emplace_back(p(i, j), p(i, j + 1), p(i + 1, j + 1), p(i + 1, j));
    return m;
}

Int64 spherePointCount(Int32 segments) {
    const Int64 bands = segments / 2 < 2 ? 2 : segments / 2;
    return 2 + (bands - 1) * static_cast<Int64>(segments);
}

SceneMesh makeSphere(double radius, Int32 segments) {
    const Int32 n = segments;
    const Int32 bands = n / 2 < 2 ? 2 : n / 2;
    SceneMesh m;
    m.points.reserve(static_cast<size_t>(spherePointCount(n)));

    // Poles and rings, top to bottom
    m.points.emplace_back(0.0, radius, 0.0);
    for (Int32 k = 1; k < bands; ++k) {
        const double t = std::numbers::pi * k / bands;
        for (Int32 i = 0; i < n; ++i) {
            const double a = 2.0 * std::numbers::pi * i / n;
            m.points.emplace_back(radius * std::sin(t) * std::cos(a), radius * std::cos(t),
                                  -radius * std::sin(t) * std::sin(a));
        }
    }
    const Int32 south = static_cast<Int32>(m.points.size());
    m.points.emplace_back(0.0, -radius, 0.0);

    // Caps as triangles, bands as quads, all facing outward
    auto p = [n](Int32 k, Int32 i) { return 1 + (k - 1) * n + i % n; };
    for (Int32 i = 0; i < n; ++i) m.polygons.emplace_back(0, p(1, i), p(1, i + 1));
    for (Int32 k = 1; k + 1 < bands; ++k)
        for (Int32 i = 0; i < n; ++i) m.polygons.emplace_back(p(k, i), p(k + 1, i), p(k + 1, i + 1), p(k, i + 1));
    for (Int32 i = 0; i < n; ++i) m.polygons.emplace_back(p(bands - 1, i), south, p(bands - 1, i + 1));
    return m;
}

namespace {

/// Parses one number of an OBJ statement; false when it is not a finite number.
bool readNumber(std::istringstream& in, double& out) {
    std::string word;
    if (!(in >> word)) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtod(word.c_str(), &end);
    return end != word.c_str() && *end == '\0' && std::isfinite(out);
}

}  // namespace

bool parseObj(const std::string& text, const std::string& file, SceneMesh& out, std::string& error) {
    SceneMesh mesh;
    std::istringstream lines(text);
    std::string line;
    Int32 lineNumber = 0;
    auto fail = [&](const std::string& what) {
        error = file + ":" + std::to_string(lineNumber) + ": " + what;
        return false;
    };
    // Faces may refer to points defined later, so their indices are checked
    // once every point is known; remember where each face came from.
    std::vector<Int32> faceLine;
    while (std::getline(lines, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream in(line);
        std::string keyword;
        if (!(in >> keyword) || keyword[0] == '#') continue;
        if (keyword == "v") {
            double x = 0.0, y = 0.0, z = 0.0;
            if (!readNumber(in, x) || !readNumber(in, y) || !readNumber(in, z))
                return fail("a point (\"v\") needs three finite numbers");
            if (static_cast<Int32>(mesh.points.size()) >= kSceneMaxPoints)
                return fail("more than " + std::to_string(kSceneMaxPoints) + " points");
            mesh.points.emplace_back(x, y, z);
        } else if (keyword == "f") {
            std::vector<Int32> corners;
            std::string word;
            while (in >> word) {
                // "i", "i/t", "i//n" or "i/t/n": the point index comes first
                const std::string index = word.substr(0, word.find('/'));
                char* end = nullptr;
                errno = 0;
                const long v = std::strtol(index.c_str(), &end, 10);
                if (index.empty() || *end != '\0' || errno != 0 || v == 0)
                    return fail("\"" + word + "\" is not a point index (indices start at 1, negative ones count back)");
                const long count = static_cast<long>(mesh.points.size());
                // A negative index counts back from the points read so far
                const long resolved = v < 0 ? count + v : v - 1;
                if (resolved < 0 || resolved >= kSceneMaxPoints)
                    return fail("the index " + index + " is outside the " + std::to_string(count) + " points");
                corners.push_back(static_cast<Int32>(resolved));
            }
            if (corners.size() < 3) return fail("a face needs at least three corners");
            if (corners.size() <= 4) {
                CPolygon poly(corners[0], corners[1], corners[2]);
                if (corners.size() == 4) poly.d = corners[3];
                mesh.polygons.push_back(poly);
                faceLine.push_back(lineNumber);
            } else {
                for (size_t k = 1; k + 1 < corners.size(); ++k) {
                    mesh.polygons.emplace_back(corners[0], corners[k], corners[k + 1]);
                    faceLine.push_back(lineNumber);
                }
            }
            if (static_cast<Int32>(mesh.polygons.size()) > kSceneMaxPoints)
                return fail("more than " + std::to_string(kSceneMaxPoints) + " polygons");
        }
    }
    const Int32 count = static_cast<Int32>(mesh.points.size());
    for (size_t f = 0; f < mesh.polygons.size(); ++f) {
        const CPolygon& p = mesh.polygons[f];
        for (Int32 k = 0; k < 4; ++k)
            if (p[k] >= count) {
                lineNumber = faceLine[f];
                return fail("the face refers to point " + std::to_string(p[k] + 1) + " but the file has " +
                            std::to_string(count) + " points");
            }
    }
    if (count == 0) {
        lineNumber = lineNumber > 0 ? lineNumber : 1;
        return fail("the file holds no points (\"v\" lines)");
    }
    out = std::move(mesh);
    return true;
}

bool readFileText(const std::string& file, Int64 limit, bool regularOnly, const std::string& what, std::string& out,
                  std::string& error) {
    // Opened without blocking, so that a pipe without a writer is refused
    // rather than waited for
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = file + ": cannot open " + what + " (" + std::strerror(errno) + ")";
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = file + ": cannot read " + what + " (" + std::strerror(errno) + ")";
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = file + ": is a folder, not a file";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        if (regularOnly) {
            error = file + ": is a device, a pipe or a socket, not a regular file; give the path of a file";
            return false;
        }
        // Read as a stream (a pipe from another program), up to the limit
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    const auto tooLarge = [&] {
        const std::string size = limit >= (1 << 20) ? std::to_string(limit >> 20) + " MiB" : std::to_string(limit) + " bytes";
        error = file + ": " + what + " is larger than " + size + ", the limit of such a file";
        return false;
    };
    if (st.st_size > limit) return tooLarge();
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t have = 0;
    for (;;) {
        if (have == text.size()) {
            // The file may have grown since it was measured
            if (static_cast<Int64>(have) >= limit + 1) return tooLarge();
            text.resize(std::min<size_t>(have + 65536, static_cast<size_t>(limit) + 1));
        }
        const ssize_t got = ::read(fd, text.data() + have, text.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = file + ": cannot read " + what + " (" + std::strerror(errno) + ")";
            return false;
        }
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    if (static_cast<Int64>(have) > limit) return tooLarge();
    text.resize(have);
    out = std::move(text);
    return true;
}

bool readObj(const std::string& file, SceneMesh& out, std::string& error) {
    std::string text;
    if (!readFileText(file, kSceneMaxObjBytes, true, "the OBJ file", text, error)) {
        if (error.find("cannot open") != std::string::npos)
            error += "; check the path, which is relative to the scene file";
        return false;
    }
    return parseObj(text, file, out, error);
}
