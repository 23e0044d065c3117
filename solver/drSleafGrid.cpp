#include "drSleafGrid.h"

#include <cmath>

#include "pool.h"

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
/// Leaves from which the bins are filled on the pool.
constexpr int64_t kParallelEntries = 256;

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

    // Ids in all: a leaf goes into every cell its box touches, the cells
    // from (x0, y0, z0) to (x1, y1, z1) kept per leaf (z0 above z1 for an
    // empty box, which contains no point)
    int64_t total = 0;
    ranges_.resize(static_cast<size_t>(count) * 6);
    for (size_t k = 0; k < entries.size(); ++k) {
        const Entry& e = entries[k];
        int32_t* r = &ranges_[k * 6];
        if (!finiteBox(e.boxMin, e.boxMax)) {
            r[0] = r[1] = r[2] = r[3] = 0;
            r[4] = 1;
            r[5] = 0;
            continue;
        }
        for (int a = 0; a < 3; ++a) {
            r[2 * a] = index(e.boxMin[a], a);
            r[2 * a + 1] = index(e.boxMax[a], a);
        }
        total += static_cast<int64_t>(r[1] - r[0] + 1) * (r[3] - r[2] + 1) * (r[5] - r[4] + 1);
    }
    if (total > kIdsPerEntry * count) return;
    const int32_t cells = counts_[0] * counts_[1] * counts_[2];
    cellStart_.assign(static_cast<size_t>(cells) + 1, 0);
    cursor_.resize(static_cast<size_t>(cells));
    ids_.resize(static_cast<size_t>(total));

    // The cells are binned in slabs of whole z layers, one job per slab on the
    // pool: each job scans the leaves in walk order and keeps the cells of its
    // slab, so the bins come out the same however many jobs there are.
    const int32_t T = poolWorkerCount();
    const bool parallel = T >= 2 && count >= kParallelEntries;
    const int32_t jobs = parallel ? T : 1;
    if (slabIds_.size() < static_cast<size_t>(jobs)) slabIds_.resize(static_cast<size_t>(jobs));
    auto forEachCellIn = [this](size_t k, int32_t za, int32_t zb, auto&& act) {
        const int32_t* r = &ranges_[k * 6];
        const int32_t z0 = std::max(r[4], za), z1 = std::min(r[5], zb - 1);
        if (z0 > z1) return;
        const int32_t x0 = r[0], x1 = r[1];
        const int32_t y0 = r[2], y1 = r[3];
        for (int32_t z = z0; z <= z1; ++z)
            for (int32_t y = y0; y <= y1; ++y)
                for (int32_t x = x0; x <= x1; ++x) act((z * counts_[1] + y) * counts_[0] + x);
    };
    const int32_t layer = counts_[0] * counts_[1];

    // Count the ids of every cell of a slab and sum them within the slab
    auto countSlab = [&](int32_t k, int32_t za, int32_t zb) {
        for (size_t k = 0; k < entries.size(); ++k)
            forEachCellIn(k, za, zb, [this](int32_t cell) { ++cellStart_[static_cast<size_t>(cell) + 1]; });
        int64_t sum = 0;
        for (int32_t c = za * layer; c < zb * layer; ++c) {
            sum += cellStart_[static_cast<size_t>(c) + 1];
            cellStart_[static_cast<size_t>(c) + 1] = static_cast<int32_t>(sum);
        }
        slabIds_[static_cast<size_t>(k)] = sum;
    };
    // Shift a slab's sums by the ids of the slabs before it, then fill its cells in walk order
    auto fillSlab = [&](int32_t k, int32_t za, int32_t zb) {
        int64_t before = 0;
        for (int32_t j = 0; j < k; ++j) before += slabIds_[static_cast<size_t>(j)];
        const int32_t offset = static_cast<int32_t>(before);
        // (the entry before a slab's first cell belongs to the slab before it)
        for (int32_t c = za * layer; c < zb * layer; ++c)
            cursor_[static_cast<size_t>(c)] = offset + (c == za * layer ? 0 : cellStart_[static_cast<size_t>(c)]);
        for (int32_t c = za * layer; c < zb * layer; ++c) cellStart_[static_cast<size_t>(c) + 1] += offset;
        for (size_t k = 0; k < entries.size(); ++k)
            forEachCellIn(k, za, zb, [this, id = entries[k].id](int32_t cell) {
                ids_[static_cast<size_t>(cursor_[static_cast<size_t>(cell)]++)] = id;
            });
    };
    if (parallel) {
        poolParallelFor(counts_[2], countSlab);
        poolParallelFor(counts_[2], fillSlab);
    } else {
        countSlab(0, 0, counts_[2]);
        fillSlab(0, 0, counts_[2]);
    }
    usable_ = true;
}
