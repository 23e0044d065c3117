#include "drCollideMesh.h"

#include <cmath>

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrCollideMesh() { return NewObjClear<drCollideMesh>(); }

drCollideMesh::~drCollideMesh() { collider.tree = nullptr; }

Bool drCollideMesh::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(MESH_FRICTION, 0.2);
        bc->SetFloat(MESH_DAMPING, 0.01);
        bc->SetFloat(MESH_STICK, 0.0);
        bc->SetFloat(MESH_OFFSET, 4.0);
        bc->SetFloat(MESH_DEPTH, 2.0);
        bc->SetLink(MESH_OBJECT, nullptr);
    }
    worldPoints.clear();
    pointNormals.clear();
    collider.friction = 0.2f;
    collider.damping = 0.01f;
    solverForce = &collider;
    return true;
}

void drCollideMesh::Free(GeListNode* node) {
    (void)node;
    // The tree borrows worldPoints: it goes first.
    dropTree();
    std::vector<drSvec3>().swap(worldPoints);
    std::vector<drSvec3>().swap(pointNormals);
}

void drCollideMesh::dropTree() {
    if (!tree && !collider.tree) return;
    PoolLockGuard lock;
    collider.tree = nullptr;
    tree.reset();
}

void drCollideMesh::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drCollideMesh::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)bh;
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    bd->SetMatrix_Matrix(op, Matrix());
    return DRAWRESULT::OK;
}

Bool drCollideMesh::AddToExecution(BaseObject* op, PriorityList* list) {
    return addToExecution(op, list, 4000, 270);
}

EXECUTIONRESULT drCollideMesh::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                       EXECUTIONFLAGS flags) {
    (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    const Float offset = bc->GetFloat(MESH_OFFSET);
    const Float depth = bc->GetFloat(MESH_DEPTH);

    BaseList2D* link = bc->GetLink(MESH_OBJECT, doc, Obase);
    BaseObject* linked = static_cast<BaseObject*>(link);
    if (!linked || !linked->IsInstanceOf(Opolygon)) {
        dropTree();
    } else {
        // The shape the host last made of it under its deformers, if any.
        const BaseObject* source = linked;
        if (BaseObject* cache = linked->GetDeformCache(); cache && cache->IsInstanceOf(Opolygon)) source = cache;
        const PolygonObject* mesh = ToPoly(source);
        const Int32 n = mesh->GetPointCount();
        const Vector* P = mesh->GetPointR();
        const CPolygon* polygons = mesh->GetPolygonR();
        const Int32 polygonCount = mesh->GetPolygonCount();
        const Matrix mg = source->GetMg();

        PoolLockGuard lock;
        if (tree) tree->setOwnsPositions(1);

        // Point normals, oriented like the tree's face normals, toward the
        // side where the cloth belongs. (Against the faces, the offset would
        // sink the surface into the mesh and the cloth would come to rest
        // inside it.)
        pointNormals.assign(static_cast<size_t>(n), drSvec3{});
        for (Int32 j = 0; j < polygonCount; ++j) {
            const CPolygon& p = polygons[j];
            if (!polygonInRange(p, n)) continue;  // corrupt corner: left out
            const drSvec3 ab = toSolver(P[p.b] - P[p.a]);
            const drSvec3 ac = toSolver(P[p.c] - P[p.a]);
            const drSvec3 n1 = cross(ab, ac);
            pointNormals[p.a] += n1;
            pointNormals[p.b] += n1;
            pointNormals[p.c] += n1;
            if (p.c != p.d) {
                const drSvec3 ad = toSolver(P[p.d] - P[p.a]);
                const drSvec3 n2 = cross(ac, ad);
                pointNormals[p.a] += n2;
                pointNormals[p.c] += n2;
                pointNormals[p.d] += n2;
            }
        }
        for (drSvec3& normal : pointNormals) {
            const float len = length(normal);
            if (len != 0.0f) normal *= 1.0f / len;
        }
        // Targets: pushed along the normals in the object's own space, so the
        // offset scales with the object, then taken to world space.
        const bool rebuild = !tree || tree->pointCount != n;
        worldPoints.resize(static_cast<size_t>(n));
        for (Int32 i = 0; i < n; ++i) {
            const drSvec3& normal = pointNormals[i];
            const Vector pushed = P[i] + Vector(normal.x, normal.y, normal.z) * offset;
            worldPoints[i] = toSolver(mg * pushed);
        }
        if (rebuild) {
            collider.tree = nullptr;
            tree.reset();
            tree = std::make_unique<drStriangleNode>();
            tree->pointCount = n;
            tree->setPositions(worldPoints.data());
            for (Int32 j = 0; j < polygonCount; ++j) {
                const CPolygon& p = polygons[j];
                tree->addTriangle(p.a, p.b, p.c);
                if (p.c != p.d) tree->addTriangle(p.a, p.c, p.d);
            }
            tree->setOwnsPositions(1);
            collider.tree = tree.get();
            collider.reset(0.0f);
        } else {
            tree->setPositions(worldPoints.data());
        }
        // Only points behind the surface and no deeper than depth + offset.
        tree->setOffsets(0.0f, static_cast<float>(-(depth + offset)));
    }
    collider.friction = static_cast<float>(bc->GetFloat(MESH_FRICTION));
    collider.damping = static_cast<float>(bc->GetFloat(MESH_DAMPING));
    collider.stick = static_cast<float>(bc->GetFloat(MESH_STICK));
    return EXECUTIONRESULT::OK;
}
