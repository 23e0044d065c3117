#include "drCollideSphere.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollideSphere() { return NewObjClear<drCollideSphere>(); }

Bool drCollideSphere::Init(GeListNode* node) {
    (void)node;
    solverForce = &collider;
    return true;
}

void drCollideSphere::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollideSphere::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drCollideSphere::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drCollideSphere::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
    return EXECUTIONRESULT::OK;
}
