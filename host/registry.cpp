#include "registry.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace {

/// Everything the registration functions share.
struct RegistryState {
    std::recursive_mutex mutex;
    std::vector<std::unique_ptr<RegisteredType>> types;  ///< registration order
    std::map<Int32, String> strings;
    Filename currentFolder;
    Int32 refuseCountdown = 0;  ///< the call that brings it to 0 is refused
    std::vector<std::string> errors;
};

RegistryState& state() {
    static RegistryState s;
    return s;
}

/// The whole of a (small) resource file; false when it cannot be read.
Bool readFile(const Filename& file, std::string& out) {
    const int fd = ::open(file.GetString().GetStd().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return n == 0;
        }
        out.append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace

Bool RegisterObjectPlugin(Int32 id, const String& name, Int32 info, DataAllocator* allocator,
                          const String& description, BaseBitmap* icon, Int32 disklevel) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    if (s.refuseCountdown > 0 && --s.refuseCountdown == 0) return false;
    if (id <= 0) return false;
    for (const auto& t : s.types)
        if (t->id == id) {
            HostReportError("type id " + std::to_string(id) + " (\"" + description.GetStd() +
                            "\") is already registered; each type needs its own plug-in id");
            return false;
        }

    auto t = std::make_unique<RegisteredType>();
    t->id = id;
    t->name = name;
    t->info = info;
    t->allocator = allocator;
    t->descriptionName = description;
    t->diskLevel = disklevel;
    t->pluginFolder = s.currentFolder;
    if (icon != nullptr) {
        t->iconLoaded = icon->IsLoaded();
        t->iconPath = icon->GetPath();
        t->iconWidth = icon->GetBw();
        t->iconHeight = icon->GetBh();
    }

    // The parameter description, when the plug-in ships one.
    if (description.IsPopulated() && s.currentFolder.IsPopulated()) {
        const Filename file = s.currentFolder + Filename("res/description/" + description.GetStd() + ".json");
        std::string text;
        if (!readFile(file, text)) {
            t->descriptionError = "no description file " + file.GetString().GetStd();
        } else {
            auto d = std::make_shared<Description>();
            std::string error;
            if (Description::Parse(description.GetStd(), text, *d, error)) {
                t->description = std::move(d);
            } else {
                t->descriptionError = file.GetString().GetStd() + ": " + error;
                HostReportError(t->descriptionError);
            }
        }
    }
    s.types.push_back(std::move(t));
    return true;
}

const RegisteredType* PluginRegistry::Find(Int32 id) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    for (const auto& t : s.types)
        if (t->id == id) return t.get();
    return nullptr;
}

const RegisteredType* PluginRegistry::FindByDescription(const std::string& descriptionName) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    for (const auto& t : s.types)
        if (t->descriptionName.GetStd() == descriptionName) return t.get();
    return nullptr;
}

std::vector<const RegisteredType*> PluginRegistry::List() {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    std::vector<const RegisteredType*> out;
    for (const auto& t : s.types) out.push_back(t.get());
    return out;
}

void PluginRegistry::Unregister(const Filename& pluginFolder) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    std::erase_if(s.types, [&](const std::unique_ptr<RegisteredType>& t) { return t->pluginFolder == pluginFolder; });
}

void PluginRegistry::Unregister(Int32 id) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    std::erase_if(s.types, [&](const std::unique_ptr<RegisteredType>& t) { return t->id == id; });
}

void PluginRegistry::Clear() {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.types.clear();
}

void PluginRegistry::RefuseRegistration(Int32 n) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.refuseCountdown = n > 0 ? n : 0;
}

void PluginRegistry::SetCurrentPluginFolder(const Filename& folder) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.currentFolder = folder;
}

Filename GeGetPluginPath() {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    return s.currentFolder;
}

Filename GeGetPluginResourcePath() {
    const Filename folder = GeGetPluginPath();
    return folder.IsPopulated() ? folder + Filename("res") : Filename();
}

String GeLoadString(Int32 id) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    const auto it = s.strings.find(id);
    return it == s.strings.end() ? String() : it->second;
}

Bool LoadStringResource(const Filename& pluginFolder) {
    const Filename file = pluginFolder + Filename("res/strings.json");
    std::string text;
    if (!readFile(file, text)) {
        HostReportError("cannot read the string resource " + file.GetString().GetStd() +
                        ": object names will be empty; install res/strings.json beside the plug-in");
        return false;
    }
    std::map<Int32, String> loaded;
    try {
        const nlohmann::json j = nlohmann::json::parse(text);
        if (!j.is_object()) throw std::runtime_error("the top level must be an object of id -> text");
        for (const auto& [key, value] : j.items()) {
            size_t used = 0;
            const int id = std::stoi(key, &used);
            if (used != key.size()) throw std::runtime_error("\"" + key + "\" is not an integer id");
            if (!value.is_string()) throw std::runtime_error("the text of id " + key + " is not a string");
            loaded[id] = String(value.get<std::string>());
        }
    } catch (const std::exception& e) {
        HostReportError("invalid string resource " + file.GetString().GetStd() + ": " + e.what());
        return false;
    }
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    for (auto& [id, value] : loaded) s.strings[id] = value;
    return true;
}

void FreeStringResource() {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.strings.clear();
}

void HostReportError(const std::string& message) {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.errors.push_back(message);
}

std::vector<std::string> HostTakeErrors() {
    RegistryState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    std::vector<std::string> out;
    out.swap(s.errors);
    return out;
}

IMAGERESULT BaseBitmap::Init(const Filename& file) {
    loaded_ = false;
    width_ = height_ = 0;
    path_ = file;
    const int fd = ::open(file.GetString().GetStd().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return IMAGERESULT::NOTEXISTING;
    // Signature (8 bytes), then the IHDR chunk: length, "IHDR", width and
    // height as big-endian 32-bit values.
    unsigned char head[24] = {};
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    ::close(fd);
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (got != static_cast<ssize_t>(sizeof head) || !std::equal(signature, signature + 8, head) ||
        head[12] != 'I' || head[13] != 'H' || head[14] != 'D' || head[15] != 'R')
        return IMAGERESULT::WRONGTYPE;
    const auto be32 = [&](int at) {
        return static_cast<UInt32>(head[at]) << 24 | static_cast<UInt32>(head[at + 1]) << 16 |
               static_cast<UInt32>(head[at + 2]) << 8 | static_cast<UInt32>(head[at + 3]);
    };
    const UInt32 w = be32(16), h = be32(20);
    if (w == 0 || h == 0 || w > 0x7fffffffu || h > 0x7fffffffu) return IMAGERESULT::WRONGTYPE;
    width_ = static_cast<Int32>(w);
    height_ = static_cast<Int32>(h);
    loaded_ = true;
    return IMAGERESULT::OK;
}

AutoBitmap::AutoBitmap(const String& name, Float pixelRatio) : pixelRatio_(pixelRatio) {
    bitmap_.Init(GeGetPluginResourcePath() + Filename(name));
}
