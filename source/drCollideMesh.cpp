#include "drCollideMesh.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollideMesh() { return NewObjClear<drCollideMesh>(); }

Bool drCollideMesh::Init(GeListNode* node) {
    (void)node;
    solverForce = &collider;
    return true;
}

void drCollideMesh::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollideMesh::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drCollideMesh::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drCollideMesh::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
    return EXECUTIONRESULT::OK;
}

drCollideMesh::~drCollideMesh() { collider.tree = nullptr; }

void drCollideMesh::Free(GeListNode* node) { (void)node; }

void drCollideMesh::dropTree() {}
