#include "drPin.h"

#include <algorithm>

#include "drBinding.h"
#include "drMath.h"
#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrPin() { return NewObjClear<drPin>(); }

Bool drPin::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(PIN_ELASTIC, 0.0);
        bc->SetFloat(PIN_STIFFNESS, 0.1);
        bc->SetFloat(PIN_DAMPING, 0.01);
        bc->SetLink(PIN_POINTS, nullptr);
        bc->SetLink(PIN_TARGET, nullptr);
        bc->SetFloat(PIN_OFFSET_SCALE, 1.0);
        bc->SetInt32(PIN_START_FRAME, 0);
    }
    constraint.elastic = 0;
    constraint.stiffness = 0.1f;
    constraint.damping = 0.01f;
    solverForce = &constraint;
    return true;
}

Bool drPin::GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                         const BaseContainer* itemdesc) {
    // Stiffness and damping only mean something for an elastic pin.
    if (id[0].id == PIN_STIFFNESS || id[0].id == PIN_DAMPING) {
        const BaseContainer* bc = parametersOf(node);
        return bc && bc->GetFloat(PIN_ELASTIC) != 0.0;
    }
    return drForce::GetDEnabling(node, id, t_data, flags, itemdesc);
}

void drPin::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drPin::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
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

Bool drPin::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drPin::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                               EXECUTIONFLAGS flags) {
    (void)bt; (void)priority; (void)flags;
    if (!op || !doc) return EXECUTIONRESULT::OK;
    withoutExceptions([&] {
        const BaseContainer* bc = op->GetDataInstance();
        const Int32 frame = evaluationFrame(doc);
        const Int32 start = truncateToInt32(bc->GetFloat(PIN_START_FRAME));
        if (frame < start) {
            constraint.enabled = 0;
            return;
        }
        constraint.enabled = 1;

        BaseObject* target = static_cast<BaseObject*>(bc->GetLink(PIN_TARGET, doc, Obase));
        if (!target) return;
        if (BaseObject* cache = target->GetDeformCache()) target = cache;
        if (!target->IsInstanceOf(Opolygon)) return;
        const PolygonObject* surface = ToPoly(target);
        PointObject* input = findClothInput(op);
        if (!input) return;
        // The cloth's own point count bounds every index the solver gets.
        const Int32 clothPoints = input->GetPointCount();
        // After frame 0 the binding uses the cloth as last simulated.
        const PointObject* shape = input;
        if (frame != 0) {
            if (BaseObject* cache = input->GetDeformCache(); cache && cache->IsInstanceOf(Opoint)) shape = ToPoint(cache);
        }
        const Matrix mt = target->GetMg();
        const Matrix toTarget = drInverse(mt) * shape->GetMg();
        const Int32 shapePoints = std::min(clothPoints, shape->GetPointCount());

        if (frame == start) {
            gatherPoints(constraint, bc->GetLink(PIN_POINTS, doc), shapePoints);
            const Vector* P = shape->GetPointR();
            for (int32_t k = 0; k < constraint.count; ++k) {
                const TriangleBinding b = findClosestTriangle(surface, toTarget * P[constraint.pointIndices[k]]);
                constraint.boundTriangles[k] = b.triangle;
                constraint.baryCoords[k] = b.coords;
                // Where the binding puts the point at this frame; kept should
                // the binding ever fail to evaluate.
                constraint.targets[k] = toSolver(shape->GetMg() * P[constraint.pointIndices[k]]);
            }
        }
        dropEntriesBeyond(constraint, clothPoints);

        const float s = static_cast<float>(bc->GetFloat(PIN_OFFSET_SCALE));
        for (int32_t k = 0; k < constraint.count; ++k) {
            // A binding to points the target no longer has keeps its last
            // target instead of reading past the target's points.
            Vector q;
            if (evaluateBinding(surface, constraint.baryCoords[k], constraint.boundTriangles[k], s, &q))
                constraint.targets[k] = toSolver(mt * q);
        }
        constraint.reset(0.0f);
        constraint.stiffness = static_cast<float>(bc->GetFloat(PIN_STIFFNESS));
        constraint.damping = static_cast<float>(bc->GetFloat(PIN_DAMPING));
        constraint.elastic = bc->GetFloat(PIN_ELASTIC) != 0.0 ? 1 : 0;
    });
    return EXECUTIONRESULT::OK;
}
