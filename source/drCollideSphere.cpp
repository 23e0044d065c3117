#include "drCollideSphere.h"

#include <cmath>

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollideSphere() { return NewObjClear<drCollideSphere>(); }

Bool drCollideSphere::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(SPHERE_FRICTION, 0.1);
        bc->SetFloat(SPHERE_DAMPING, 0.001);
        bc->SetFloat(SPHERE_RADIUS, 100.0);
        bc->SetFloat(SPHERE_THICKNESS, 1.0);
    }
    collider.friction = 0.1f;
    collider.damping = 0.001f;
    collider.thickness = 1.0f;
    collider.radius = 100.0f;
    collider.targetCentre = {0.0f, 0.0f, 0.0f};
    solverForce = &collider;
    return true;
}

void drCollideSphere::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollideSphere::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    const Float r = op->GetDataInstance()->GetFloat(SPHERE_RADIUS);
    const Matrix mg = drawingMatrix(op, bh);
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    // Arcs lie in the drawing matrix's XY plane: one circle per axis plane.
    const Matrix planes[3] = {mg, Matrix(mg.off, mg.v1, mg.v3, mg.v2), Matrix(mg.off, mg.v2, mg.v3, mg.v1)};
    for (const Matrix& m : planes) {
        bd->SetMatrix_Matrix(op, m);
        bd->DrawArc(Vector(0.0, 0.0, 0.0), r, 0.0, 2.0 * M_PI, 32, 0);
    }
    return DRAWRESULT::OK;
}

Bool drCollideSphere::AddToExecution(BaseObject* op, PriorityList* list) {
    return addToExecution(op, list, 2000, 2);
}

EXECUTIONRESULT drCollideSphere::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                         EXECUTIONFLAGS flags) {
    (void)doc; (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    collider.friction = static_cast<float>(bc->GetFloat(SPHERE_FRICTION));
    collider.damping = static_cast<float>(bc->GetFloat(SPHERE_DAMPING));
    collider.thickness = static_cast<float>(bc->GetFloat(SPHERE_THICKNESS));
    collider.radius = static_cast<float>(bc->GetFloat(SPHERE_RADIUS));  // not scaled with the object
    collider.targetCentre = toSolver(op->GetMg().off);
    return EXECUTIONRESULT::OK;
}
