// libFuzzer target of the cache reader. The input's first byte gives the
// cloth's point count (0 to 15) and whether the time falls between two
// frames; the rest is split into the files of frames 3 and 4 at the
// position of the second byte. Whatever the files hold, the reader must
// stay inside its arrays and never load a value that is not finite.
#include "cache.h"
#include "drScloth.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

std::string folder;

void removeFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

void writeFile(const std::string& name, const uint8_t* data, size_t size) {
    std::ofstream(name, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/tmp/drapeon-cache-fuzz-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    folder = name;
    std::atexit(removeFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t points = data[0] & 15;
    const bool between = (data[0] & 16) != 0;
    const size_t split = size - 2 == 0 ? 0 : data[1] * (size - 2) / 255;
    const std::string base = folder + "/cl";
    writeFile(base + "0003", data + 2, split);
    // Frame 4 is missing now and then, as at the end of a cache
    if ((data[0] & 32) == 0)
        writeFile(base + "0004", data + 2 + split, size - 2 - split);
    else
        std::filesystem::remove(base + "0004");

    drScloth cloth;
    cloth.pointCount = points;
    cloth.resizePoints();
    cloth.setCachePath(base.c_str());
    // A blend of two finite frames by a weight in [0, 1) may still round
    // past the largest float; only a whole frame must come back finite.
    if (readCache(cloth, between ? 3.5f : 3.0f) == 1 && !between)
        for (int32_t i = 0; i < points; ++i) {
            const drSvec3& p = cloth.positions[static_cast<size_t>(i)];
            const drSvec3& v = cloth.velocities[static_cast<size_t>(i)];
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) || !std::isfinite(v.x) ||
                !std::isfinite(v.y) || !std::isfinite(v.z))
                __builtin_trap();
        }
    return 0;
}
