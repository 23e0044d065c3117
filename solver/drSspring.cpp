#include "drSspring.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "drScloth.h"
#include "drSlanes.h"
#include "drSsolver.h"

namespace {

constexpr int32_t kBlock = 64;  ///< springs computed together, a multiple of drSlaneBlock
static_assert(kBlock % drSlaneBlock == 0);

}  // namespace

int32_t drSspring::usableCount() const {
    // Never read past an array that is shorter than the count.
    const size_t n = std::min({static_cast<size_t>(std::max(springCount, 0)), springPairs.size(), restLengths.size(),
                               springFactors.size()});
    return static_cast<int32_t>(n);
}

void drSspring::beginPoints(drScloth& cloth, drSsolver& solver) {
    (void)solver;
    const int32_t n = itemCount(cloth);
    // One slot more: the padding of the four-point rows
    if (springForces.size() < static_cast<size_t>(n) + 1) springForces.resize(static_cast<size_t>(n) + 1);
    springForces[static_cast<size_t>(n)] = drSpadSlot;
    incidence_.check(cloth.pointCount, n);
    // The pairs change only between the solver's advances (the host rewires
    // a set between frames; no force does during one): once a sub-step of
    // this advance found them to match the lists, the others need not
    // compare them again, which would read every pair at every sub-step.
    advance_ = solver.advance;
    trusted_ = advance_ != 0 && advance_ == checkedAdvance_ && !incidence_.changed();
    // So do the rest lengths and factors: the blocks of 16 that share them
    // are found (see computeItems) at the sub-steps that check
    if (!trusted_) {
        shared_.assign(static_cast<size_t>(n / 16) + 1, 0);
        sharedValues_.resize(2 * shared_.size());
    }
}

int32_t drSspring::itemCount(const drScloth& cloth) const { return cloth.pointCount > 0 ? usableCount() : 0; }

void drSspring::computeItems(const drScloth& cloth, int32_t begin, int32_t end) {
    // While the lists stand, runs of 16 springs whose ends all lie below the
    // last point go straight from the points to the forces in the widest
    // lanes, and each run checks on the way that its pairs are still those
    // the lists were built from (against the end offsets, without a second
    // copy of the pairs to read); the other springs are compared with the
    // lists' copy and go through the checked blocks. At the first pair that
    // has changed, the lists are marked for rebuilding and the rest of the
    // range goes through the checked blocks.
    int32_t first = begin;
    if (!incidence_.changed() && drSlaneWidth() == 16 && unsafeBefore_.size() > static_cast<size_t>(end) &&
        endOffsets_.size() >= 2 * static_cast<size_t>(end)) {
        drSspringPointsArgs args{reinterpret_cast<const float*>(cloth.positions.data()),
                                 reinterpret_cast<const float*>(cloth.velocities.data()), nullptr, nullptr, nullptr,
                                 nullptr, stiffness, damping, nullptr, 0, 0,
                                 interleaved_.empty() ? nullptr : interleaved_[0].data()};
        args.check = !trusted_;
        if (trusted_) {
            args.shared = shared_.data();
            args.sharedValues = sharedValues_.data();
        } else {
            noteSharedBlocks(begin, end, itemCount(cloth));
        }
        if (!tracks_.empty()) {
            args.trackBases = tracks_.bases();
            args.trackData = tracks_.trackData();
            args.halves = halves_.empty() ? nullptr : halves_[0].data();
        }
        static_assert(sizeof(interleaved_[0]) == 6 * sizeof(int32_t));
        // Springs [from, to) straight; false when a pair has changed (first
        // then names the run of 16 that holds it)
        auto straight = [&](int32_t from, int32_t to) {
            if (to <= from) return true;
            args.pairs = springPairs[static_cast<size_t>(from)].data();
            args.offsets = endOffsets_.data() + 2 * static_cast<size_t>(from);
            args.rest = restLengths.data() + from;
            args.factor = springFactors.data() + from;
            args.out = &springForces[static_cast<size_t>(from)].x;
            args.count = to - from;
            args.first = from;
            if (args.trackBases != nullptr) args.trackPlaces = tracks_.places() + from;
            const int32_t done = drSspringsFromPoints(args);
            if (done == args.count) return true;
            first = from + done;
            return false;
        };
        int32_t from = first;  // start of the current run of safe blocks
        bool same = true;
        // From one block of 16 with an unsafe spring to the next (a grid
        // has a few, near its last point), not block by block
        const int32_t whole = first + (end - first) / 16 * 16;
        auto next = std::lower_bound(unsafeSprings_.begin(), unsafeSprings_.end(), first);
        for (;; first += 16) {
            if (next == unsafeSprings_.end() || *next >= whole) {
                first = whole;
                break;
            }
            first += (*next - first) / 16 * 16;
            next = std::lower_bound(next, unsafeSprings_.end(), first + 16);
            if (!straight(from, first)) {
                same = false;
                break;
            }
            if (!trusted_ && !incidence_.compare(springPairs.data(), first, first + 16)) {
                same = false;
                break;
            }
            computeChecked(cloth, first, first + 16);
            from = first + 16;
        }
        if (same && straight(from, first)) {
            if (!trusted_) incidence_.compare(springPairs.data(), first, end);
        } else {
            incidence_.markChanged();
        }
    } else if (!trusted_) {
        incidence_.compare(springPairs.data(), begin, end);
    }
    computeChecked(cloth, first, end);
}

void drSspring::noteSharedBlocks(int32_t begin, int32_t end, int32_t count) {
    // The blocks from [begin, end) rounded up to 16: each is noted by one
    // range, which may read past its end
    for (int32_t w = (begin + 15) / 16; 16 * w < end && 16 * w + 16 <= count; ++w) {
        const float* rest = restLengths.data() + 16 * w;
        const float* factor = springFactors.data() + 16 * w;
        bool same = true;
        for (int32_t k = 1; k < 16; ++k)
            same = same && std::bit_cast<uint32_t>(rest[k]) == std::bit_cast<uint32_t>(rest[0]) &&
                   std::bit_cast<uint32_t>(factor[k]) == std::bit_cast<uint32_t>(factor[0]);
        shared_[static_cast<size_t>(w)] = same ? 1 : 0;
        sharedValues_[2 * static_cast<size_t>(w)] = rest[0];
        sharedValues_[2 * static_cast<size_t>(w) + 1] = factor[0];
    }
}

void drSspring::computeChecked(const drScloth& cloth, int32_t begin, int32_t end) {
    // The springs run in blocks: gather the differences of each block into
    // component arrays, compute the forces in vector lanes, then store each
    // spring's force for the points to gather (the second end its negative).
    alignas(64) float dx[kBlock], dy[kBlock], dz[kBlock];  // x[b] - x[a], then the force
    alignas(64) float ux[kBlock], uy[kBlock], uz[kBlock];  // v[b] - v[a]
    alignas(64) float rest[kBlock], factor[kBlock];
    const drSvec3* x = cloth.positions.data();
    const drSvec3* v = cloth.velocities.data();
    const std::array<int32_t, 2>* pairs = springPairs.data();
    const uint32_t n = static_cast<uint32_t>(cloth.pointCount);
    drSvec4* out = springForces.data();
    for (int32_t first = begin; first < end; first += kBlock) {
        const int32_t count = std::min(kBlock, end - first);
        const int32_t padded = (count + drSlaneBlock - 1) / drSlaneBlock * drSlaneBlock;
        bool outside = false;  // a spring with an end outside the cloth gets no force

        int32_t j = 0;
#if defined(__SSE2__)
        // Four springs at a time with one vector load per point: the load
        // reads 16 bytes, one float past the point, so both ends must lie
        // before the last point.
        for (; j + 4 <= count; j += 4) {
            const std::array<int32_t, 2>* p = pairs + first + j;
            const uint32_t last = n - 1;
            if (!(static_cast<uint32_t>(p[0][0]) < last && static_cast<uint32_t>(p[0][1]) < last &&
                  static_cast<uint32_t>(p[1][0]) < last && static_cast<uint32_t>(p[1][1]) < last &&
                  static_cast<uint32_t>(p[2][0]) < last && static_cast<uint32_t>(p[2][1]) < last &&
                  static_cast<uint32_t>(p[3][0]) < last && static_cast<uint32_t>(p[3][1]) < last))
                break;
            auto diff = [](const drSvec3* q, int32_t a, int32_t b) {
                return _mm_sub_ps(_mm_loadu_ps(&q[b].x), _mm_loadu_ps(&q[a].x));
            };
            __m128 d0 = diff(x, p[0][0], p[0][1]), d1 = diff(x, p[1][0], p[1][1]);
            __m128 d2 = diff(x, p[2][0], p[2][1]), d3 = diff(x, p[3][0], p[3][1]);
            _MM_TRANSPOSE4_PS(d0, d1, d2, d3);
            _mm_store_ps(dx + j, d0);
            _mm_store_ps(dy + j, d1);
            _mm_store_ps(dz + j, d2);
            __m128 u0 = diff(v, p[0][0], p[0][1]), u1 = diff(v, p[1][0], p[1][1]);
            __m128 u2 = diff(v, p[2][0], p[2][1]), u3 = diff(v, p[3][0], p[3][1]);
            _MM_TRANSPOSE4_PS(u0, u1, u2, u3);
            _mm_store_ps(ux + j, u0);
            _mm_store_ps(uy + j, u1);
            _mm_store_ps(uz + j, u2);
        }
#endif
        for (; j < count; ++j) {
            const int32_t a = pairs[first + j][0];
            const int32_t b = pairs[first + j][1];
            if (static_cast<uint32_t>(a) >= n || static_cast<uint32_t>(b) >= n) {
                outside = true;
                dx[j] = dy[j] = dz[j] = ux[j] = uy[j] = uz[j] = 0.0f;
                continue;
            }
            dx[j] = x[b].x - x[a].x;
            dy[j] = x[b].y - x[a].y;
            dz[j] = x[b].z - x[a].z;
            ux[j] = v[b].x - v[a].x;
            uy[j] = v[b].y - v[a].y;
            uz[j] = v[b].z - v[a].z;
        }
        // Rest lengths and factors are read in place, except in a last short
        // block, whose idle lanes (never stored) get harmless values.
        const float* restOf = restLengths.data() + first;
        const float* factorOf = springFactors.data() + first;
        if (count < padded) {
            for (j = 0; j < count; ++j) {
                rest[j] = restOf[j];
                factor[j] = factorOf[j];
            }
            for (j = count; j < padded; ++j) {
                dx[j] = dy[j] = dz[j] = ux[j] = uy[j] = uz[j] = 0.0f;
                rest[j] = 1.0f;
                factor[j] = 0.0f;
            }
            restOf = rest;
            factorOf = factor;
        }

        // Forces: f = k d + c (v[b] - v[a]), with
        // len = max(L * 0.001, |d|), k = stiffness / len * (len - L) * w, c = damping * w.
        // The floor on len keeps a collapsed spring finite (its d is zero, so
        // only the damping term acts); a spring of rest length 0 whose ends
        // meet has len 0, and its elastic term is taken as the zero it tends to.
        drSspringLanes({dx, dy, dz, ux, uy, uz, restOf, factorOf, stiffness, damping, padded});
        if (outside)
            for (j = 0; j < count; ++j) {
                const int32_t a = pairs[first + j][0];
                const int32_t b = pairs[first + j][1];
                if (static_cast<uint32_t>(a) >= n || static_cast<uint32_t>(b) >= n) dx[j] = dy[j] = dz[j] = 0.0f;
            }

        // Store f; point a adds it, point b subtracts it
        drSvec4* o = out + first;
        j = 0;
#if defined(__SSE2__)
        for (; j + 4 <= count; j += 4) {
            __m128 f0 = _mm_load_ps(dx + j), f1 = _mm_load_ps(dy + j), f2 = _mm_load_ps(dz + j), f3 = _mm_setzero_ps();
            _MM_TRANSPOSE4_PS(f0, f1, f2, f3);
            _mm_store_ps(&o[j].x, f0);
            _mm_store_ps(&o[j + 1].x, f1);
            _mm_store_ps(&o[j + 2].x, f2);
            _mm_store_ps(&o[j + 3].x, f3);
        }
#endif
        for (; j < count; ++j) o[j] = {dx[j], dy[j], dz[j], 0.0f};
    }
    tracks_.copyFromSlots(out, begin, end);
}

void drSspring::itemsComputed(const drScloth& cloth) {
    const int32_t count = itemCount(cloth);
    // Found the same: the other sub-steps of the advance need not check.
    // Laid out again below: the next one checks again, and finds the blocks
    // that share their rest length and factor, with the new lists.
    const bool same = !incidence_.update(cloth.pointCount, springPairs.data(), count);
    checkedAdvance_ = same ? advance_ : 0;
    if (same) return;
    groups_.build(cloth.pointCount, incidence_.start(), incidence_.entries(), 2, true, count);
    const std::array<int32_t, 2>* pairs = incidence_.items();
    // An end is safe below the last point (16 bytes are read from it) and
    // where its byte offset fits in 32 bits
    static_assert(sizeof(drSvec3) == 12 && drSpointOffsetLimit <= INT32_MAX / sizeof(drSvec3));
    const uint32_t last =
        cloth.pointCount > 0 ? std::min(static_cast<uint32_t>(cloth.pointCount - 1), drSpointOffsetLimit) : 0;
    unsafeBefore_.resize(static_cast<size_t>(count) + 1);
    endOffsets_.resize(2 * static_cast<size_t>(count));
    unsafeBefore_[0] = 0;
    unsafeSprings_.clear();
    for (int32_t s = 0; s < count; ++s) {
        const bool safe = static_cast<uint32_t>(pairs[s][0]) < last && static_cast<uint32_t>(pairs[s][1]) < last;
        unsafeBefore_[static_cast<size_t>(s) + 1] = unsafeBefore_[static_cast<size_t>(s)] + (safe ? 0 : 1);
        if (!safe) unsafeSprings_.push_back(s);
        for (int c = 0; c < 2; ++c)
            endOffsets_[2 * static_cast<size_t>(s) + c] = safe ? pairs[s][c] * static_cast<int32_t>(sizeof(drSvec3)) : 0;
    }
    // The 32 safe springs from each multiple of 16 that pair consecutive
    // points in two runs (a grid's rows of polygons are seldom a multiple
    // of 32 springs long, so the runs are looked for at every 16)
    const bool hadTracks = !tracks_.empty();
    tracks_.build(cloth.pointCount, pairs, count, incidence_.start(), incidence_.entries());
    const int8_t* track = tracks_.springTrack();
    // The runs from each multiple of 16: the 32 safe springs that pair
    // consecutive points in two runs (a grid's rows of polygons are seldom a
    // multiple of 32 springs long, so they are looked for at every 16), with
    // the tracks of the runs where all 32 have one; and, with tracks, the 16
    // that are two runs of 8 (between a grid's blocks of 32)
    auto runsAt = [&](size_t w, int32_t length, bool tracked) {
        const std::array<int32_t, 2>* block = pairs + 16 * w;
        const int8_t* t = track + 16 * w;
        std::array<int32_t, 6> runs{-1, -1, -1, -1, -1, -1};
        if (unsafeBefore_[16 * w + length] != unsafeBefore_[16 * w] || !drSinterleavedRuns(block, length)) return runs;
        runs = {block[0][0], block[0][1], block[1][0], block[1][1], -1, -1};
        if (!tracks_.empty() && std::all_of(t, t + length, [](int8_t k) { return k >= 0; })) {
            runs[4] = t[0];
            runs[5] = t[1];
        } else if (tracked) {
            runs[0] = -1;
        }
        return runs;
    };
    interleaved_.resize(static_cast<size_t>(std::max(count / 16 - 1, 0)));
    for (size_t w = 0; w < interleaved_.size(); ++w) interleaved_[w] = runsAt(w, 32, false);
    halves_.resize(tracks_.empty() ? 0 : static_cast<size_t>(count / 16));
    for (size_t w = 0; w < halves_.size(); ++w) halves_[w] = runsAt(w, 16, true);
    // Some springs of this step may have gone to tracks laid out before,
    // not to their slots: all of them again, into their slots and from
    // there to the new tracks, if any
    if (hadTracks || !tracks_.empty()) computeChecked(cloth, 0, count);
}

void drSspring::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    if (!tracks_.empty()) {
        tracks_.gather(incidence_.start(), incidence_.entries(), groups_, springForces.data(), cloth.forces.data(),
                       begin, end);
        return;
    }
    drSgatherSpringForces(incidence_.start(), incidence_.entries(), groups_, springForces.data(), cloth.forces.data(),
                          begin, end);
}

void drSspring::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

int32_t drSspring::findSpring(int32_t a, int32_t b) const {
    const int32_t n = std::min(springCount, static_cast<int32_t>(springPairs.size()));
    for (int32_t s = 0; s < n; ++s) {
        const auto& p = springPairs[s];
        if ((p[0] == a && p[1] == b) || (p[0] == b && p[1] == a)) return s;
    }
    return -1;
}

void drSspring::resize(int32_t count) {
    springCount = std::max(count, 0);
    springPairs.resize(static_cast<size_t>(springCount));
    restLengths.resize(static_cast<size_t>(springCount));
    springFactors.resize(static_cast<size_t>(springCount));
}

void drSspring::add(int32_t a, int32_t b, float restLength, float factor) {
    springPairs.push_back({a, b});
    restLengths.push_back(restLength);
    springFactors.push_back(factor);
    springCount = static_cast<int32_t>(springPairs.size());
}
