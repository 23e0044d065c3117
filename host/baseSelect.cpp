#include "baseSelect.h"

#include <algorithm>

Int32 BaseSelect::GetCount() const {
    Int64 n = 0;
    for (const auto& s : segments_) n += static_cast<Int64>(s.second) - s.first + 1;
    return n > 0x7fffffff ? 0x7fffffff : static_cast<Int32>(n);
}

Bool BaseSelect::GetRange(Int32 seg, Int32 maxElements, Int32* a, Int32* b) const {
    if (seg < 0 || seg >= GetSegments()) return false;
    const auto& s = segments_[static_cast<size_t>(seg)];
    if (s.first >= maxElements) return false;
    if (a) *a = s.first;
    if (b) *b = std::min(s.second, maxElements - 1);
    return true;
}

Bool BaseSelect::IsSelected(Int32 i) const {
    // First segment whose end is not below i.
    const auto it = std::lower_bound(segments_.begin(), segments_.end(), i,
                                     [](const std::pair<Int32, Int32>& s, Int32 v) { return s.second < v; });
    return it != segments_.end() && it->first <= i;
}

Bool BaseSelect::SelectRange(Int32 a, Int32 b) {
    if (a < 0) a = 0;
    if (b < a) return false;
    // Merge [a, b] with every segment that overlaps or touches it.
    std::vector<std::pair<Int32, Int32>> out;
    out.reserve(segments_.size() + 1);
    bool placed = false;
    for (const auto& s : segments_) {
        if (static_cast<Int64>(s.second) + 1 < a) {
            out.push_back(s);
        } else if (static_cast<Int64>(b) + 1 < s.first) {
            if (!placed) { out.emplace_back(a, b); placed = true; }
            out.push_back(s);
        } else {
            a = std::min(a, s.first);
            b = std::max(b, s.second);
        }
    }
    if (!placed) out.emplace_back(a, b);
    segments_.swap(out);
    return true;
}

Bool BaseSelect::DeselectRange(Int32 a, Int32 b) {
    if (b < a) return false;
    std::vector<std::pair<Int32, Int32>> out;
    out.reserve(segments_.size() + 1);
    for (const auto& s : segments_) {
        if (s.second < a || s.first > b) {
            out.push_back(s);
            continue;
        }
        if (s.first < a) out.emplace_back(s.first, a - 1);
        if (s.second > b) out.emplace_back(b + 1, s.second);
    }
    segments_.swap(out);
    return true;
}
