#include "drCollideSelf.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollideSelf() { return NewObjClear<drCollideSelf>(); }

Bool drCollideSelf::Init(GeListNode* node) {
    (void)node;
    solverForce = &collider;
    return true;
}

void drCollideSelf::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollideSelf::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drCollideSelf::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drCollideSelf::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
    return EXECUTIONRESULT::OK;
}

drCollideSelf::~drCollideSelf() { collider.tree = nullptr; }

void drCollideSelf::Free(GeListNode* node) { (void)node; }

void drCollideSelf::dropTree() {}
