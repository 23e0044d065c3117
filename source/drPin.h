// Pin object: binds chosen cloth points, at a start frame, to the nearest
// triangles of another polygon object and holds them there as it moves and
// deforms.
#pragma once

#include "drForce.h"
#include "drSpin.h"

constexpr Int32 PIN_ELASTIC = 1000;
constexpr Int32 PIN_STIFFNESS = 1001;
constexpr Int32 PIN_DAMPING = 1002;
constexpr Int32 PIN_POINTS = 1003;
constexpr Int32 PIN_TARGET = 1004;
constexpr Int32 PIN_OFFSET_SCALE = 1005;
constexpr Int32 PIN_START_FRAME = 1006;

class drPin : public drForce {
public:
    Bool Init(GeListNode* node) override;
    Bool GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                      const BaseContainer* itemdesc) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drSpin constraint;  ///< the solver constraint this object hands to the cloth
};
