#include "hostString.h"

#include <cstdio>
#include <cstring>

namespace {

/// Appends the escape of a code point outside 7-bit ASCII.
void appendEscape(std::string& out, uint32_t cp) {
    char buf[16];
    if (cp <= 0xFFFF)
        std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(cp));
    else
        std::snprintf(buf, sizeof buf, "\\U%08X", static_cast<unsigned>(cp));
    out += buf;
}

/// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the
/// bytes are not a valid, shortest-form sequence.
size_t decodeUtf8(const std::string& s, size_t i, uint32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    size_t len = 0;
    uint32_t minimum = 0;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; minimum = 0x80; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; minimum = 0x800; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; minimum = 0x10000; }
    else return 0;
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned char d = byte(i + k);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::string String::GetCStringCopy(STRINGENCODING type) const {
    if (type != STRINGENCODING::BIT7HEX) return text_;
    std::string out;
    out.reserve(text_.size());
    for (size_t i = 0; i < text_.size();) {
        const unsigned char c = static_cast<unsigned char>(text_[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        uint32_t cp = 0;
        const size_t len = decodeUtf8(text_, i, cp);
        if (len == 0) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(c));
            out += buf;
            ++i;
        } else {
            appendEscape(out, cp);
            i += len;
        }
    }
    return out;
}

void String::GetCString(Char* buf, Int32 max, STRINGENCODING type) const {
    if (buf == nullptr || max < 1) return;
    const std::string text = GetCStringCopy(type);
    const size_t n = std::min(text.size(), static_cast<size_t>(max) - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

Filename Filename::GetFile() const {
    const std::string& s = path_.GetStd();
    const size_t slash = s.find_last_of('/');
    return Filename(slash == std::string::npos ? s : s.substr(slash + 1));
}

Filename Filename::GetDirectory() const {
    const std::string& s = path_.GetStd();
    const size_t slash = s.find_last_of('/');
    return Filename(slash == std::string::npos ? std::string() : s.substr(0, slash));
}

Filename Filename::operator+(const Filename& component) const {
    const std::string& a = path_.GetStd();
    const std::string& b = component.path_.GetStd();
    if (a.empty()) return component;
    if (b.empty()) return *this;
    if (a.back() == '/') return Filename(a + b);
    return Filename(a + "/" + b);
}
