#include "drScollideSelf.h"

#include <algorithm>

#include "drScloth.h"
#include "drStriangleNode.h"
#include "pool.h"

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
    tree->refit();

    // Point pass: one job per worker, or one job on the calling thread
    const int32_t n = std::max(0, std::min(pointCount, cloth.pointCount));
    const int32_t T = poolWorkerCount();
    const int32_t jobs = T >= 2 ? T : 1;
    if (static_cast<int32_t>(jobCorrections.size()) < jobs) jobCorrections.resize(static_cast<size_t>(jobs));
    for (int32_t k = 0; k < jobs; ++k) {
        jobCorrections[static_cast<size_t>(k)].cornerForces.clear();
        jobCorrections[static_cast<size_t>(k)].velocityChanges.clear();
    }
    if (T >= 2)
        poolParallelFor(n, [this, &cloth](int32_t k, int32_t begin, int32_t end) {
            pointPass(cloth, begin, end, jobCorrections[static_cast<size_t>(k)]);
        });
    else
        pointPass(cloth, 0, n, jobCorrections[0]);

    // Apply the collected corrections in job order, that is in point order
    for (int32_t k = 0; k < jobs; ++k) {
        const JobCorrections& job = jobCorrections[static_cast<size_t>(k)];
        for (const Correction& c : job.velocityChanges) cloth.velocities[static_cast<size_t>(c.point)] -= c.delta;
        for (const Correction& c : job.cornerForces) cloth.forces[static_cast<size_t>(c.point)] += c.delta;
    }
}

void drScollideSelf::pointPass(drScloth& cloth, int32_t begin, int32_t end, JobCorrections& out) const {
    const drSvec3* velocities = cloth.velocities.data();
    for (int32_t i = begin; i < end; ++i) {
        // Points of sew constraints do not self-collide
        if (pointFlags != nullptr && pointFlags[i] != 0) continue;
        drSindexHit hit;
        if (!tree->pointIndexQuery(i, hit)) continue;

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
}
