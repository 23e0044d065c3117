// Which items (springs, triangles) meet at each point, in item order: the
// lists from which every point gathers what the items computed for it, so
// that each point adds its terms in the same order whatever the split of
// the work over threads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

template <int K>
class drSincidence {
public:
    using Item = std::array<int32_t, K>;

    drSincidence() = default;
    drSincidence(const drSincidence& o) { *this = o; }
    drSincidence& operator=(const drSincidence& o) {
        pointCount_ = o.pointCount_;
        items_ = o.items_;
        start_ = o.start_;
        entries_ = o.entries_;
        changed_.store(o.changed_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }

    /// Entries of point i: entries()[start()[i]] up to entries()[start()[i + 1]].
    /// An entry is item * K + corner; items with a corner outside
    /// [0, pointCount) are left out.
    const int32_t* start() const { return start_.data(); }
    const int32_t* entries() const { return entries_.data(); }

    /// Before the items are computed: whether the lists were built for this
    /// point count and item count. The item data itself is compared by
    /// compare(), item range by item range, while the items are computed.
    void check(int32_t pointCount, int32_t itemCount) {
        changed_.store(pointCount != pointCount_ || static_cast<size_t>(itemCount) != items_.size(),
                       std::memory_order_relaxed);
    }
    /// Notes a difference between items [begin, end) and those the lists
    /// were built from; safe from several threads on disjoint ranges.
    /// True when the lists were built for these items and this point count.
    bool compare(const Item* items, int32_t begin, int32_t end) {
        if (changed_.load(std::memory_order_relaxed)) return false;
        if (end <= begin) return true;
        if (std::memcmp(items + begin, items_.data() + begin, sizeof(Item) * static_cast<size_t>(end - begin)) != 0) {
            changed_.store(true, std::memory_order_relaxed);
            return false;
        }
        return true;
    }
    /// Whether a difference has been noted since check().
    bool changed() const { return changed_.load(std::memory_order_relaxed); }
    /// Notes a difference found by other means than compare().
    void markChanged() { changed_.store(true, std::memory_order_relaxed); }
    /// After the items are computed: rebuilds the lists if anything
    /// changed, and says whether it did.
    bool update(int32_t pointCount, const Item* items, int32_t itemCount) {
        if (!changed_.load(std::memory_order_relaxed)) return false;
        build(pointCount, items, itemCount);
        return true;
    }
    /// The items the lists were built from.
    const Item* items() const { return items_.data(); }

    void build(int32_t pointCount, const Item* items, int32_t itemCount) {
        pointCount_ = pointCount;
        items_.assign(items, items + itemCount);
        const uint32_t n = pointCount > 0 ? static_cast<uint32_t>(pointCount) : 0;
        start_.assign(static_cast<size_t>(n) + 1, 0);
        for (const Item& item : items_)
            if (inside(item, n))
                for (int32_t p : item) ++start_[static_cast<size_t>(p) + 1];
        for (size_t i = 1; i < start_.size(); ++i) start_[i] += start_[i - 1];
        entries_.resize(static_cast<size_t>(start_.back()));
        std::vector<int32_t> cursor(start_.begin(), start_.end() - 1);
        for (int32_t s = 0; s < itemCount; ++s) {
            const Item& item = items_[static_cast<size_t>(s)];
            if (!inside(item, n)) continue;
            for (int c = 0; c < K; ++c) entries_[static_cast<size_t>(cursor[static_cast<size_t>(item[c])]++)] = s * K + c;
        }
        changed_.store(false, std::memory_order_relaxed);
    }

private:
    static bool inside(const Item& item, uint32_t n) {
        for (int32_t p : item)
            if (static_cast<uint32_t>(p) >= n) return false;
        return true;
    }

    int32_t pointCount_ = -1;
    std::vector<Item> items_;  ///< the items the lists were built from
    std::vector<int32_t> start_{0};
    std::vector<int32_t> entries_;
    std::atomic<bool> changed_{true};
};
