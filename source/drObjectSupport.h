// Pieces shared by the collider, force and constraint objects: their common
// box and execution hook, the draw-pass filter, finding the cloth above a
// constraint object and gathering its points from a tag.
#pragma once

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
