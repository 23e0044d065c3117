// The per-point passes of a sub-step over the packed triples of the cloth,
// in the widest vector lanes in use (drSlaneWidth). Every point sees the
// operations of the plain loop in the same order, so every width gives
// the same bits.
#pragma once

#include <cstdint>

#include "drSvec.h"

/// Semi-implicit Euler over points [begin, end): v += (dt / m) f, then p += dt v.
void drSintegratePoints(const float* masses, const drSvec3* forces, drSvec3* velocities, drSvec3* positions,
                        float dt, int32_t begin, int32_t end);
/// forces[i] += g * m[i] over points [begin, end).
void drSaddWeights(const drSvec3& g, const float* masses, drSvec3* forces, int32_t begin, int32_t end);
/// forces[i] -= damping * velocities[i] over points [begin, end).
void drSaddDrag(float damping, const drSvec3* velocities, drSvec3* forces, int32_t begin, int32_t end);
/// Largest |f|^2 / m^2 over points [begin, end), or `start` if none is
/// larger; values that are not a number never win.
float drSlargestAcceleration(const float* masses, const drSvec3* forces, int32_t begin, int32_t end, float start);
