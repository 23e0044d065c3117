#include "drScollideMesh.h"

#include <cfloat>

#include "drScloth.h"
#include "drSsolver.h"
#include "drStriangleNode.h"
#include "pool.h"

namespace {

/// The point loop runs on the pool from this many cloth points on.
constexpr int32_t kSplitPoints = 31;

}  // namespace

void drScollideMesh::reset(float time) {
    lastUpdate = time;
    if (tree == nullptr) return;
    tree->moveToward(1.0f);
    tree->refit();
}

void drScollideMesh::apply(drScloth& cloth, drSsolver& solver) {
    if (tree == nullptr) return;

    // Move the surface along its path to the targets: at `time` it has covered
    // the fraction a of the way that remained at lastUpdate. With no time left
    // (the target time reached or passed) the surface simply takes its targets,
    // and it never overshoots them.
    const float elapsed = solver.time - lastUpdate;
    if (tree->ownsPositions != 0 && elapsed >= 0.0f) {
        const float remaining = solver.targetTime - lastUpdate;
        float a = 1.0f;
        if (remaining > 0.0f && elapsed < remaining) a = elapsed / remaining;
        tree->moveToward(a);
        lastUpdate = solver.time;
        if (tree->needsRefit()) tree->refit();  // a surface at rest keeps its leaves
    } else if (tree->ownsPositions == 0) {
        tree->refit();  // borrowed positions may have changed since the last sub-step
    }

    // Surface velocity = remaining motion / remaining time. Without remaining
    // time (or when it is so short that its inverse overflows) the surface is
    // taken to be at rest instead of producing infinite or reversed velocities.
    const float remaining = solver.targetTime - lastUpdate;
    float invT = 0.0f;
    if (remaining > 0.0f) {
        invT = 1.0f / remaining;
        if (!(invT <= FLT_MAX)) invT = 0.0f;
    }

    // Contact pass over the cloth points
    const drStriangleNode* surface = tree;
    auto pass = [this, surface, &cloth, invT](int32_t, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            drSsurfaceHit hit;
            if (surface->pointQuery(cloth.positions[static_cast<size_t>(i)], hit))
                respond(cloth, i, hit.depth, invT, hit.normal, hit.motion);
        }
    };
    const int32_t n = cloth.pointCount;
    if (poolWorkerCount() >= 2 && n >= kSplitPoints)
        poolParallelFor(n, pass);
    else
        pass(0, 0, n);
}

void drScollideMesh::respond(drScloth& cloth, int32_t i, float depth, float invT, const drSvec3& n,
                             const drSvec3& motion) const {
    const size_t k = static_cast<size_t>(i);
    drSvec3& position = cloth.positions[k];
    drSvec3& velocity = cloth.velocities[k];
    drSvec3& force = cloth.forces[k];

    // Projection out of the surface
    if (depth < 0.0f) position -= n * depth;

    // Velocity relative to the surface: an approaching surface hands the point
    // its normal velocity and pulls the force toward its tangential velocity
    const drSvec3 r = motion * invT - velocity;
    const float rn = dot(n, r);
    drSvec3 t = r;
    if (rn > 0.0f) {
        t = r - n * rn;
        force += t * damping;
        velocity += n * rn;
    }

    // Stick force toward the surface
    force -= n * stick;

    // Normal force: only the part pressing into the surface is removed
    const float fn = dot(n, force);
    if (fn >= 0.0f) return;
    force -= n * fn;

    // Friction: static friction carries the point with the surface
    if (friction == 0.0f) return;
    const float limit = -friction * fn;
    const float s = length(force);
    if (limit > s) {
        force = {0.0f, 0.0f, 0.0f};
        velocity += t;
    } else if (s > 0.0f) {
        force *= (1.0f - limit / s);
    }
}
