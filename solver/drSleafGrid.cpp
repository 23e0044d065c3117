#include "drSleafGrid.h"

#include <cmath>

namespace {

/// Fewer leaves than this are walked: the tree is shallow enough.
constexpr int32_t kMinEntries = 16;
/// Cells along one axis at most.
constexpr int32_t kMaxCellsPerAxis = 128;
/// Cells per leaf at most, over the whole grid.
constexpr int64_t kCellsPerEntry = 8;
/// Binned ids per leaf at most (leaves much larger than a cell): beyond
/// this the walk is cheaper than the bins.
constexpr int64_t kIdsPerEntry = 16;

bool finiteBox(const drSvec3& lo, const drSvec3& hi) {
    for (int k = 0; k < 3; ++k)
        if (!(std::isfinite(lo[k]) && std::isfinite(hi[k]) && lo[k] <= hi[k])) return false;
    return true;
}

}  // namespace

void drSleafGrid::build(const drSvec3& lo, const drSvec3& hi, const std::vector<Entry>& entries) {
    usable_ = false;
    const int64_t count = static_cast<int64_t>(entries.size());
    if (count < kMinEntries || !finiteBox(lo, hi)) return;

    // Cells about the size of an average leaf box, at most eight per leaf
    double sum[3] = {0.0, 0.0, 0.0};
    for (const Entry& e : entries)
        if (finiteBox(e.boxMin, e.boxMax))
            for (int k = 0; k < 3; ++k) sum[k] += static_cast<double>(e.boxMax[k]) - e.boxMin[k];
    for (int k = 0; k < 3; ++k) {
        const double extent = static_cast<double>(hi[k]) - lo[k];
        const double average = sum[k] / static_cast<double>(count);
        double cells = 1.0;
        if (extent > 0.0) cells = average > 0.0 ? std::ceil(extent / average) : kMaxCellsPerAxis;
        counts_[k] = static_cast<int32_t>(std::min<double>(std::max(cells, 1.0), kMaxCellsPerAxis));
    }
    while (static_cast<int64_t>(counts_[0]) * counts_[1] * counts_[2] > kCellsPerEntry * count) {
        int k = 0;
        for (int a = 1; a < 3; ++a)
            if (counts_[a] > counts_[k]) k = a;
        counts_[k] = (counts_[k] + 1) / 2;
    }
    origin_ = lo;
    for (int k = 0; k < 3; ++k) {
        const float extent = hi[k] - lo[k];
        const float scale = extent > 0.0f ? static_cast<float>(counts_[k]) / extent : 0.0f;
        if (!std::isfinite(scale) || scale == 0.0f) counts_[k] = 1;
        scale_[k] = counts_[k] > 1 ? scale : 0.0f;
        last_[k] = static_cast<float>(counts_[k] - 1);
    }

    // Count the ids of every cell (a leaf goes into every cell its box touches)
    const int32_t cells = counts_[0] * counts_[1] * counts_[2];
    cellStart_.assign(static_cast<size_t>(cells) + 1, 0);
    int64_t total = 0;
    auto forEachCell = [this](const Entry& e, auto&& act) {
        const int32_t x0 = index(e.boxMin.x, 0), x1 = index(e.boxMax.x, 0);
        const int32_t y0 = index(e.boxMin.y, 1), y1 = index(e.boxMax.y, 1);
        const int32_t z0 = index(e.boxMin.z, 2), z1 = index(e.boxMax.z, 2);
        for (int32_t z = z0; z <= z1; ++z)
            for (int32_t y = y0; y <= y1; ++y)
                for (int32_t x = x0; x <= x1; ++x) act((z * counts_[1] + y) * counts_[0] + x);
    };
    for (const Entry& e : entries) {
        if (!finiteBox(e.boxMin, e.boxMax)) continue;  // empty: contains no point
        total += static_cast<int64_t>(index(e.boxMax.x, 0) - index(e.boxMin.x, 0) + 1) *
                 (index(e.boxMax.y, 1) - index(e.boxMin.y, 1) + 1) * (index(e.boxMax.z, 2) - index(e.boxMin.z, 2) + 1);
        if (total > kIdsPerEntry * count) return;
        forEachCell(e, [this](int32_t cell) { ++cellStart_[static_cast<size_t>(cell) + 1]; });
    }
    for (int32_t c = 0; c < cells; ++c) cellStart_[static_cast<size_t>(c) + 1] += cellStart_[static_cast<size_t>(c)];

    // Fill them in walk order
    cursor_.assign(cellStart_.begin(), cellStart_.end() - 1);
    ids_.resize(static_cast<size_t>(total));
    for (const Entry& e : entries) {
        if (!finiteBox(e.boxMin, e.boxMax)) continue;
        forEachCell(e, [this, &e](int32_t cell) { ids_[static_cast<size_t>(cursor_[static_cast<size_t>(cell)]++)] = e.id; });
    }
    usable_ = true;
}
