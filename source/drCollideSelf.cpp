#include "drCollideSelf.h"

#include <vector>

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollideSelf() { return NewObjClear<drCollideSelf>(); }

drCollideSelf::~drCollideSelf() { collider.tree = nullptr; }

Bool drCollideSelf::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(SELF_FRICTION, 0.0);
        bc->SetFloat(SELF_DAMPING, 0.0);
        bc->SetFloat(SELF_THICKNESS, 5.0);
        bc->SetInt32(SELF_SIDE, 1);
    }
    collider.friction = 0.0f;
    collider.side = 0;
    solverForce = &collider;
    return true;
}

void drCollideSelf::Free(GeListNode* node) {
    (void)node;
    dropTree();
}

void drCollideSelf::dropTree() {
    if (!tree && !collider.tree) return;
    PoolLockGuard lock;
    collider.tree = nullptr;
    tree.reset();
}

void drCollideSelf::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollideSelf::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)bh;
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    bd->SetMatrix_Matrix(op, Matrix());
    return DRAWRESULT::OK;
}

Bool drCollideSelf::AddToExecution(BaseObject* op, PriorityList* list) {
    return addToExecution(op, list, 2000, 2);
}

EXECUTIONRESULT drCollideSelf::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                       EXECUTIONFLAGS flags) {
    (void)doc; (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    const float thickness = static_cast<float>(bc->GetFloat(SELF_THICKNESS));

    // The simulated mesh is two levels up: this object sits under the cloth
    // object, which sits under the polygon object it simulates.
    BaseObject* cloth = op->GetUp();
    if (!cloth) return EXECUTIONRESULT::OK;
    BaseObject* input = cloth->GetUp();
    if (!input || !input->IsInstanceOf(Opolygon)) {
        dropTree();
    } else {
        const PolygonObject* mesh = ToPoly(input);
        const Int32 n = mesh->GetPointCount();
        if (tree && tree->pointCount == n) {
            collider.pointCount = n;
            tree->setOffsets(thickness, -thickness);
        } else {
            // The cloth object may be running a simulation that reads the
            // old tree: swap it under the pool's lock.
            PoolLockGuard lock;
            collider.tree = nullptr;
            tree.reset();
            tree = std::make_unique<drStriangleNode>();
            collider.pointCount = n;
            tree->pointCount = n;
            // The insertions grow the boxes from the object's own points; the
            // cloth object then hands the tree the cloth's live positions.
            std::vector<drSvec3> rest(static_cast<size_t>(n));
            const Vector* P = mesh->GetPointR();
            for (Int32 i = 0; i < n; ++i) rest[i] = toSolver(P[i]);
            tree->setPositions(rest.data());
            const CPolygon* polygons = mesh->GetPolygonR();
            for (Int32 j = 0; j < mesh->GetPolygonCount(); ++j) {
                const CPolygon& p = polygons[j];
                tree->addTriangle(p.a, p.b, p.c);
                if (p.c != p.d) tree->addTriangle(p.a, p.c, p.d);
            }
            tree->setPositions(nullptr);
            tree->setOffsets(thickness, -thickness);
            collider.tree = tree.get();
        }
    }
    collider.friction = static_cast<float>(bc->GetFloat(SELF_FRICTION));
    (void)bc->GetFloat(SELF_DAMPING);  // read as ever; the solver has no use for it
    collider.side = static_cast<int32_t>(bc->GetFloat(SELF_SIDE)) - 1;
    return EXECUTIONRESULT::OK;
}
