// The one interface of everything that acts on a cloth inside the solver:
// spring sets, global forces, colliders and constraints.
//
// The solver orders its list by phase (ascending, stable) and calls, per
// sub-step, apply() of every enabled force in list order, then after the
// integration postStep() of every enabled force; reset() whenever the
// simulation time jumps without stepping (a cache hit, a reset at frame 0).
//
// Phase 0 and 1: accumulating forces; they only add into cloth.forces, or,
// when their parallel jobs may touch the same point, job k adds into
// cloth.threadForceBuffers[k]. Phase 2 and above see the complete force sum
// and may read and change forces, velocities and positions.
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

    /// When 0 the solver skips apply() and postStep(), but still calls reset().
    uint8_t enabled = 1;
};
