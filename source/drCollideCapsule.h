// Capsule collider object: a capsule along the object's Z axis.
#pragma once

#include "drScollideCapsule.h"
#include "drForce.h"

constexpr Int32 CAPSULE_FRICTION = 1000;
constexpr Int32 CAPSULE_DAMPING = 1001;
constexpr Int32 CAPSULE_HALF_LENGTH = 1002;
constexpr Int32 CAPSULE_RADIUS = 1003;
constexpr Int32 CAPSULE_THICKNESS = 1004;

class drCollideCapsule : public drForce {
public:
    Bool Init(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drScollideCapsule collider;  ///< the solver force this object hands to the cloth
};
