#include "outputNames.h"

#include <algorithm>
#include <climits>
#include <set>

namespace {

/// The first `size` bytes of `text`, not cutting a UTF-8 character in two.
std::string shortened(const std::string& text, size_t size) {
    if (text.size() <= size) return text;
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
    return text.substr(0, size);
}

}  // namespace

size_t longestOutputSuffix(long long largestFrame) {
    const size_t digits = std::max<size_t>(4, std::to_string(largestFrame < 0 ? -largestFrame : largestFrame).size());
    return std::max<size_t>(1 + 1 + digits + 4, 9);  // ".-NNNN.obj", ".rest.obj"
}

std::vector<std::string> outputStems(const std::vector<std::string>& names, size_t longestSuffix,
                                     std::vector<std::string>* reasons) {
    // Room for the suffix and for the temporary file's ".partial.XXXXXX",
    // so that the temporary file keeps the final name visible in it.
    const size_t limit = NAME_MAX > longestSuffix + 15 + 16 ? NAME_MAX - longestSuffix - 15 : 16;
    std::vector<std::string> stems;
    std::set<std::string> taken;
    for (const std::string& name : names) {
        std::string base, why;
        for (char c : name) {
            const bool refused = c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
                                 c == '>' || c == '|' || static_cast<unsigned char>(c) < 32 || c == 127;
            base += refused ? '_' : c;
        }
        if (base != name) why = "its name holds characters a file name cannot";
        if (base.find_first_not_of('.') == std::string::npos) {
            base = "object";
            why = name.empty() ? "it has no name" : "a name of dots is no file name";
        } else if (base[0] == '.') {
            base[0] = '_';
            why += std::string(why.empty() ? "" : "; ") + "a leading dot would hide its files";
        }
        // Leave room for "_<number>" as well.
        if (base.size() > limit - 8) {
            base = shortened(base, limit - 8);
            why += std::string(why.empty() ? "" : "; ") + "its name is too long for a file name";
        }
        std::string stem = base;
        for (int k = 2; taken.count(stem) != 0; ++k) stem = base + "_" + std::to_string(k);
        if (stem != base) why += std::string(why.empty() ? "" : "; ") + "another object's files take the name " + base;
        taken.insert(stem);
        stems.push_back(stem);
        if (reasons != nullptr) reasons->push_back(why);
    }
    return stems;
}
