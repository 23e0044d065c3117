// Wind object: a noisy wind blowing along the object's X axis.
#pragma once

#include "drSwind.h"
#include "drForce.h"

constexpr Int32 WIND_STRENGTH = 1000;
constexpr Int32 WIND_GUST = 1001;
constexpr Int32 WIND_ANGLE = 1002;
constexpr Int32 WIND_PERIOD = 1003;
constexpr Int32 WIND_BOTH_SIDES = 1004;

class drWind : public drForce {
public:
    Bool Init(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drSwind force;  ///< the solver force this object hands to the cloth
};
