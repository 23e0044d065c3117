#include "drGravity.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrGravity() { return NewObjClear<drGravity>(); }

Bool drGravity::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetVector(GRAVITY_DIRECTION, Vector(0.0, -1.0, 0.0));
        bc->SetFloat(GRAVITY_STRENGTH, 1.0);
    }
    force.gravity.y = -1.0f;
    solverForce = &force;
    return true;
}

void drGravity::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drGravity::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    const Vector direction = op->GetDataInstance()->GetVector(GRAVITY_DIRECTION);
    bd->SetMatrix_Matrix(op, drawingMatrix(op, bh));
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    bd->DrawLine(Vector(0.0, 0.0, 0.0), direction * 100.0);
    return DRAWRESULT::OK;
}

Bool drGravity::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drGravity::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                   EXECUTIONFLAGS flags) {
    (void)doc; (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    const Vector d = bc->GetVector(GRAVITY_DIRECTION);
    const Float strength = bc->GetFloat(GRAVITY_STRENGTH);
    // The direction is given in the object's axes; the offset plays no part,
    // and a scaled object scales the gravity.
    const Matrix mg = op->GetMg();
    force.gravity = toSolver((mg.v1 * d.x + mg.v2 * d.y + mg.v3 * d.z) * strength);
    return EXECUTIONRESULT::OK;
}
