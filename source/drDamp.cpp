#include "drDamp.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrDamp() { return NewObjClear<drDamp>(); }

Bool drDamp::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) bc->SetFloat(DAMP_AMOUNT, 0.01);
    force.damping = 0.01f;
    solverForce = &force;
    return true;
}

void drDamp::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drDamp::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    bd->SetMatrix_Matrix(op, drawingMatrix(op, bh));
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    return DRAWRESULT::OK;
}

Bool drDamp::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drDamp::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)doc; (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    force.damping = static_cast<float>(op->GetDataInstance()->GetFloat(DAMP_AMOUNT));
    return EXECUTIONRESULT::OK;
}
