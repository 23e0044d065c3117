// Uniform grid over the leaf boxes of a triangle octree, rebuilt at every
// refit. A point query asks only the leaves binned in the point's cell
// instead of walking the tree from the root: about nine box tests instead
// of forty for a cloth's points against its own 20,000 triangles.
//
// The answer is the walk's: after a refit every inner box is the union of
// its children's boxes, so the walk reaches exactly the leaves whose own box
// contains the point, in walk order. Every such leaf is binned in the
// point's cell (cell indices grow with the coordinates, so a point inside a
// box falls in one of the box's cells), and a cell lists its leaves in walk
// order, so the first accepted triangle is the same.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "drSvec.h"

class drSleafGrid {
public:
    /// A leaf to bin: its box and its index in the walk order.
    struct Entry {
        drSvec3 boxMin, boxMax;
        int32_t id;
    };

    /// Bins `entries` (in walk order) over the box [lo, hi] that contains
    /// them all. Leaves the grid unusable (queries must walk) when there are
    /// too few entries to pay off, when the box is not finite, or when the
    /// boxes overlap so much that the bins would grow too large.
    void build(const drSvec3& lo, const drSvec3& hi, const std::vector<Entry>& entries);

    bool usable() const { return usable_; }

    /// Calls visit(id) for every entry binned in the cell of `p`, in walk
    /// order, until one returns true; returns whether one did. `p` must lie
    /// in the box given to build().
    template <class Visit>
    bool forEachAt(const drSvec3& p, const Visit& visit) const {
        const int32_t cell = cellAt(p);
        const int32_t* id = cellBegin(cell);
        const int32_t* end = cellEnd(cell);
        for (; id != end; ++id)
            if (visit(*id)) return true;
        return false;
    }

    /// Number of cells, the cell of `p` (inside the box given to build()),
    /// and the ids binned in cell c: [cellBegin(c), cellEnd(c)), in walk order.
    int32_t cellCount() const { return counts_[0] * counts_[1] * counts_[2]; }
    int32_t cellAt(const drSvec3& p) const {
        return (index(p.z, 2) * counts_[1] + index(p.y, 1)) * counts_[0] + index(p.x, 0);
    }
    const int32_t* cellBegin(int32_t c) const { return ids_.data() + cellStart_[static_cast<size_t>(c)]; }
    const int32_t* cellEnd(int32_t c) const { return ids_.data() + cellStart_[static_cast<size_t>(c) + 1]; }
    /// What cellAt computes from, for passes that find the cells of many
    /// points at once in vector lanes: along axis k, the cell index of x is
    /// the integer part of min(max((x - origin[k]) * scale[k], 0), last[k]),
    /// and the cell is (z * counts[1] + y) * counts[0] + x.
    const drSvec3& origin() const { return origin_; }
    const drSvec3& scale() const { return scale_; }
    const drSvec3& last() const { return last_; }
    int32_t counts(int k) const { return counts_[k]; }
    /// Ids binned in all: cell c holds [cellBegin(c), cellEnd(c)) of
    /// [cellBegin(0), cellBegin(0) + idCount()).
    int32_t idCount() const { return cellStart_.empty() ? 0 : cellStart_.back(); }

private:
    /// Cell index of coordinate x along an axis, clamped to the grid. Never
    /// decreases as x grows: a point between two box corners lies between
    /// their cells.
    int32_t index(float x, int axis) const {
        const float f = std::min(std::max((x - origin_[axis]) * scale_[axis], 0.0f), last_[axis]);
        return static_cast<int32_t>(f);
    }

    bool usable_ = false;
    drSvec3 origin_;             ///< lower corner of the grid
    drSvec3 scale_;              ///< cells per length unit along each axis
    drSvec3 last_;               ///< highest cell index along each axis, as a float
    int32_t counts_[3] = {1, 1, 1};  ///< cells along x, y, z
    std::vector<int32_t> cellStart_;  ///< first entry of each cell in ids_, and the total at the end
    std::vector<int32_t> cursor_;     ///< fill position of each cell during the build
    std::vector<int32_t> ids_;        ///< the entries' ids, cell by cell, in walk order within a cell
    std::vector<int64_t> slabIds_;    ///< ids of each slab of cells during the build
    std::vector<int32_t> ranges_;     ///< per entry during the build: its cells x0, x1, y0, y1, z0, z1
};
