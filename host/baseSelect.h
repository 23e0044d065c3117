// Element selection kept as sorted inclusive index segments.
#pragma once

#include "hostTypes.h"

#include <utility>
#include <vector>

/// A set of element indices (points or polygons), stored as ascending,
/// disjoint, non-adjacent inclusive segments [a, b].
class BaseSelect {
public:
    /// Number of selected elements.
    Int32 GetCount() const;
    /// Number of segments.
    Int32 GetSegments() const { return static_cast<Int32>(segments_.size()); }
    /// Segment `seg` as [*a, *b], clipped to indices below maxElements.
    /// False when seg is past the last segment (or negative), or when the
    /// segment starts at or beyond maxElements.
    Bool GetRange(Int32 seg, Int32 maxElements, Int32* a, Int32* b) const;
    /// True when index i is selected.
    Bool IsSelected(Int32 i) const;
    /// Selects index i (negative indices are ignored).
    Bool Select(Int32 i) { return SelectRange(i, i); }
    /// Deselects index i.
    Bool Deselect(Int32 i) { return DeselectRange(i, i); }
    /// Selects [a, b] (inclusive; negative parts ignored).
    Bool SelectRange(Int32 a, Int32 b);
    /// Deselects [a, b] (inclusive).
    Bool DeselectRange(Int32 a, Int32 b);
    /// Selects every index in [minIndex, maxIndex], as SelectRange.
    Bool SelectAll(Int32 minIndex, Int32 maxIndex) { return SelectRange(minIndex, maxIndex); }
    /// Clears the selection.
    void DeselectAll() { segments_.clear(); }
    /// The segments, ascending.
    const std::vector<std::pair<Int32, Int32>>& GetSegmentList() const { return segments_; }

private:
    std::vector<std::pair<Int32, Int32>> segments_;
};
