#include "drDamp.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrDamp() { return NewObjClear<drDamp>(); }

Bool drDamp::Init(GeListNode* node) {
    (void)node;
    solverForce = &force;
    return true;
}

void drDamp::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drDamp::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drDamp::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drDamp::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
    return EXECUTIONRESULT::OK;
}
