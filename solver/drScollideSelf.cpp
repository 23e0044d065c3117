#include "drScollideSelf.h"

#include <algorithm>

#include "drScloth.h"
#include "drStriangleNode.h"
#include "pool.h"

namespace {

/// The point pass runs on the pool from this many points (or active points) on.
constexpr int32_t kSplitPoints = 64;

}  // namespace

// Why the corrections wait until the end of the pass, also with one worker:
// the corners of a contact belong to other points, possibly of other jobs, so
// their forces cannot be written from a job without locks or atomics, and a
// corner's velocity may be changed by its own job while another job reads it.
// Collecting per job and applying in job order removes both races. Doing the
// same on the calling thread means a point never sees, during the pass, a
// force just handed to it as a corner by an earlier point, nor the corrected
// velocity of a corner: every point works from the state before the pass, so
// the outcome does not depend on how the points are split into jobs.
void drScollideSelf::apply(drScloth& cloth, drSsolver& solver) {
    (void)solver;
    if (tree == nullptr || tree->positions == nullptr) return;
    // Corner indices run up to the tree's point count: they must exist in the cloth.
    if (tree->pointCount > cloth.pointCount) return;
    const bool built = tree->needsBuild();
    if (built) tree->refit();

    // Points tested: the tree answers no point beyond its own
    const int32_t n = std::max(0, std::min(pointCount, cloth.pointCount));
    const drSselfCandidates::Use use = candidates.update(*tree, std::min(n, tree->pointCount));
    const bool listed = use != drSselfCandidates::Use::Tree;
    if (use == drSselfCandidates::Use::Lists)
        candidates.refitLeaves();
    else if (use == drSselfCandidates::Use::Mixed)
        candidates.pickPoints(*tree);
    else if (!built)
        tree->refit();

    // Point pass: in chunks claimed by the pool's workers, or in one on the calling thread
    const int32_t items = listed ? candidates.itemCount() : n;
    const int32_t jobs = drSselfChunks(items, kSplitPoints);
    if (static_cast<int32_t>(jobCorrections.size()) < jobs) jobCorrections.resize(static_cast<size_t>(jobs));
    for (int32_t k = 0; k < jobs; ++k) {
        jobCorrections[static_cast<size_t>(k)].cornerForces.clear();
        jobCorrections[static_cast<size_t>(k)].velocityChanges.clear();
    }
    auto pass = [this, &cloth, listed](int32_t k, int32_t begin, int32_t end) {
        JobCorrections& out = jobCorrections[static_cast<size_t>(k)];
        if (listed)
            candidatePass(cloth, begin, end, out);
        else
            pointPass(cloth, begin, end, out);
    };
    drSselfForChunks(items, jobs, pass);

    // Apply the collected corrections in chunk order, that is in point order
    for (int32_t k = 0; k < jobs; ++k) {
        const JobCorrections& job = jobCorrections[static_cast<size_t>(k)];
        for (const Correction& c : job.velocityChanges) cloth.velocities[static_cast<size_t>(c.point)] -= c.delta;
        for (const Correction& c : job.cornerForces) cloth.forces[static_cast<size_t>(c.point)] += c.delta;
    }
}

void drScollideSelf::pointPass(drScloth& cloth, int32_t begin, int32_t end, JobCorrections& out) const {
    for (int32_t i = begin; i < end; ++i) {
        // Points of sew constraints do not self-collide
        if (pointFlags != nullptr && pointFlags[i] != 0) continue;
        drSindexHit hit;
        if (tree->pointIndexQuery(i, hit)) respond(cloth, i, hit, out);
    }
}

void drScollideSelf::candidatePass(drScloth& cloth, int32_t begin, int32_t end, JobCorrections& out) const {
    for (int32_t k = begin; k < end; ++k) {
        const int32_t i = candidates.itemPoint(k);
        if (pointFlags != nullptr && pointFlags[i] != 0) continue;
        drSindexHit hit;
        if (candidates.itemQuery(k, hit)) respond(cloth, i, hit, out);
    }
}

void drScollideSelf::respond(drScloth& cloth, int32_t i, const drSindexHit& hit, JobCorrections& out) const {
    const drSvec3* velocities = cloth.velocities.data();

    // Side the point belongs on: forced, or the one it is on (the plane counts as front)
    const float s = side != 0 ? static_cast<float>(side) : (hit.distance >= 0.0f ? 1.0f : -1.0f);
    const drSvec3& n = hit.normal;
    drSvec3& force = cloth.forces[static_cast<size_t>(i)];

    // Force hand-over: the part driving the point to the other side goes to the corners
    const float fn = dot(n, force);
    if (s * fn < 0.0f) {
        force -= n * fn;
        out.cornerForces.push_back({hit.a, n * (hit.wa * fn)});
        out.cornerForces.push_back({hit.b, n * (hit.wb * fn)});
        out.cornerForces.push_back({hit.c, n * (hit.wc * fn)});
    }

    // Velocity toward the triangle: drag the sliding, remove the approach
    const drSvec3 surface = velocities[hit.a] * hit.wa + velocities[hit.b] * hit.wb + velocities[hit.c] * hit.wc;
    const drSvec3 vRel = velocities[i] - surface;
    const float vn = dot(n, vRel);
    if (s * vn < 0.0f) {
        force -= (vRel - n * vn) * friction;
        out.velocityChanges.push_back({i, n * vn});
    }
}
