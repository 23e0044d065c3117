// Self collision: keeps the cloth from passing through itself. The cloth's own
// triangles sit in a triangle octree over the cloth's live positions, and
// every cloth point looks for the tree's first triangle of the cloth (not one
// of its own) within the thickness band. The candidate lists
// (drSselfCandidates) give the tree's answer from the few triangles within
// reach of each point, refitting only their leaves; when part of the cloth
// moved too far for them, the points that may have left their lists try the
// leaves whose box contains them, as the tree would; when the lists cannot
// serve (a position that is not finite) the whole tree is refitted and asked
// for every point. On a contact the part of the point's force that drives it
// to the other side is handed to the triangle's corners, and its velocity
// toward the triangle is removed with a drag on its sliding. Positions are
// never moved.
//
// Determinism: during the point pass every point reads only its own force and
// the velocities as they were before the pass; the corner forces and the
// velocity corrections are collected per chunk of points and applied after
// the pass, chunk by chunk. Chunks cover consecutive point ranges, whichever
// worker runs them, so the corrections are applied in point order whatever
// the worker count, and the result is bit-identical for any number of workers.
#pragma once

#include <cstdint>
#include <vector>

#include "drSforce.h"
#include "drSselfCandidates.h"
#include "drSvec.h"

class drStriangleNode;

class drScollideSelf : public drSforce {
public:
    int32_t typeId() const override { return 11; }
    int32_t phase() const override { return 2; }
    /// Refits the tree and runs the point pass over [0, pointCount).
    void apply(drScloth& cloth, drSsolver& solver) override;

    float friction = 0.0f;            ///< drag factor on the point's sliding velocity relative to the triangle
    drStriangleNode* tree = nullptr;  ///< the cloth's triangles, owned by the host object; null = inactive
    int32_t pointCount = 0;           ///< points tested: 0 .. pointCount - 1
    int32_t side = 0;                 ///< -1, +1: side of a triangle a point belongs on; 0: the side it is on now
    const uint8_t* pointFlags = nullptr;  ///< the cloth's flags (borrowed, may be null); flagged points are not tested

private:
    /// A change to one point's force or velocity, applied after the pass.
    struct Correction {
        int32_t point;  ///< cloth point index
        drSvec3 delta;  ///< added to the force; subtracted from the velocity
    };
    /// Corrections collected by one chunk of points, in point order. Cleared, never
    /// shrunk, so that steady sub-steps allocate nothing.
    struct JobCorrections {
        std::vector<Correction> cornerForces;    ///< forces handed to triangle corners
        std::vector<Correction> velocityChanges; ///< normal velocity removed from a point
    };

    /// Tests the points of [begin, end), correcting their own forces at once
    /// and collecting everything else in `out`.
    void pointPass(drScloth& cloth, int32_t begin, int32_t end, JobCorrections& out) const;
    /// The same for the active points [begin, end) of the candidate lists.
    void candidatePass(drScloth& cloth, int32_t begin, int32_t end, JobCorrections& out) const;
    /// Response of point i to its contact.
    void respond(drScloth& cloth, int32_t i, const drSindexHit& hit, JobCorrections& out) const;

    std::vector<JobCorrections> jobCorrections;  ///< one per chunk of the last pass
    drSselfCandidates candidates;                ///< the triangles within reach of each point
};
