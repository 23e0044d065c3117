// Plug-in ids of the object types and the allocators that the plug-in's
// start registers. Each allocator is defined in its class's source file.
#pragma once

#include "host.h"

constexpr Int32 ID_DRAPEON = 1038077;
constexpr Int32 ID_DRCOLLIDEMESH = 1038106;
constexpr Int32 ID_DRCOLLIDEPLANE = 1038107;
constexpr Int32 ID_DRCOLLIDESELF = 1038108;
constexpr Int32 ID_DRCOLLIDESPHERE = 1038109;
constexpr Int32 ID_DRDAMP = 1038110;
constexpr Int32 ID_DRGRAVITY = 1038111;
constexpr Int32 ID_DRNAIL = 1038112;
constexpr Int32 ID_DRPIN = 1038113;
constexpr Int32 ID_DRVOLUME = 1038114;
constexpr Int32 ID_DRSEW = 1038115;
constexpr Int32 ID_DRWIND = 1038124;
constexpr Int32 ID_DRCOLLIDECAPSULE = 1038451;

NodeData* AllocDrapeon();
NodeData* AllocDrGravity();
NodeData* AllocDrNail();
NodeData* AllocDrPin();
NodeData* AllocDrDamp();
NodeData* AllocDrCollideMesh();
NodeData* AllocDrCollidePlane();
NodeData* AllocDrCollideSphere();
NodeData* AllocDrCollideCapsule();
NodeData* AllocDrCollideSelf();
NodeData* AllocDrVolume();
NodeData* AllocDrSew();
NodeData* AllocDrWind();
