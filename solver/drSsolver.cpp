#include "drSsolver.h"

#include <atomic>

#include "abort.h"
#include "cache.h"

namespace {

/// A sub-step runs only while target - kTimeSlack > time (frames).
constexpr float kTimeSlack = 0.0002f;

/// Force type ids whose forces read cloth.normals.
bool needsNormals(int32_t typeId) {
    return typeId == 2 || typeId == 3 || typeId == 16 || typeId == 20 || typeId == 21;
}

/// The last advance number handed out, by any solver.
std::atomic<uint64_t> lastAdvance{0};

}  // namespace

void drSsolver::beginAdvance() { advance = lastAdvance.fetch_add(1, std::memory_order_relaxed) + 1; }

void drSsolver::clearForces() {
    forces.clear();  // the capacity stays: the host refills the list at every evaluation
    needNormals = 0;
}

void drSsolver::addForce(drSforce* force) {
    if (force == nullptr) return;
    const int32_t phase = force->phase();
    auto at = forces.begin();
    while (at != forces.end() && (*at == nullptr || (*at)->phase() <= phase)) ++at;
    forces.insert(at, force);
    if (needsNormals(force->typeId())) needNormals = 1;
}

void drSsolver::resetForces() {
    for (drSforce* force : forces)
        if (force != nullptr) force->reset(time);
}

void drSsolver::advanceTo(drScloth& cloth, float t) {
    targetTime = t;

    // A stored frame wins: jump to it without stepping
    if (readCache(cloth, t) == 1) {
        time = t;
        resetForces();
        return;
    }

    // Already at t (within the slack) or beyond it: only store the state
    if (!(t - kTimeSlack > time)) {
        writeCache(cloth, t);
        return;
    }

    // Sub-steps until the target is reached or the abort flag is raised
    beginAdvance();
    do {
        if (drAbortRaised()) break;
        subStep(cloth);
        // A sub-step that cannot move the clock (a step of zero or not a
        // number, or one too small to change a large time) would repeat
        // forever: stop here and keep the state reached.
        if (!(time > previousTime)) break;
    } while (t - kTimeSlack > time);
    endAdvance();

    // A frame cut short by the abort flag is not stored, so that no later
    // run plays it back as a finished frame
    if (drAbortRaised() && t - kTimeSlack > time) {
        drNoteCutShort();
        return;
    }
    writeCache(cloth, t);
}
