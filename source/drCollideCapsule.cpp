#include "drCollideCapsule.h"

#include <cmath>

#include "drMath.h"
#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollideCapsule() { return NewObjClear<drCollideCapsule>(); }

namespace {

/// m in the collider's row layout: row r = (X_r, Y_r, Z_r, offset_r).
void toRows(const Matrix& m, float (&rows)[3][4]) {
    const Vector* columns[4] = {&m.v1, &m.v2, &m.v3, &m.off};
    for (int c = 0; c < 4; ++c) {
        rows[0][c] = static_cast<float>(columns[c]->x);
        rows[1][c] = static_cast<float>(columns[c]->y);
        rows[2][c] = static_cast<float>(columns[c]->z);
    }
}

}  // namespace

Bool drCollideCapsule::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(CAPSULE_FRICTION, 0.1);
        bc->SetFloat(CAPSULE_DAMPING, 0.001);
        bc->SetFloat(CAPSULE_HALF_LENGTH, 100.0);
        bc->SetFloat(CAPSULE_RADIUS, 100.0);
        bc->SetFloat(CAPSULE_THICKNESS, 1.0);
    }
    toRows(Matrix(), collider.localToWorld);
    toRows(Matrix(), collider.worldToLocal);
    collider.friction = 0.1f;
    collider.damping = 0.001f;
    collider.halfLength = 100.0f;
    collider.radius = 100.0f;
    collider.thickness = 1.0f;
    solverForce = &collider;
    return true;
}

void drCollideCapsule::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollideCapsule::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    const Float h = bc->GetFloat(CAPSULE_HALF_LENGTH);
    const Float r = bc->GetFloat(CAPSULE_RADIUS);
    const Matrix mg = drawingMatrix(op, bh);
    bd->SetMatrix_Matrix(op, mg);
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    bd->DrawLine(Vector(r, 0.0, -h), Vector(r, 0.0, h));
    bd->DrawLine(Vector(-r, 0.0, -h), Vector(-r, 0.0, h));
    bd->DrawLine(Vector(0.0, r, -h), Vector(0.0, r, h));
    bd->DrawLine(Vector(0.0, -r, -h), Vector(0.0, -r, h));
    // Rims at both ends, in the object's XY plane.
    bd->DrawArc(Vector(0.0, 0.0, h), r, 0.0, 2.0 * M_PI, 32, 0);
    bd->DrawArc(Vector(0.0, 0.0, -h), r, 0.0, 2.0 * M_PI, 32, 0);
    // Caps: half circles in the XZ and YZ planes. Arcs lie in the drawing
    // matrix's XY plane, so its second axis is made the object's Z; the end
    // then sits at y = +-h and the half circles bulge outward.
    const Matrix capPlanes[2] = {Matrix(mg.off, mg.v1, mg.v3, mg.v2), Matrix(mg.off, mg.v2, mg.v3, mg.v1)};
    for (const Matrix& m : capPlanes) {
        bd->SetMatrix_Matrix(op, m);
        bd->DrawArc(Vector(0.0, h, 0.0), r, 0.0, M_PI, 32, 0);
        bd->DrawArc(Vector(0.0, -h, 0.0), r, M_PI, 2.0 * M_PI, 32, 0);
    }
    return DRAWRESULT::OK;
}

Bool drCollideCapsule::AddToExecution(BaseObject* op, PriorityList* list) {
    return addToExecution(op, list, 2000, 2);
}

EXECUTIONRESULT drCollideCapsule::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                          EXECUTIONFLAGS flags) {
    (void)doc; (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    collider.friction = static_cast<float>(bc->GetFloat(CAPSULE_FRICTION));
    collider.damping = static_cast<float>(bc->GetFloat(CAPSULE_DAMPING));
    collider.halfLength = static_cast<float>(bc->GetFloat(CAPSULE_HALF_LENGTH));
    collider.radius = static_cast<float>(bc->GetFloat(CAPSULE_RADIUS));
    collider.thickness = static_cast<float>(bc->GetFloat(CAPSULE_THICKNESS));
    const Matrix mg = op->GetMg();
    toRows(mg, collider.localToWorld);
    toRows(drInverse(mg), collider.worldToLocal);
    return EXECUTIONRESULT::OK;
}
