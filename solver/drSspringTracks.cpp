#include "drSspringTracks.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "drSlanes.h"

#include "drSx86.h"
#if !DR_X86 && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

/// A distance gets a track when at least this many springs, and this part
/// of the set, join points that far apart.
constexpr int32_t kLeastSprings = 64;
constexpr int32_t kLeastPart = 16;  ///< 1 / 16 of the set

/// A group runs its program when at least this many of its 16 points follow it.
constexpr int32_t kLeastLanes = 4;
/// Programs have at most this many terms (a point of a grid has up to 4 springs of a set).
constexpr int32_t kMostTerms = 8;

constexpr int32_t kGroup = 16;

#if DR_X86
DR_LANES16_BEGIN
/// Groups [first, first + count), all running the same program of K terms
/// (or `ops` terms when K is 0): each group's points whose floats' bits are
/// in `lanes` (three per group) add the terms in order from the tracks; the
/// others are written back as they were. With K fixed, the terms unroll and
/// the groups follow each other without a mispredicted loop exit.
template <int K, class Op>
__attribute__((target("avx512f"))) void runGroups16(const float* const* bases, const Op* program, int32_t terms,
                                                   const uint16_t* lanes, int32_t first, int32_t count,
                                                   float* forces) {
    const int32_t n = K > 0 ? K : terms;
    const float* from[kMostTerms];
    __m512i sign[kMostTerms];
    for (int32_t k = 0; k < n; ++k) {
        from[k] = bases[program[k].track] + 3 * static_cast<std::ptrdiff_t>(program[k].rel);
        sign[k] = _mm512_set1_epi32(program[k].negative ? static_cast<int32_t>(0x80000000u) : 0);
    }
    for (int32_t g = first; g < first + count; ++g) {
        const std::ptrdiff_t at = 48 * static_cast<std::ptrdiff_t>(g);
        float* F = forces + at;
        const uint16_t* m = lanes + 3 * static_cast<size_t>(g);
        __m512 f[3];
        for (int32_t q = 0; q < 3; ++q) f[q] = _mm512_loadu_ps(F + 16 * q);
        for (int32_t k = 0; k < n; ++k)
            for (int32_t q = 0; q < 3; ++q) {
                const __m512 term = _mm512_castsi512_ps(
                    _mm512_xor_si512(_mm512_castps_si512(_mm512_loadu_ps(from[k] + at + 16 * q)), sign[k]));
                f[q] = _mm512_mask_add_ps(f[q], m[q], f[q], term);
            }
        for (int32_t q = 0; q < 3; ++q) _mm512_storeu_ps(F + 16 * q, f[q]);
    }
}

/// runGroups16 with the term count fixed where it is common.
template <class Op>
__attribute__((target("avx512f"))) void runGroups16Of(const float* const* bases, const Op* program, int32_t terms,
                                                     const uint16_t* lanes, int32_t first, int32_t count,
                                                     float* forces) {
    switch (terms) {
        case 1: runGroups16<1>(bases, program, terms, lanes, first, count, forces); return;
        case 2: runGroups16<2>(bases, program, terms, lanes, first, count, forces); return;
        case 3: runGroups16<3>(bases, program, terms, lanes, first, count, forces); return;
        case 4: runGroups16<4>(bases, program, terms, lanes, first, count, forces); return;
        case 5: runGroups16<5>(bases, program, terms, lanes, first, count, forces); return;
        case 6: runGroups16<6>(bases, program, terms, lanes, first, count, forces); return;
        case 7: runGroups16<7>(bases, program, terms, lanes, first, count, forces); return;
        default: runGroups16<0>(bases, program, terms, lanes, first, count, forces); return;
    }
}
DR_LANES16_END
#endif

}  // namespace

int32_t drSspringTracks::trackOf(int32_t d) const {
    for (int32_t t = 0; t < trackCount_; ++t)
        if (distances_[t] == d) return t;
    return -1;
}

void drSspringTracks::build(int32_t pointCount, const std::array<int32_t, 2>* pairs, int32_t springCount,
                            const int32_t* start, const int32_t* entries) {
    trackCount_ = 0;
    pointCount_ = std::max(pointCount, 0);
    springTrack_.assign(static_cast<size_t>(std::max(springCount, 0)) + kGroup, -1);
    places_.clear();
    data_.clear();
    bases_.clear();
    program_.clear();
    opCount_.clear();
    lanes_.clear();
    ops_.clear();
    listStart_.clear();
    runs_.clear();
    groupRun_.clear();
    listPoints_.clear();
    listTerms_.clear();
    terms_.clear();
    const uint32_t n = static_cast<uint32_t>(pointCount_);
    if (drSlaneWidth() != 16 || pointCount_ < kGroup || springCount <= 0) return;

    // The most common distances, the largest counts first (the smaller distance on a tie)
    std::unordered_map<int32_t, int32_t> counts;
    for (int32_t s = 0; s < springCount; ++s)
        if (static_cast<uint32_t>(pairs[s][0]) < n && static_cast<uint32_t>(pairs[s][1]) < n)
            ++counts[pairs[s][1] - pairs[s][0]];
    std::vector<std::pair<int32_t, int32_t>> common;  // (count, distance)
    const int32_t least = std::max(kLeastSprings, springCount / kLeastPart);
    for (const auto& [d, c] : counts)
        if (c >= least && d != 0) common.emplace_back(c, d);
    std::sort(common.begin(), common.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    trackCount_ = std::min(static_cast<int32_t>(common.size()), kMaxTracks);
    if (trackCount_ == 0) return;
    int32_t farthest = 0;
    for (int32_t t = 0; t < trackCount_; ++t) {
        distances_[t] = common[static_cast<size_t>(t)].second;
        farthest = std::max(farthest, std::abs(distances_[t]));
    }

    // The tracks, padded so that every point a program loads lies inside
    // (places are 32-bit offsets)
    const size_t pad = static_cast<size_t>(farthest) + kGroup;
    const size_t stride = 3 * (n + 2 * pad);
    if (stride * static_cast<size_t>(trackCount_) > static_cast<size_t>(INT32_MAX)) {
        trackCount_ = 0;
        return;
    }
    data_.assign(stride * static_cast<size_t>(trackCount_), 0.0f);
    for (int32_t t = 0; t < trackCount_; ++t) bases_.push_back(data_.data() + stride * t + 3 * pad);

    // The first spring of each distance and first end takes the track's place
    places_.assign(springTrack_.size(), -1);
    std::vector<uint8_t> taken(n * static_cast<size_t>(trackCount_), 0);
    for (int32_t s = 0; s < springCount; ++s) {
        const int32_t a = pairs[s][0], b = pairs[s][1];
        if (static_cast<uint32_t>(a) >= n || static_cast<uint32_t>(b) >= n) continue;
        const int32_t t = trackOf(b - a);
        if (t < 0) continue;
        uint8_t& place = taken[static_cast<size_t>(t) * n + static_cast<size_t>(a)];
        if (place) continue;
        place = 1;
        springTrack_[static_cast<size_t>(s)] = static_cast<int8_t>(t);
        places_[static_cast<size_t>(s)] = static_cast<int32_t>(bases_[static_cast<size_t>(t)] + 3 * static_cast<size_t>(a) - data_.data());
    }

    // Per group of 16 points (the last may be shorter): the terms most of
    // its points add, as a program; the other points' terms in a list
    const int32_t groups = (pointCount_ + kGroup - 1) / kGroup;
    program_.assign(static_cast<size_t>(groups), kSlotsOnly);
    opCount_.assign(static_cast<size_t>(groups), 0);
    lanes_.assign(3 * static_cast<size_t>(groups), 0);
    listStart_.assign(static_cast<size_t>(groups) + 1, 0);
    std::map<std::vector<int32_t>, int32_t> programs;  // terms -> first op
    std::vector<int32_t> terms[kGroup];
    for (int32_t g = 0; g < groups; ++g) {
        listStart_[static_cast<size_t>(g)] = static_cast<int32_t>(listPoints_.size());
        const int32_t size = std::min(kGroup, pointCount_ - kGroup * g);
        bool tracked = false;
        uint16_t plain = 0;  // points whose terms all come from tracks
        uint16_t busy = 0;   // points with terms
        for (int32_t l = 0; l < size; ++l) {
            const int32_t p = kGroup * g + l;
            std::vector<int32_t>& seq = terms[l];
            seq.clear();
            bool all = true;
            for (int32_t e = start[p]; e < start[p + 1]; ++e) {
                const int32_t s = entries[e] >> 1, corner = entries[e] & 1;
                const int32_t t = springTrack_[static_cast<size_t>(s)];
                if (t < 0) {
                    all = false;
                    continue;
                }
                tracked = true;
                seq.insert(seq.end(), {t, pairs[s][0] - p, corner});
            }
            if (start[p + 1] > start[p]) busy = static_cast<uint16_t>(busy | (1u << l));
            if (all && !seq.empty()) plain = static_cast<uint16_t>(plain | (1u << l));
        }
        if (!tracked) continue;
        program_[static_cast<size_t>(g)] = kListed;
        // The terms of the most points (the lowest first on a tie)
        uint16_t best = 0;
        int32_t bestCount = 0;
        for (int32_t l = 0; l < size && size == kGroup; ++l) {
            if (!(plain >> l & 1u)) continue;
            uint16_t same = 0;
            for (int32_t m = l; m < kGroup; ++m)
                if ((plain >> m & 1u) && terms[m] == terms[l]) same = static_cast<uint16_t>(same | (1u << m));
            const int32_t c = __builtin_popcount(same);
            if (c > bestCount) {
                best = same;
                bestCount = c;
            }
        }
        const std::vector<int32_t>& seq = terms[best != 0 ? __builtin_ctz(best) : 0];
        if (bestCount >= kLeastLanes && seq.size() / 3 <= static_cast<size_t>(kMostTerms)) {
            auto found = programs.find(seq);
            if (found == programs.end()) {
                found = programs.emplace(seq, static_cast<int32_t>(ops_.size())).first;
                for (size_t k = 0; k < seq.size(); k += 3) ops_.push_back({seq[k], seq[k + 1], seq[k + 2]});
            }
            program_[static_cast<size_t>(g)] = found->second;
            opCount_[static_cast<size_t>(g)] = static_cast<uint8_t>(seq.size() / 3);
            uint64_t floats = 0;  // three bits a point
            for (int32_t l = 0; l < kGroup; ++l)
                if (best >> l & 1u) floats |= uint64_t{7} << (3 * l);
            for (int32_t q = 0; q < 3; ++q)
                lanes_[3 * static_cast<size_t>(g) + q] = static_cast<uint16_t>(floats >> (16 * q));
        } else {
            best = 0;
        }
        // The others, term by term: the place of a track's force, or a slot
        for (int32_t l = 0; l < size; ++l) {
            if (!(busy >> l & 1u) || (best >> l & 1u)) continue;
            const int32_t p = kGroup * g + l;
            listPoints_.push_back(p);
            listTerms_.push_back(static_cast<int32_t>(terms_.size()));
            for (int32_t e = start[p]; e < start[p + 1]; ++e) {
                const int32_t s = entries[e] >> 1;
                const int32_t place = places_[static_cast<size_t>(s)];
                terms_.push_back({place >= 0 ? place : -1 - s, entries[e] & 1});
            }
        }
    }
    listStart_[static_cast<size_t>(groups)] = static_cast<int32_t>(listPoints_.size());
    listTerms_.push_back(static_cast<int32_t>(terms_.size()));

    // Runs of consecutive groups that do the same
    groupRun_.assign(static_cast<size_t>(groups), 0);
    for (int32_t g = 0; g < groups; ++g) {
        const int32_t program = program_[static_cast<size_t>(g)];
        if (runs_.empty() || runs_.back().program != program)
            runs_.push_back({g, 0, program, program >= 0 ? opCount_[static_cast<size_t>(g)] : 0});
        ++runs_.back().count;
        groupRun_[static_cast<size_t>(g)] = static_cast<int32_t>(runs_.size()) - 1;
    }
}

void drSspringTracks::copyFromSlots(const drSvec4* slots, int32_t begin, int32_t end) {
    if (trackCount_ == 0) return;
    // Only springs the tracks were laid out for
    end = std::min(end, static_cast<int32_t>(springTrack_.size()) - kGroup);
    for (int32_t s = begin; s < end; ++s) {
        const int32_t place = places_[static_cast<size_t>(s)];
        if (place < 0) continue;
        float* to = data_.data() + place;
        to[0] = slots[s].x;
        to[1] = slots[s].y;
        to[2] = slots[s].z;
    }
}

template <class TermOf>
void drSspringTracks::addTerms(drSvec3& F, int32_t from, int32_t to, const drSvec4* slots,
                               const TermOf& termOf) const {
    if (from == to) return;
    const float* data = data_.data();
#if defined(__SSE2__)
    // As the slots' gather: the b end adds the force with its sign bit flipped
    alignas(16) static const float signs[2][4] = {{0.0f, 0.0f, 0.0f, 0.0f}, {-0.0f, -0.0f, -0.0f, -0.0f}};
    __m128 sum = _mm_setr_ps(F.x, F.y, F.z, 0.0f);
    for (int32_t k = from; k < to; ++k) {
        const Term term = termOf(k);
        // A track's fourth float (the next point's x, or padding) is never stored
        const __m128 f = term.where >= 0 ? _mm_loadu_ps(data + term.where) : _mm_load_ps(&slots[-1 - term.where].x);
        sum = _mm_add_ps(sum, _mm_xor_ps(f, _mm_load_ps(signs[term.negative])));
    }
    alignas(16) float r[4];
    _mm_store_ps(r, sum);
    F = {r[0], r[1], r[2]};
#else
    drSvec3 sum = F;
    for (int32_t k = from; k < to; ++k) {
        const Term term = termOf(k);
        const float* f = term.where >= 0 ? data + term.where : &slots[-1 - term.where].x;
        const drSvec3 g{f[0], f[1], f[2]};
        if (term.negative)
            sum -= g;
        else
            sum += g;
    }
    F = sum;
#endif
}

void drSspringTracks::onePoint(int32_t i, const int32_t* start, const int32_t* entries, const drSvec4* slots,
                               drSvec3* forces) const {
    addTerms(forces[i], start[i], start[i + 1], slots, [this, entries](int32_t e) {
        const int32_t s = entries[e] >> 1, place = places_[static_cast<size_t>(s)];
        return Term{place >= 0 ? place : -1 - s, entries[e] & 1};
    });
}

void drSspringTracks::listedPoints(int32_t from, int32_t to, const drSvec4* slots, drSvec3* forces) const {
    for (int32_t k = from; k < to; ++k)
        addTerms(forces[listPoints_[static_cast<size_t>(k)]], listTerms_[static_cast<size_t>(k)],
                 listTerms_[static_cast<size_t>(k) + 1], slots,
                 [this](int32_t t) { return terms_[static_cast<size_t>(t)]; });
}

void drSspringTracks::gather(const int32_t* start, const int32_t* entries, const drSgatherGroups& groups, const drSvec4* slots, drSvec3* forces, int32_t begin,
                             int32_t end) const {
    end = std::min(end, pointCount_);
    if (begin >= end) return;
    if (drSlaneWidth() != 16) {
        for (int32_t i = begin; i < end; ++i) onePoint(i, start, entries, slots, forces);
        return;
    }
    // Points of a group cut by the range one by one, whole groups below
    int32_t first = begin / kGroup, last = (end - 1) / kGroup;
    if (begin % kGroup != 0) {
        for (int32_t i = begin; i < std::min(end, kGroup * first + kGroup); ++i)
            onePoint(i, start, entries, slots, forces);
        ++first;
    }
    if (last >= first && end < std::min(pointCount_, kGroup * last + kGroup)) {
        for (int32_t i = kGroup * last; i < end; ++i) onePoint(i, start, entries, slots, forces);
        --last;
    }
    if (last < first) return;
    for (int32_t r = groupRun_[static_cast<size_t>(first)]; r < static_cast<int32_t>(runs_.size()); ++r) {
        const Run& run = runs_[static_cast<size_t>(r)];
        if (run.first > last) break;
        const int32_t lo = std::max(first, run.first), hi = std::min(last + 1, run.first + run.count);
        if (run.program == kSlotsOnly) {
            drSgatherSpringForces(start, entries, groups, slots, forces, kGroup * lo, std::min(pointCount_, kGroup * hi));
        } else if (run.program >= 0) {
#if DR_X86
            runGroups16Of(bases_.data(), ops_.data() + run.program, run.terms, lanes_.data(), lo, hi - lo,
                          &forces[0].x);
#endif
        }
    }
    // The points no program adds, once the groups' wide stores are done (a
    // point read right after its group's store would wait for it)
    listedPoints(listStart_[static_cast<size_t>(first)], listStart_[static_cast<size_t>(last) + 1], slots, forces);
}
