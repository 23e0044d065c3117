// Mesh collider: keeps the cloth out of a possibly moving and deforming
// triangle mesh. The host fills a triangle octree with the mesh's target
// positions once per frame; every sub-step sweeps the tree's own copy of the
// positions along the straight path toward the targets, refits it, and
// corrects every cloth point that lies behind a triangle, relative to the
// moving surface: a moving mesh pushes the cloth and, with friction, drags it.
#pragma once

#include <cstdint>

#include "drSforce.h"
#include "drSvec.h"

class drStriangleNode;

class drScollideMesh : public drSforce {
public:
    /// The surface jumps to its targets: lastUpdate := time, then the tree's
    /// own positions take the targets and the tree is refitted (built the
    /// first time).
    void reset(float time) override;
    int32_t typeId() const override { return 7; }
    int32_t phase() const override { return 3; }
    /// Moves the surface to the current time, refits the tree and runs the
    /// contact response for every cloth point that the tree catches.
    void apply(drScloth& cloth, drSsolver& solver) override;
    /// Contact response of point `i` against a surface with unit normal `n`
    /// that still moves by `motion` within the remaining time 1 / invT.
    /// `depth` < 0 pushes the point out by -depth along n.
    void respond(drScloth& cloth, int32_t i, float depth, float invT, const drSvec3& n,
                 const drSvec3& motion) const;

    float friction = 0.0f;     ///< friction coefficient
    float damping = 0.0001f;   ///< pull of the point's force toward the surface's tangential velocity
    float stick = 0.0f;        ///< constant force toward the surface on points in contact
    drStriangleNode* tree = nullptr;  ///< the collision surface, owned by the host object; null = inactive
    float lastUpdate = 0.0f;   ///< solver time (frames) at which the surface was last moved
};
