#include "drSsew.h"

#include "drScloth.h"
#include "drSsolver.h"

namespace {

/// Pulls the two points of each pair in [begin, end) together, adding into F.
void sewRange(const drSsew& sew, const drScloth& cloth, drSvec3* F, int32_t begin, int32_t end) {
    const drSvec3* positions = cloth.positions.data();
    const drSvec3* velocities = cloth.velocities.data();
    for (int32_t k = begin; k < end; ++k) {
        const int32_t a = sew.pairs[k][0];
        const int32_t b = sew.pairs[k][1];
        const drSvec3 f =
            sew.stiffness * (positions[b] - positions[a]) + sew.damping * (velocities[b] - velocities[a]);
        F[a] += f;
        F[b] -= f;
    }
}

}  // namespace

int32_t drSsew::usableCount() const {
    if (count <= 0) return 0;
    const size_t n = static_cast<size_t>(count);
    return static_cast<int32_t>(n < pairs.size() ? n : pairs.size());
}

void drSsew::apply(drScloth& cloth, drSsolver& solver) {
    (void)solver;
    const int32_t n = usableCount();
    if (n == 0) return;

    // One loop over the pairs, whatever the number of workers: a seam has
    // few pairs, and two pairs may share a point.
    sewRange(*this, cloth, cloth.forces.data(), 0, n);
}

void drSsew::postStep(drScloth& cloth, drSsolver& solver) {
    (void)solver;
    const int32_t n = usableCount();
    drSvec3* positions = cloth.positions.data();
    for (int32_t k = 0; k < n; ++k) {
        const int32_t a = pairs[k][0];
        const int32_t b = pairs[k][1];
        const drSvec3 m = (positions[a] + positions[b]) * 0.5f;
        positions[a] = m;
        positions[b] = m;
    }
}
