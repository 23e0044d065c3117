#include "drPin.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrPin() { return NewObjClear<drPin>(); }

Bool drPin::Init(GeListNode* node) {
    (void)node;
    solverForce = &constraint;
    return true;
}

void drPin::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drPin::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drPin::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drPin::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
    return EXECUTIONRESULT::OK;
}

Bool drPin::GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                         const BaseContainer* itemdesc) {
    return drForce::GetDEnabling(node, id, t_data, flags, itemdesc);
}
