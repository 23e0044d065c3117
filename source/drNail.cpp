#include "drNail.h"

#include <algorithm>

#include "drMath.h"
#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrNail() { return NewObjClear<drNail>(); }

Bool drNail::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(NAIL_ELASTIC, 0.0);
        bc->SetFloat(NAIL_STIFFNESS, 0.1);
        bc->SetFloat(NAIL_DAMPING, 0.01);
        bc->SetLink(NAIL_POINTS, nullptr);
    }
    constraint.elastic = 0;
    constraint.stiffness = 0.1f;
    constraint.damping = 0.01f;
    solverForce = &constraint;
    return true;
}

Bool drNail::GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                          const BaseContainer* itemdesc) {
    // Stiffness and damping only mean something for an elastic nail.
    if (id[0].id == NAIL_STIFFNESS || id[0].id == NAIL_DAMPING) {
        const BaseContainer* bc = parametersOf(node);
        return bc && bc->GetFloat(NAIL_ELASTIC) != 0.0;
    }
    return drForce::GetDEnabling(node, id, t_data, flags, itemdesc);
}

void drNail::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drNail::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)bh;
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    bd->SetMatrix_Matrix(op, Matrix());
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    const size_t n = std::min(static_cast<size_t>(std::max(constraint.count, 0)), constraint.targets.size());
    for (size_t k = 0; k < n; ++k) {
        const drSvec3& t = constraint.targets[k];
        bd->DrawHandle(Vector(t.x, t.y, t.z), DRAWHANDLE::MIDDLE, 0);
    }
    return DRAWRESULT::OK;
}

Bool drNail::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drNail::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)bt; (void)priority; (void)flags;
    if (!op || !doc) return EXECUTIONRESULT::OK;
    withoutExceptions([&] {
        const BaseContainer* bc = op->GetDataInstance();
        const Int32 frame = evaluationFrame(doc);
        if (PointObject* input = findClothInput(op)) {
            // The cloth's rest points: the input object's own, undeformed.
            const Int32 n = input->GetPointCount();
            const Vector* P = input->GetPointR();
            if (frame == 0) gatherPoints(constraint, bc->GetLink(NAIL_POINTS, doc), n);
            // Entries gathered on a mesh that has since lost points would
            // send the solver past the cloth's arrays.
            dropEntriesBeyond(constraint, n);
            const Matrix mg = op->GetMg();
            for (int32_t k = 0; k < constraint.count; ++k)
                constraint.targets[k] = toSolver(mg * P[constraint.pointIndices[k]]);
            constraint.reset(0.0f);
        }
        constraint.elastic = bc->GetFloat(NAIL_ELASTIC) != 0.0 ? 1 : 0;
        constraint.stiffness = static_cast<float>(bc->GetFloat(NAIL_STIFFNESS));
        constraint.damping = static_cast<float>(bc->GetFloat(NAIL_DAMPING));
    });
    return EXECUTIONRESULT::OK;
}
