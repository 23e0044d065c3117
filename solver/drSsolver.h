// The solver: the ordered force list and the clock. advanceTo() is the one
// operation that moves the simulation.
#pragma once

#include <cstdint>
#include <vector>

#include "drScloth.h"
#include "drSforce.h"

struct drSsolver {
    /// Forces in acting order (sorted by phase, stable); not owned.
    std::vector<drSforce*> forces;
    float tolerance = 0.001f;  ///< largest displacement one sub-step's acceleration may cause
    float maxStep = 1.0f;      ///< longest sub-step, in frames
    float time = 0.0f;         ///< time the cloth state belongs to
    float step = 0.1f;         ///< adaptive sub-step length, kept between sub-steps
    float targetTime = 0.0f;   ///< the time passed to the last advanceTo
    float previousTime = 0.0f; ///< time before the last sub-step
    uint8_t needNormals = 0;   ///< recompute cloth.normals at every sub-step
    /// While the sub-steps of one advance run: a number no other advance of
    /// any solver has had; 0 between advances. The forces' data (a spring
    /// set's pairs, say) changes only between advances, from the host: a
    /// force may check it once per advance instead of at every sub-step.
    uint64_t advance = 0;

    int32_t forceCount() const { return static_cast<int32_t>(forces.size()); }
    void clearForces();
    /// Inserts before the first force of strictly greater phase.
    void addForce(drSforce* force);
    /// reset(time) on every force of the list.
    void resetForces();
    /// One sub-step: the normals when a force needs them, the forces, the
    /// step choice, the integration and every force's postStep.
    void subStep(drScloth& cloth);
    /// Loads frame t from the cache or runs sub-steps until time reaches t,
    /// then stores the state in the cache (not when the abort flag stopped
    /// the sub-steps short of t).
    void advanceTo(drScloth& cloth, float t);
    /// Starts an advance (a new number in `advance`) and ends it (0). For
    /// runs of sub-steps outside advanceTo that stand for one (benchmarks).
    void beginAdvance();
    void endAdvance() { advance = 0; }
};

// The passes of one sub-step, in the order subStep runs them (it fuses the
// clearing into the forces and the step's measure into their last point
// pass). Exposed for tests and benchmarks; forces see them only through the
// cloth state.
void computeNormals(drScloth& cloth);
/// Clears the force of every point.
void prepareStep(drScloth& cloth);
/// Adds the forces of every enabled force of the list to cloth.forces.
void applyForces(drSsolver& solver, drScloth& cloth);
float chooseStep(drSsolver& solver, drScloth& cloth);
void integrate(drSsolver& solver, drScloth& cloth, float dt);

/// Runs `count` (at most kPointwiseRun) enabled point-wise forces as one
/// fused run (see drSforce): their set-up, their items split over the pool,
/// then every block of points through all of them in list order. With
/// `clear` each point's force starts from zero; with `largest` it receives
/// the largest squared acceleration |f|^2 / m^2 after the run (-1 for no points).
constexpr int32_t kPointwiseRun = 32;
void runPointwise(drSforce* const* forces, int32_t count, drScloth& cloth, drSsolver& solver, bool clear,
                  float* largest);
