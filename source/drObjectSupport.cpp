#include "drObjectSupport.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "drSnail.h"
#include "drSpin.h"
#include "pool.h"

void forceDimension(BaseObject* op, Vector* mp, Vector* rad) {
    (void)op;
    if (mp) *mp = Vector(0.0, 0.0, 0.0);
    if (rad) *rad = Vector(100.0, 100.0, 100.0);
}

Bool addToExecution(BaseObject* op, PriorityList* list, Int32 priority, Int32 flags) {
    if (!list) return false;
    list->Add(op, priority, flags);
    return true;
}

PointObject* findClothInput(BaseObject* op) {
    BaseObject* cloth = op ? op->GetUp() : nullptr;
    BaseObject* input = cloth ? cloth->GetUp() : nullptr;
    if (!input || !input->IsInstanceOf(Opoint)) return nullptr;
    return ToPoint(input);
}

void gatherPoints(drSnail& constraint, BaseList2D* link, Int32 pointLimit) {
    constraint.setCount(0);
    if (!link) return;
    if (link->IsInstanceOf(Tpointselection)) {
        const BaseSelect* selection = static_cast<SelectionTag*>(link)->GetBaseSelect();
        // Segments in order, each ascending; indices the cloth does not have
        // are left out so the solver never reads past its arrays.
        std::vector<Int32> indices;
        indices.reserve(static_cast<size_t>(selection->GetCount()));
        Int32 a = 0, b = 0;
        for (Int32 seg = 0; selection->GetRange(seg, std::numeric_limits<Int32>::max(), &a, &b); ++seg)
            for (Int32 i = a; i <= b && i < pointLimit; ++i)
                if (i >= 0) indices.push_back(i);
        constraint.setCount(static_cast<int32_t>(indices.size()));
        for (size_t k = 0; k < indices.size(); ++k) {
            constraint.pointIndices[k] = indices[k];
            constraint.weights[k] = 1.0f;
        }
    } else if (link->IsInstanceOf(Tvertexmap)) {
        const VariableTag* map = static_cast<VariableTag*>(link);
        const Float32* w = map->GetDataAddressR();
        const Int32 m = std::min(map->GetDataCount(), pointLimit);
        // The threshold in the weights' own precision: a weight set to 0.001
        // is stored as the float nearest to it, which lies just above the
        // double 0.001, and must be left out like the value it stands for.
        const Float32 threshold = 0.001f;
        Int32 n = 0;
        for (Int32 i = 0; i < m; ++i)
            if (w[i] > threshold) ++n;
        constraint.setCount(n);
        Int32 k = 0;
        for (Int32 i = 0; i < m; ++i) {
            if (!(w[i] > threshold)) continue;
            constraint.pointIndices[k] = i;
            constraint.weights[k] = w[i];
            ++k;
        }
    }
}

PoolLockGuard::PoolLockGuard() { poolLock(); }
PoolLockGuard::~PoolLockGuard() { poolUnlock(); }

Int32 truncateToInt32(Float v) {
    if (!std::isfinite(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<Int32>::max();
    if (v <= -2147483648.0) return std::numeric_limits<Int32>::min();
    return static_cast<Int32>(v);
}

void dropEntriesBeyond(drSnail& constraint, Int32 pointCount) {
    drSpin* pin = dynamic_cast<drSpin*>(&constraint);
    const int32_t count = std::max<int32_t>(0, std::min<int32_t>(constraint.count, static_cast<int32_t>(constraint.pointIndices.size())));
    int32_t kept = 0;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t index = constraint.pointIndices[k];
        if (index < 0 || index >= pointCount) continue;
        if (kept != k) {
            constraint.pointIndices[kept] = index;
            constraint.targets[kept] = constraint.targets[k];
            constraint.weights[kept] = constraint.weights[k];
            constraint.currentTargets[kept] = constraint.currentTargets[k];
            if (pin) {
                pin->baryCoords[kept] = pin->baryCoords[k];
                pin->boundTriangles[kept] = pin->boundTriangles[k];
            }
        }
        ++kept;
    }
    if (kept != constraint.count) constraint.setCount(kept);
}

void initElastic(BaseContainer* bc, drSnail& constraint, const ElasticParameters& ids) {
    if (bc) {
        bc->SetFloat(ids.elastic, 0.0);
        bc->SetFloat(ids.stiffness, 0.1);
        bc->SetFloat(ids.damping, 0.01);
    }
    constraint.elastic = 0;
    constraint.stiffness = 0.1f;
    constraint.damping = 0.01f;
}

void readElastic(const BaseContainer* bc, drSnail& constraint, const ElasticParameters& ids) {
    constraint.elastic = bc->GetFloat(ids.elastic) != 0.0 ? 1 : 0;
    constraint.stiffness = static_cast<float>(bc->GetFloat(ids.stiffness));
    constraint.damping = static_cast<float>(bc->GetFloat(ids.damping));
}

std::optional<Bool> elasticEnabling(GeListNode* node, const DescID& id, const ElasticParameters& ids) {
    if (id[0].id != ids.stiffness && id[0].id != ids.damping) return std::nullopt;
    const BaseContainer* bc = parametersOf(node);
    return bc && bc->GetFloat(ids.elastic) != 0.0;
}

DRAWRESULT drawTargetHandles(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, const drSnail& constraint) {
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
