#include "drSew.h"

#include <algorithm>
#include <cstdint>

#include "drMath.h"
#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrSew() { return NewObjClear<drSew>(); }

Int32 borderStep(const Neighbor& adjacency, const CPolygon* polygons, Int32 p, BorderDirection direction) {
    Int32* around = nullptr;
    Int32 aroundCount = 0;
    adjacency.GetPointPolys(p, &around, &aroundCount);
    for (Int32 k = 0; k < aroundCount; ++k) {
        const Int32 j = around[k];
        const CPolygon& poly = polygons[j];
        Int32 corner = 0;
        while (corner < 4 && poly[corner] != p) ++corner;
        if (corner == 4) continue;
        const Int32 size = poly.IsTriangle() ? 3 : 4;
        const Int32 r = direction == BorderDirection::PREVIOUS ? (corner + size - 1) % size : (corner + 1) % size;
        const Int32 w = poly[r];
        if (adjacency.GetNeighbor(p, w, j) == NOTOK) return w;
    }
    return p;  // on no border: the walker stays
}

Bool drSew::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetLink(SEW_POINTS, nullptr);
        bc->SetInt32(SEW_COUNT, 4);
        bc->SetFloat(SEW_STIFFNESS, 1.0);
        bc->SetFloat(SEW_DAMPING, 100.0);
    }
    constraint.stiffness = 1.0f;
    constraint.damping = 100.0f;
    builtCount = 0;
    solverForce = &constraint;
    return true;
}

void drSew::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drSew::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)bh;
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    bd->SetMatrix_Matrix(op, Matrix());
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    const PointObject* input = findClothInput(op);
    if (!input) return DRAWRESULT::OK;
    // The seams on the cloth as last simulated.
    if (BaseObject* cache = input->GetDeformCache(); cache && cache->IsInstanceOf(Opoint)) input = ToPoint(cache);
    bd->SetMatrix_Matrix(op, input->GetMg());
    const Int32 n = input->GetPointCount();
    const Vector* P = input->GetPointR();
    const Int32 pairs = std::min<Int32>(constraint.count, static_cast<Int32>(constraint.pairs.size()));
    for (Int32 k = 0; k < pairs; ++k) {
        const auto& pair = constraint.pairs[k];
        if (pair[0] < 0 || pair[1] < 0 || pair[0] >= n || pair[1] >= n) continue;
        bd->DrawLine(P[pair[0]], P[pair[1]]);
    }
    return DRAWRESULT::OK;
}

Bool drSew::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drSew::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                               EXECUTIONFLAGS flags) {
    (void)bt; (void)priority; (void)flags;
    if (!op || !doc) return EXECUTIONRESULT::OK;
    withoutExceptions([&] {
        const BaseContainer* bc = op->GetDataInstance();
        const Int32 frame = evaluationFrame(doc);
        const Int32 n = bc->GetInt32(SEW_COUNT);
        const bool forward = n >= 0;
        PointObject* input = findClothInput(op);
        if (!input) return;
        const Int32 pointCount = input->GetPointCount();
        // A border has no more points than the mesh: stitches beyond the
        // point count only sew points sewn already, so they are not made
        // (a count of two billion would otherwise take the machine's memory).
        const Int32 pairCount = std::min(n >= 0 ? n : (n == INT32_MIN ? INT32_MAX : -n), pointCount);

        if (frame != 0) {
            // Only pairs built at frame 0 can be switched on again.
            if (pairCount <= builtCount) constraint.count = pairCount;
            // A mesh that lost points since the build would send the solver
            // past the cloth's arrays: stop sewing until frame 0 rebuilds.
            for (Int32 k = 0; k < constraint.count; ++k) {
                const auto& pair = constraint.pairs[k];
                if (pair[0] >= pointCount || pair[1] >= pointCount) {
                    constraint.count = 0;
                    break;
                }
            }
        } else {
            BaseList2D* link = bc->GetLink(SEW_POINTS, doc);
            if (!link || !link->IsInstanceOf(Tpointselection)) return;
            const BaseSelect* selection = static_cast<SelectionTag*>(link)->GetBaseSelect();
            Int32 ends[2];
            Int32 found = 0;
            Int32 a = 0, b = 0;
            for (Int32 seg = 0; found < 2 && selection->GetRange(seg, INT32_MAX, &a, &b); ++seg)
                for (Int32 i = a; i <= b && found < 2; ++i) ends[found++] = i;
            if (found < 2) return;
            // Points the mesh does not have: no walk can start there.
            if (ends[0] < 0 || ends[1] < 0 || ends[0] >= pointCount || ends[1] >= pointCount) return;

            const CPolygon* polygons = nullptr;
            Int32 polygonCount = 0;
            if (input->IsInstanceOf(Opolygon)) {
                polygons = ToPoly(input)->GetPolygonR();
                polygonCount = ToPoly(input)->GetPolygonCount();
            }
            Neighbor adjacency;
            if (!adjacency.Init(pointCount, polygons, polygonCount)) return;  // corner outside the points

            // Until the pairs are in place, none is in use.
            constraint.count = 0;
            builtCount = 0;
            constraint.pairs.resize(static_cast<size_t>(pairCount));
            Int32 p = ends[0], q = ends[1];
            const BorderDirection first = forward ? BorderDirection::PREVIOUS : BorderDirection::NEXT;
            const BorderDirection second = forward ? BorderDirection::NEXT : BorderDirection::PREVIOUS;
            for (Int32 k = 0; k < pairCount; ++k) {
                constraint.pairs[k] = {p, q};
                p = borderStep(adjacency, polygons, p, first);
                q = borderStep(adjacency, polygons, q, second);
            }
            builtCount = pairCount;
            constraint.count = pairCount;
        }
        constraint.stiffness = static_cast<float>(bc->GetFloat(SEW_STIFFNESS));
        constraint.damping = static_cast<float>(bc->GetFloat(SEW_DAMPING));
    });
    return EXECUTIONRESULT::OK;
}
