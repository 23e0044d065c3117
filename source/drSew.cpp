#include "drSew.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrSew() { return NewObjClear<drSew>(); }

Bool drSew::Init(GeListNode* node) {
    (void)node;
    solverForce = &constraint;
    return true;
}

void drSew::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drSew::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drSew::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drSew::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
    return EXECUTIONRESULT::OK;
}

Int32 borderStep(const Neighbor& adjacency, const CPolygon* polygons, Int32 p, BorderDirection direction) {
    (void)adjacency; (void)polygons; (void)direction;
    return p;
}
