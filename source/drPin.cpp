#include "drPin.h"

#include <algorithm>
#include <optional>

#include "drBinding.h"
#include "drMath.h"
#include "drObjectSupport.h"
#include "drRegistry.h"

namespace {
constexpr ElasticParameters ELASTIC{PIN_ELASTIC, PIN_STIFFNESS, PIN_DAMPING};
}

NodeData* AllocDrPin() { return NewObjClear<drPin>(); }

Bool drPin::Init(GeListNode* node) {
    BaseContainer* bc = parametersOf(node);
    initElastic(bc, constraint, ELASTIC);
    if (bc) {
        bc->SetLink(PIN_POINTS, nullptr);
        bc->SetLink(PIN_TARGET, nullptr);
        bc->SetFloat(PIN_OFFSET_SCALE, 1.0);
        bc->SetInt32(PIN_START_FRAME, 0);
    }
    solverForce = &constraint;
    return true;
}

Bool drPin::GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                         const BaseContainer* itemdesc) {
    if (const std::optional<Bool> enabled = elasticEnabling(node, id, ELASTIC)) return *enabled;
    return drForce::GetDEnabling(node, id, t_data, flags, itemdesc);
}

void drPin::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drPin::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)bh;
    return drawTargetHandles(op, drawpass, bd, constraint);
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
        readElastic(bc, constraint, ELASTIC);
    });
    return EXECUTIONRESULT::OK;
}
