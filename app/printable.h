// Text from scene files shown on the terminal.
#pragma once

#include <cstdio>
#include <string>

/// Text of a scene (names, and messages that quote them) as the terminal
/// shows it: control characters (C0, DEL and the UTF-8 encoded C1 range)
/// are written as escapes, so that a name cannot move the cursor, change
/// colours or ring the bell.
inline std::string printable(const std::string& s) {
    std::string out;
    char code[16];
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        const auto next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0u;
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            std::snprintf(code, sizeof code, "\\u%04x", next);
            out += code;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
