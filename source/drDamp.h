// Damping object: a drag against the velocity of every cloth point.
#pragma once

#include "drSdamp.h"
#include "drForce.h"

constexpr Int32 DAMP_AMOUNT = 1000;

class drDamp : public drForce {
public:
    Bool Init(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drSdamp force;  ///< the solver force this object hands to the cloth
};
