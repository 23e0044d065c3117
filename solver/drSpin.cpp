#include "drSpin.h"

void drSpin::setCount(int32_t n) {
    drSnail::setCount(n);
    const size_t size = static_cast<size_t>(count);
    baryCoords.resize(size);
    boundTriangles.resize(size);
}
