#include "cacheState.h"

#include "cache.h"
#include "cacheFingerprint.h"
#include "drRegistry.h"
#include "fileWrite.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

/// The cloth object's cache base name.
constexpr Int32 kCachePath = 1006;

/// First line of a fingerprint file; a later format gets another one.
constexpr const char* kFingerprintHeader = "drapeon cache fingerprint 1";

std::string fingerprintText(const std::string& fingerprint) {
    return std::string(kFingerprintHeader) + "\n" + fingerprint + "\n";
}

/// The frame whose file name is `base` + `rest`, if `rest` is a frame
/// number exactly as the cache writes it (four digits at least, a minus
/// sign before negative ones).
bool frameOfSuffix(const std::string& base, const std::string& rest, Int32& frame) {
    const size_t digits = rest.size() - (rest.empty() || rest[0] != '-' ? 0 : 1);
    if (digits < 4 || digits > 11) return false;
    if (!std::all_of(rest.end() - static_cast<long>(digits), rest.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; }))
        return false;
    const long long value = std::stoll(rest);
    if (value < INT32_MIN || value > INT32_MAX) return false;
    char name[kCacheNameSize];
    if (!cacheFileName(base.c_str(), static_cast<Int32>(value), name)) return false;
    if (base + rest != name) return false;
    frame = static_cast<Int32>(value);
    return true;
}

/// The stored frames of a cache with their files.
std::vector<std::pair<Int32, fs::path>> storedFrames(const std::string& base) {
    std::vector<std::pair<Int32, fs::path>> out;
    const fs::path path(base);
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    const std::string prefix = path.filename().string();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        Int32 frame = 0;
        // A folder of that name is no frame the cache wrote; anything else is
        if (!frameOfSuffix(base, name.substr(prefix.size()), frame) || it->is_directory(ec)) continue;
        out.emplace_back(frame, it->path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string readAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<SceneCache> sceneCaches(const Scene& scene) {
    std::vector<SceneCache> out;
    for (const SceneObject& so : scene.objects) {
        if (so.object->GetType() != ID_DRAPEON) continue;
        const Filename base = so.object->GetDataInstance()->GetFilename(kCachePath);
        if (base.IsEmpty()) continue;
        char buffer[kCacheNameSize];
        base.GetCString(buffer, kCacheNameSize, STRINGENCODING::BIT7HEX);
        out.push_back({&so, buffer, cacheFingerprint(scene, so)});
    }
    return out;
}

std::string fingerprintFile(const std::string& base) { return base + ".fingerprint"; }

CacheState inspectCache(const SceneCache& cache) {
    CacheState state;
    for (const auto& [frame, file] : storedFrames(cache.base)) state.frames.push_back(frame);
    std::error_code ec;
    const std::string record = fingerprintFile(cache.base);
    if (!fs::exists(fs::symlink_status(record, ec)))
        state.record = CacheState::Record::None;
    else
        state.record = readAll(record) == fingerprintText(cache.fingerprint) ? CacheState::Record::Same
                                                                             : CacheState::Record::Different;
    return state;
}

std::string framesText(const std::vector<Int32>& frames) {
    if (frames.empty()) return "no frames";
    if (frames.size() == 1) return "1 frame (" + std::to_string(frames.front()) + ")";
    return std::to_string(frames.size()) + " frames (" + std::to_string(frames.front()) + " to " +
           std::to_string(frames.back()) + ")";
}

bool prepareCache(const SceneCache& cache, bool reuse, std::ostream& notes, std::string& error) {
    const CacheState state = inspectCache(cache);
    const std::string name = cache.base + "NNNN";
    const std::string record = fingerprintFile(cache.base);
    if (state.frames.empty()) {
        // A new cache: it starts with the record of these settings
        if (state.record != CacheState::Record::Same && !writeFileAtomically(record, {fingerprintText(cache.fingerprint)}, error))
            return false;
        return true;
    }
    if (state.record == CacheState::Record::Same) {
        notes << "drapeon: the cache " << name << " holds " << framesText(state.frames)
              << " made from these settings; they are played back (clear-cache deletes them)\n";
        return true;
    }
    const std::string made = state.record == CacheState::Record::None
                                 ? " with no record of the settings they were made from"
                                 : " made from other settings (the cloth, its mesh or placement, its colliders, "
                                   "forces or constraints, or the frame rate have changed since)";
    notes << "drapeon: the cache " << name << " holds " << framesText(state.frames) << made;
    if (reuse) {
        notes << "; playing them back all the same, as --reuse-cache asks\n";
        return true;
    }
    notes << "; simulating afresh and replacing them (--reuse-cache plays them back instead)\n";

    // The old record goes first: whatever stops the deletion, no stale
    // frame is left under the new one
    std::error_code ec;
    fs::remove(record, ec);
    if (ec) {
        error = "cannot delete " + record + ": " + ec.message();
        return false;
    }
    for (const auto& [frame, file] : storedFrames(cache.base)) {
        fs::remove(file, ec);
        if (ec) {
            error = "cannot delete the stale cache file " + file.string() + ": " + ec.message() +
                    "; delete the cache's files by hand, or run with --reuse-cache";
            return false;
        }
    }
    return writeFileAtomically(record, {fingerprintText(cache.fingerprint)}, error);
}
