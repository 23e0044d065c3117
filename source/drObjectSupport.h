// Pieces shared by the collider, force and constraint objects: their common
// box and execution hook, the draw-pass filter, finding the cloth above a
// constraint object and gathering its points from a tag.
#pragma once

#include <optional>

#include "drSvec.h"
#include "host.h"

class drSnail;

/// The box every collider, force and constraint object reports: centre
/// (0, 0, 0), half size (100, 100, 100).
void forceDimension(BaseObject* op, Vector* mp, Vector* rad);

/// Inserts op into the host's execution list; false when there is no list.
Bool addToExecution(BaseObject* op, PriorityList* list, Int32 priority, Int32 flags);

/// True for the passes in which these objects draw their guides (handles
/// and highlights).
inline Bool drawsInPass(DRAWPASS pass) { return pass == DRAWPASS::HANDLES || pass == DRAWPASS::HIGHLIGHTS; }

/// The polygon-holding object a constraint object acts on: op's grandparent
/// (op under the cloth object, the cloth object under the simulated object),
/// when it exists and has points; otherwise null.
PointObject* findClothInput(BaseObject* op);

/// Refills constraint's entries from a point selection tag (every selected
/// point, weight 1) or a vertex map tag (every point of weight > 0.001, with
/// its weight). Any other link, or none, leaves it with no entries.
/// Indices at or beyond pointLimit are skipped: the cloth cannot hold them.
void gatherPoints(drSnail& constraint, BaseList2D* link, Int32 pointLimit);

/// The parameter container of a node the host hands to a callback.
inline BaseContainer* parametersOf(GeListNode* node) {
    return node ? static_cast<BaseList2D*>(node)->GetDataInstance() : nullptr;
}

/// The world matrix to draw op with: the host's drawing context when given.
inline Matrix drawingMatrix(BaseObject* op, BaseDrawHelp* bh) { return bh ? bh->GetMg() : op->GetMg(); }

/// Host vector to a solver vector (components rounded to float).
inline drSvec3 toSolver(const Vector& v) {
    return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
}

/// Holds the job pool's global lock for its lifetime: the solver cannot run
/// while a collider's triangle tree is being changed.
class PoolLockGuard {
public:
    PoolLockGuard();
    ~PoolLockGuard();
    PoolLockGuard(const PoolLockGuard&) = delete;
    PoolLockGuard& operator=(const PoolLockGuard&) = delete;
};

/// True when every corner of polygon p indexes one of pointCount points.
inline Bool polygonInRange(const CPolygon& p, Int32 pointCount) {
    return p.a >= 0 && p.b >= 0 && p.c >= 0 && p.d >= 0 && p.a < pointCount && p.b < pointCount &&
           p.c < pointCount && p.d < pointCount;
}

/// v truncated toward zero to an integer, clamped to the Int32 range (a
/// non-finite value counts as 0).
Int32 truncateToInt32(Float v);

/// Drops the entries of constraint (a nail or a pin) whose cloth point lies
/// at or beyond pointCount, keeping the others in order: the solver trusts
/// the indices, and the cloth may have lost points since they were gathered.
void dropEntriesBeyond(drSnail& constraint, Int32 pointCount);

/// The parameter ids of a nail's or a pin's elastic switch and of the two
/// values that only mean something when it is on.
struct ElasticParameters {
    Int32 elastic;
    Int32 stiffness;
    Int32 damping;
};

/// Sets the elastic parameters' defaults (hard, stiffness 0.1, damping 0.01)
/// in bc, when given, and in constraint.
void initElastic(BaseContainer* bc, drSnail& constraint, const ElasticParameters& ids);

/// Copies the elastic parameters from bc into constraint.
void readElastic(const BaseContainer* bc, drSnail& constraint, const ElasticParameters& ids);

/// Whether the parameter id is enabled, for stiffness and damping: only while
/// the elastic switch is on. Empty for any other parameter.
std::optional<Bool> elasticEnabling(GeListNode* node, const DescID& id, const ElasticParameters& ids);

/// Draws a handle on each of constraint's targets (world coordinates) in the
/// guide passes.
DRAWRESULT drawTargetHandles(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, const drSnail& constraint);

/// Runs body and keeps any exception (memory running out while the point
/// sets grow) from reaching the host: the evaluation ends quietly.
template <class Body>
void withoutExceptions(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}
