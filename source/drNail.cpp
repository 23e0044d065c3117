#include "drNail.h"

#include <optional>

#include "drMath.h"
#include "drObjectSupport.h"
#include "drRegistry.h"

namespace {
constexpr ElasticParameters ELASTIC{NAIL_ELASTIC, NAIL_STIFFNESS, NAIL_DAMPING};
}

NodeData* AllocDrNail() { return NewObjClear<drNail>(); }

Bool drNail::Init(GeListNode* node) {
    BaseContainer* bc = parametersOf(node);
    initElastic(bc, constraint, ELASTIC);
    if (bc) {
        bc->SetLink(NAIL_POINTS, nullptr);
    }
    solverForce = &constraint;
    return true;
}

Bool drNail::GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                          const BaseContainer* itemdesc) {
    if (const std::optional<Bool> enabled = elasticEnabling(node, id, ELASTIC)) return *enabled;
    return drForce::GetDEnabling(node, id, t_data, flags, itemdesc);
}

void drNail::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drNail::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)bh;
    return drawTargetHandles(op, drawpass, bd, constraint);
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
        readElastic(bc, constraint, ELASTIC);
    });
    return EXECUTIONRESULT::OK;
}
