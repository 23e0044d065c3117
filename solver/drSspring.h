// A set of springs between point pairs: the cloth's stretch, shear and bend
// resistance (one set each, built from the mesh by buildSpringNetwork).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "drSforce.h"
#include "drSgather.h"
#include "drSincidence.h"
#include "drSspringTracks.h"
#include "drSvec.h"

class drSspring : public drSforce {
public:
    int32_t typeId() const override { return 4; }
    int32_t phase() const override { return 1; }
    /// Adds the force of every spring to its two points. The forces are
    /// computed spring by spring into springForces, then every point adds
    /// those of its springs in spring order: the order of one loop over the
    /// springs, whatever the split over the pool's workers.
    void apply(drScloth& cloth, drSsolver& solver) override;

    bool pointwise() const override { return true; }
    void beginPoints(drScloth& cloth, drSsolver& solver) override;
    int32_t itemCount(const drScloth& cloth) const override;
    void computeItems(const drScloth& cloth, int32_t begin, int32_t end) override;
    void itemsComputed(const drScloth& cloth) override;
    void applyPoints(drScloth& cloth, int32_t begin, int32_t end) override;

    /// Index of the first spring joining a and b (either way round), or -1.
    int32_t findSpring(int32_t a, int32_t b) const;
    /// Sets springCount and sizes the three arrays to it, keeping the leading entries.
    void resize(int32_t count);
    /// Appends the spring (a, b) with the given rest length and factor.
    void add(int32_t a, int32_t b, float restLength, float factor);

    int32_t springCount = 0;
    /// Point indices a, b of each spring; they must lie inside the cloth.
    std::vector<std::array<int32_t, 2>> springPairs;
    std::vector<float> restLengths;    ///< rest length of each spring, length units
    std::vector<float> springFactors;  ///< per-spring multiplier of stiffness and damping
    float stiffness = 0.001f;          ///< force per unit of elongation
    float damping = 0.0001f;           ///< force per unit of relative velocity

    /// Per spring the force on point a (b takes its negative), from the last
    /// computeItems; the springs with a track (drSspringTracks) may have
    /// theirs there only. A spring with an end outside the cloth gets no force.
    std::vector<drSvec4> springForces;

private:
    /// Springs in use: springCount, bounded by the arrays' sizes.
    int32_t usableCount() const;
    /// Computes springs [first, last) block by block, any pair allowed.
    void computeChecked(const drScloth& cloth, int32_t first, int32_t last);
    /// Notes in shared_ which blocks of 16 of the springs [begin, end) (of
    /// `count`) share their rest length and factor.
    void noteSharedBlocks(int32_t begin, int32_t end, int32_t count);
    /// The springs at each point, rebuilt when the pairs change.
    drSincidence<2> incidence_;
    /// With the lists: per spring s, how many springs before s have an end
    /// that cannot be read straight from the points as 16 bytes through a
    /// 32-bit byte offset (one not below the last point or drSpointOffsetLimit).
    std::vector<int32_t> unsafeBefore_;
    /// With the lists: those springs, ascending.
    std::vector<int32_t> unsafeSprings_;
    /// With the lists: the byte offsets of both ends of each spring (0 for
    /// the springs counted in unsafeBefore_).
    std::vector<int32_t> endOffsets_;
    /// With the lists: for the 32 springs from every multiple of 16, the
    /// ends of their two interleaved runs of consecutive points
    /// (drSinterleavedRuns), or -1s, and the tracks the runs write to, or -1s.
    std::vector<std::array<int32_t, 6>> interleaved_;
    /// The lists laid out for four points at a time.
    drSgatherGroups groups_;
    /// With the lists: the forces of the grid-like springs in point order.
    drSspringTracks tracks_;
    /// With tracks: per 16 springs from each multiple of 16, the ends and
    /// tracks of the two interleaved runs of 8 they are, or -1s.
    std::vector<std::array<int32_t, 6>> halves_;
    /// The solver's advance of this sub-step (see beginPoints), and the
    /// last advance whose sub-step found the lists to match the pairs.
    uint64_t advance_ = 0, checkedAdvance_ = 0;
    /// This sub-step reads the pairs without comparing them with the lists.
    bool trusted_ = false;
    /// Per 16 springs from each multiple of 16: 1 when they all have the
    /// same rest length and factor (bit for bit), and those two; found at
    /// the sub-steps that check the pairs, for the others of the advance.
    std::vector<uint8_t> shared_;
    std::vector<float> sharedValues_;
};
