// Sew object: joins two open borders of the cloth, walking from two selected
// points along the borders in opposite directions, one pair per step.
#pragma once

#include "drForce.h"
#include "drSsew.h"

constexpr Int32 SEW_POINTS = 1000;
constexpr Int32 SEW_COUNT = 1001;
constexpr Int32 SEW_STIFFNESS = 1002;
constexpr Int32 SEW_DAMPING = 1003;

/// Direction of a border step, relative to the winding of the polygons.
enum class BorderDirection { PREVIOUS, NEXT };

/// The point after p along a mesh border: the corner before (PREVIOUS) or
/// after (NEXT) p in the first polygon around p, in ascending polygon order,
/// whose edge to that corner has no polygon on the other side. p itself
/// when p lies on no border (or is not a point of the table).
Int32 borderStep(const Neighbor& adjacency, const CPolygon* polygons, Int32 p, BorderDirection direction);

class drSew : public drForce {
public:
    Bool Init(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drSsew constraint;     ///< the solver constraint this object hands to the cloth
    Int32 builtCount = 0;  ///< pairs built at the last evaluation of frame 0
};
