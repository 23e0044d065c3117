#include "drCollidePlane.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollidePlane() { return NewObjClear<drCollidePlane>(); }

Bool drCollidePlane::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(PLANE_FRICTION, 0.1);
        bc->SetFloat(PLANE_DAMPING, 0.001);
        bc->SetFloat(PLANE_THICKNESS, 1.0);
    }
    collider.friction = 0.1f;
    collider.damping = 0.001f;
    collider.thickness = 1.0f;
    collider.targetPoint = {0.0f, 0.0f, 0.0f};
    collider.targetNormal = {0.0f, 1.0f, 0.0f};
    solverForce = &collider;
    return true;
}

void drCollidePlane::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollidePlane::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    bd->SetMatrix_Matrix(op, drawingMatrix(op, bh));
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    bd->DrawLine(Vector(0.0, 0.0, 0.0), Vector(0.0, 100.0, 0.0));
    const Vector corners[4] = {Vector(-100.0, 0.0, -100.0), Vector(100.0, 0.0, -100.0), Vector(100.0, 0.0, 100.0),
                               Vector(-100.0, 0.0, 100.0)};
    for (int k = 0; k < 4; ++k) bd->DrawLine(corners[k], corners[(k + 1) % 4]);
    return DRAWRESULT::OK;
}

Bool drCollidePlane::AddToExecution(BaseObject* op, PriorityList* list) {
    return addToExecution(op, list, 2000, 2);
}

EXECUTIONRESULT drCollidePlane::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                        EXECUTIONFLAGS flags) {
    (void)doc; (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    collider.friction = static_cast<float>(bc->GetFloat(PLANE_FRICTION));
    collider.damping = static_cast<float>(bc->GetFloat(PLANE_DAMPING));
    collider.thickness = static_cast<float>(bc->GetFloat(PLANE_THICKNESS));
    const Matrix mg = op->GetMg();
    collider.targetPoint = toSolver(mg.off);
    // The Y axis as it is, scale included; the collider uses its direction.
    collider.targetNormal = toSolver(mg.v2);
    return EXECUTIONRESULT::OK;
}
