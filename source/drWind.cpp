#include "drWind.h"

#include <cmath>

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrWind() { return NewObjClear<drWind>(); }

Bool drWind::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(WIND_STRENGTH, 0.1);
        bc->SetFloat(WIND_GUST, 0.1);
        bc->SetFloat(WIND_ANGLE, 20.0);  // radians, as the wind uses it
        bc->SetInt32(WIND_PERIOD, 30);
        bc->SetInt32(WIND_BOTH_SIDES, 0);
    }
    // The force keeps its construction values until the first evaluation.
    solverForce = &force;
    return true;
}

void drWind::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drWind::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    if (!drawsInPass(drawpass) || !op || !bd) return DRAWRESULT::OK;
    const Float a = op->GetDataInstance()->GetFloat(WIND_ANGLE);
    const Matrix mg = drawingMatrix(op, bh);
    bd->SetMatrix_Matrix(op, mg);
    bd->SetPen(Vector(1.0, 1.0, 1.0));
    const Vector origin(0.0, 0.0, 0.0);
    bd->DrawLine(origin, Vector(100.0 * std::cos(a), 0.0, 100.0 * std::sin(a)));
    bd->DrawLine(origin, Vector(100.0 * std::cos(a), 0.0, -100.0 * std::sin(a)));
    // The arc is drawn in the matrix's XY plane: exchanging Y and Z puts it
    // into the object's XZ plane, joining the ends of the two lines.
    Matrix arcMatrix = mg;
    arcMatrix.v2 = mg.v3;
    arcMatrix.v3 = mg.v2;
    bd->SetMatrix_Matrix(op, arcMatrix);
    bd->DrawArc(origin, 100.0, -a, a, 32, 0);
    return DRAWRESULT::OK;
}

Bool drWind::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drWind::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                EXECUTIONFLAGS flags) {
    (void)doc; (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    const Matrix mg = op->GetMg();
    // The strength factor is the single-precision value of 0.001.
    const float s = static_cast<float>(bc->GetFloat(WIND_STRENGTH) * 0.0010000000474974513);
    force.windBase = toSolver(mg.v1 * static_cast<Float>(s));  // blows along the object's X axis
    const float t = std::sin(static_cast<float>(bc->GetFloat(WIND_ANGLE))) * s;
    force.windVariation = toSolver(mg.v3 * static_cast<Float>(t));
    force.strengthVariation = static_cast<float>(bc->GetFloat(WIND_GUST));
    force.sideMode = bc->GetBool(WIND_BOTH_SIDES) ? 0 : -1;
    force.noisePeriod = static_cast<float>(bc->GetInt32(WIND_PERIOD));
    // The seed is left alone: at 0 the wind draws a new one at every reset.
    return EXECUTIONRESULT::OK;
}
