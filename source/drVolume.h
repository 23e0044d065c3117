// Volume object: keeps a closed cloth near a multiple of its starting volume.
#pragma once

#include "drSvolum.h"
#include "drForce.h"

constexpr Int32 VOLUME_PRESSURE = 1000;
constexpr Int32 VOLUME_RATIO = 1001;
constexpr Int32 VOLUME_DAMPING = 1002;

class drVolume : public drForce {
public:
    Bool Init(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drSvolum force;  ///< the solver force this object hands to the cloth
};
