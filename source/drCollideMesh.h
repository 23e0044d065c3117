// Mesh collider object: hands a linked polygon object, pushed out along its
// point normals, to the solver's mesh collider as a triangle tree.
#pragma once

#include <memory>
#include <vector>

#include "drForce.h"
#include "drScollideMesh.h"
#include "drStriangleNode.h"

constexpr Int32 MESH_FRICTION = 1000;
constexpr Int32 MESH_DAMPING = 1001;
constexpr Int32 MESH_STICK = 1002;
constexpr Int32 MESH_OFFSET = 1003;
constexpr Int32 MESH_DEPTH = 1004;
constexpr Int32 MESH_OBJECT = 1005;

class drCollideMesh : public drForce {
public:
    ~drCollideMesh() override;
    Bool Init(GeListNode* node) override;
    void Free(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drScollideMesh collider;  ///< the solver collider; its tree is `tree` below
    /// The collision surface; collider.tree points at it (null: inactive).
    std::unique_ptr<drStriangleNode> tree;
    /// Target positions of the surface in world space; the tree borrows them.
    std::vector<drSvec3> worldPoints;
    /// Unit point normals of the linked mesh (object space).
    std::vector<drSvec3> pointNormals;

private:
    /// Drops the tree (under the pool lock) and leaves the collider inactive.
    void dropTree();
};
