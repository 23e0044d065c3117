#include "drVolume.h"

#include "drObjectSupport.h"
#include "drRegistry.h"

NodeData* AllocDrVolume() { return NewObjClear<drVolume>(); }

Bool drVolume::Init(GeListNode* node) {
    if (BaseContainer* bc = parametersOf(node)) {
        bc->SetFloat(VOLUME_PRESSURE, 0.1);
        bc->SetFloat(VOLUME_RATIO, 1.0);
        bc->SetFloat(VOLUME_DAMPING, 0.001);
    }
    force.pressure = 0.1f;
    force.volumeRatio = 1.0f;
    force.normalDamping = 0.001f;
    solverForce = &force;
    return true;
}

void drVolume::GetDimension(BaseObject* op, Vector* mp, Vector* rad) { forceDimension(op, mp, rad); }

DRAWRESULT drVolume::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op; (void)drawpass; (void)bd; (void)bh;
    return DRAWRESULT::OK;
}

Bool drVolume::AddToExecution(BaseObject* op, PriorityList* list) { return addToExecution(op, list, 2000, 2); }

EXECUTIONRESULT drVolume::Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                  EXECUTIONFLAGS flags) {
    (void)doc; (void)bt; (void)priority; (void)flags;
    if (!op) return EXECUTIONRESULT::OK;
    const BaseContainer* bc = op->GetDataInstance();
    force.pressure = static_cast<float>(bc->GetFloat(VOLUME_PRESSURE));
    force.volumeRatio = static_cast<float>(bc->GetFloat(VOLUME_RATIO));
    force.normalDamping = static_cast<float>(bc->GetFloat(VOLUME_DAMPING));
    return EXECUTIONRESULT::OK;
}
