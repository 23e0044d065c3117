#include "drNail.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrNail() { return NewObjClear<drNail>(); }

Bool drNail::Init(GeListNode* node) {
    (void)node;
    solverForce = &constraint;
    return true;
}

void drNail::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drNail::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drNail::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drNail::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
    return EXECUTIONRESULT::OK;
}

Bool drNail::GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                         const BaseContainer* itemdesc) {
    return drForce::GetDEnabling(node, id, t_data, flags, itemdesc);
}
