#include "drCollidePlane.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollidePlane() { return NewObjClear<drCollidePlane>(); }

Bool drCollidePlane::Init(GeListNode* node) {
    (void)node;
    solverForce = &collider;
    return true;
}

void drCollidePlane::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollidePlane::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drCollidePlane::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drCollidePlane::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
    return EXECUTIONRESULT::OK;
}
