// Spring forces kept in point order, for the springs of a set that join
// points at a few common index distances (a grid's rows, columns and
// diagonals).
//
// A track holds, for one distance d, the force of the spring (a, a + d) at
// point a, packed as the points are (x, y, z per point). Most points of a
// grid then find their springs' forces at the same places relative to
// themselves as their neighbours do: sixteen consecutive points add one
// term each with three vector loads from a track, element by element, with
// no reordering of lanes, instead of sixteen loads of one slot each. The
// springs along a grid's rows write their forces straight into their track
// (sixteen at a time, in point order), so the forces of most springs are
// written once, to the track, and never to their slots.
//
// Every point still adds exactly its own springs' forces in its own list
// order (the point a adds the force, b its negative), whether from a track
// or a slot, so the sums are the same bits as from the slots alone.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "drSgather.h"
#include "drSvec.h"

class drSspringTracks {
public:
    static constexpr int32_t kMaxTracks = 4;

    /// Chooses the tracks and the per-group gather programs from the
    /// springs `pairs` and the points' lists (entry 2 s + c: spring s, end
    /// c). Leaves no track unless the widest lanes are 16 floats.
    void build(int32_t pointCount, const std::array<int32_t, 2>* pairs, int32_t springCount, const int32_t* start,
               const int32_t* entries);
    /// No spring has a track: the slots hold every force.
    bool empty() const { return trackCount_ == 0; }
    /// Per spring: its track, or -1 when its force lives in its slot only
    /// (16 more entries of -1 past the last spring).
    const int8_t* springTrack() const { return springTrack_.data(); }
    /// Per track, its point 0 (three floats a point).
    float* const* bases() { return bases_.data(); }
    /// Per spring, where its force goes in trackData(), or -1 (16 more -1s
    /// past the last spring).
    const int32_t* places() const { return places_.data(); }
    float* trackData() { return data_.data(); }
    /// The track of spring distance d, or -1.
    int32_t trackOf(int32_t d) const;
    /// Copies the forces of the springs in [begin, end) that have a track
    /// from their slots into it (the springs computed into their slots).
    void copyFromSlots(const drSvec4* slots, int32_t begin, int32_t end);
    /// forces[i] += the forces of point i's springs in list order, for
    /// points [begin, end): from the tracks and from the slots.
    void gather(const int32_t* start, const int32_t* entries, const drSgatherGroups& groups, const drSvec4* slots,
                drSvec3* forces, int32_t begin, int32_t end) const;

private:
    /// One term of a program: every point of the group reads track `track`
    /// at the point rel from it, negated for the b end.
    struct Op {
        int32_t track;
        int32_t rel;
        int32_t negative;
    };
    /// What a group of 16 points does, besides a program.
    enum : int32_t {
        kSlotsOnly = -1,  ///< none of its springs has a track: the slots' gather
        kListed = -2,     ///< no program: its points add from their lists of terms
    };
    /// A term of a listed point: the place of a track's force in data_, or
    /// -1 - s for the slot of spring s; negated for the b end.
    struct Term {
        int32_t where;
        int32_t negative;
    };
    /// F += the terms termOf(k) for k in [from, to), in order.
    template <class TermOf>
    void addTerms(drSvec3& F, int32_t from, int32_t to, const drSvec4* slots, const TermOf& termOf) const;
    /// Point i from its entries (a point of a group not gathered whole).
    void onePoint(int32_t i, const int32_t* start, const int32_t* entries, const drSvec4* slots,
                  drSvec3* forces) const;
    /// The listed points [from, to), from their terms.
    void listedPoints(int32_t from, int32_t to, const drSvec4* slots, drSvec3* forces) const;
    /// Consecutive groups that do the same.
    struct Run {
        int32_t first, count;
        int32_t program;  ///< first op, or kSlotsOnly / kListed
        int32_t terms;    ///< ops of the program
    };

    int32_t trackCount_ = 0;
    int32_t distances_[kMaxTracks] = {};
    int32_t pointCount_ = 0;
    std::vector<int8_t> springTrack_;
    std::vector<int32_t> places_;
    std::vector<float> data_;       ///< the tracks, each padded before and after
    std::vector<float*> bases_;
    std::vector<int32_t> program_;  ///< per group: first op, or kSlotsOnly / kListed
    std::vector<uint8_t> opCount_;  ///< per group with a program: its ops
    std::vector<uint16_t> lanes_;   ///< per group with a program: its points' floats (48 bits in three)
    std::vector<Op> ops_;           ///< the programs, shared by the groups that run the same
    std::vector<Run> runs_;
    std::vector<int32_t> groupRun_;  ///< per group: its run
    /// The points that no program adds, group by group: from listStart_[g],
    /// each with its terms from listTerms_[k] to listTerms_[k + 1].
    std::vector<int32_t> listStart_;
    std::vector<int32_t> listPoints_;
    std::vector<int32_t> listTerms_;
    std::vector<Term> terms_;
};
