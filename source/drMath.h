// Small helpers shared by the plug-in's objects.
#pragma once

#include "host.h"

/// General inverse of a host matrix, computed in double precision. A matrix
/// whose 3 x 3 part has a determinant of exactly 0 inverts to the identity.
Matrix drInverse(const Matrix& m);

/// The integer frame of a document: the integer part (toward zero) of
/// floor(numerator * fps) / floor(denominator) of its current time.
Int32 evaluationFrame(BaseDocument* doc);
