// Plane collider object: the object's XZ plane, normal along its Y axis.
#pragma once

#include "drScollidePlane.h"
#include "drForce.h"

constexpr Int32 PLANE_FRICTION = 1000;
constexpr Int32 PLANE_DAMPING = 1001;
constexpr Int32 PLANE_THICKNESS = 1002;

class drCollidePlane : public drForce {
public:
    Bool Init(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drScollidePlane collider;  ///< the solver force this object hands to the cloth
};
