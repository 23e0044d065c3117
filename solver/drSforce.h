// The one interface of everything that acts on a cloth inside the solver:
// spring sets, global forces, colliders and constraints.
//
// The solver orders its list by phase (ascending, stable) and calls, per
// sub-step, apply() of every enabled force in list order, then after the
// integration postStep() of every enabled force; reset() whenever the
// simulation time jumps without stepping (a cache hit, a reset at frame 0).
//
// Phase 0 and 1: accumulating forces; they only add into cloth.forces.
// Phase 2 and above see the complete force sum and may read and change
// forces, velocities and positions.
//
// Point-wise forces. A force whose pointwise() is true changes point i only
// from point i's own state and from values it sets up once per sub-step, so
// the solver runs it fused with its pointwise neighbours in the list: point
// block by point block, every force of the run in list order on a block,
// on any split of the points over the workers. Per sub-step and run:
//   beginPoints() of each force in list order, on the calling thread;
//   computeItems() over [0, itemCount()) of each, split over the workers
//     (springs: one force per spring, written to the force's own array);
//   itemsComputed() of each, on the calling thread;
//   applyPoints() of each force in list order, per block of points.
// A run sets up all its forces before its first block, so beginPoints and
// computeItems may read positions and velocities only if no earlier force
// of the run changes them: true of phase 0 and 1, which come first.
// apply() does the same for the one force alone.
//
// Type ids and phases of the system:
//   drSgravity 0/1  drSdamp 1/1  drSwind 3/1  drSspring 4/1  drSnail 5/3
//   drSpin 6/3  drScollideMesh 7/3  drScollideSphere 8/2  drScollidePlane 10/2
//   drScollideSelf 11/2  drSvolum 16/1  drScollideCapsule 19/2  drSsew 22/1
#pragma once

#include <cstdint>

struct drScloth;
struct drSsolver;

class drSforce {
public:
    virtual ~drSforce() = default;
    /// The simulation time was set to `time` without stepping.
    virtual void reset(float time) { (void)time; }
    virtual int32_t typeId() const { return 0; }
    virtual int32_t phase() const { return 1; }
    /// Called once per sub-step during the force pass.
    virtual void apply(drScloth& cloth, drSsolver& solver) { (void)cloth; (void)solver; }
    /// Called after every integration.
    virtual void postStep(drScloth& cloth, drSsolver& solver) { (void)cloth; (void)solver; }

    /// True when the force acts through the point-wise hooks below.
    virtual bool pointwise() const { return false; }
    virtual void beginPoints(drScloth& cloth, drSsolver& solver) { (void)cloth; (void)solver; }
    virtual int32_t itemCount(const drScloth& cloth) const { (void)cloth; return 0; }
    virtual void computeItems(const drScloth& cloth, int32_t begin, int32_t end) { (void)cloth; (void)begin; (void)end; }
    virtual void itemsComputed(const drScloth& cloth) { (void)cloth; }
    /// Acts on points [begin, end); every point reads only its own state.
    virtual void applyPoints(drScloth& cloth, int32_t begin, int32_t end) { (void)cloth; (void)begin; (void)end; }

    /// When 0 the solver skips apply() and postStep(), but still calls reset().
    uint8_t enabled = 1;
};
