// Sphere collider object: a sphere around the object's position.
#pragma once

#include "drScollideSphere.h"
#include "drForce.h"

constexpr Int32 SPHERE_FRICTION = 1000;
constexpr Int32 SPHERE_DAMPING = 1001;
constexpr Int32 SPHERE_RADIUS = 1002;
constexpr Int32 SPHERE_THICKNESS = 1003;

class drCollideSphere : public drForce {
public:
    Bool Init(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drScollideSphere collider;  ///< the solver force this object hands to the cloth
};
