// Nail object: holds chosen cloth points at their rest positions, carried
// along by the nail object's own world matrix.
#pragma once

#include "drForce.h"
#include "drSnail.h"

constexpr Int32 NAIL_ELASTIC = 1000;
constexpr Int32 NAIL_STIFFNESS = 1001;
constexpr Int32 NAIL_DAMPING = 1002;
constexpr Int32 NAIL_POINTS = 1003;

class drNail : public drForce {
public:
    Bool Init(GeListNode* node) override;
    Bool GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                      const BaseContainer* itemdesc) override;
    void GetDimension(BaseObject* op, Vector* mp, Vector* rad) override;
    DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) override;
    Bool AddToExecution(BaseObject* op, PriorityList* list) override;
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                            EXECUTIONFLAGS flags) override;

    drSnail constraint;  ///< the solver constraint this object hands to the cloth
};
