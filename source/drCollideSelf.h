// Self-collision object: builds the triangle tree of the simulated mesh for
// the solver's self collision; the cloth object supplies the positions.
#pragma once

#include <memory>

#include "drForce.h"
#include "drScollideSelf.h"
#include "drStriangleNode.h"

constexpr Int32 SELF_FRICTION = 1000;
constexpr Int32 SELF_DAMPING = 1001;
constexpr Int32 SELF_THICKNESS = 1002;
constexpr Int32 SELF_SIDE = 1003;

class drCollideSelf : public drForce {
public:
    ~drCollideSelf() override;
    Bool Init(GeListNode* node) override;
    void Free(GeListNode* node) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drScollideSelf collider;  ///< the solver collider; its tree is `tree` below
    /// The cloth's triangles; collider.tree points at it (null: inactive).
    std::unique_ptr<drStriangleNode> tree;

private:
    /// Drops the tree under the pool lock and leaves the collider inactive.
    void dropTree();
};
