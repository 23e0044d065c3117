// Common base of the collider, force and constraint objects: each owns one
// solver force and hands it to the cloth object above it.
#pragma once

#include "drSforce.h"
#include "host.h"

class drForce : public ObjectData {
public:
    /// The solver force embedded in this object; set by Init. Not owning.
    drSforce* solverForce = nullptr;
};
