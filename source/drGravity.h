// Gravity object: a constant acceleration whose direction follows the object's axes.
#pragma once

#include "drSgravity.h"
#include "drForce.h"

constexpr Int32 GRAVITY_DIRECTION = 1000;
constexpr Int32 GRAVITY_STRENGTH = 1001;

class drGravity : public drForce {
public:
    Bool Init(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drSgravity force;  ///< the solver force this object hands to the cloth
};
