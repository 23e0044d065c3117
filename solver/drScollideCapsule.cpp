#include "drScollideCapsule.h"

#include <cmath>

#include "drScloth.h"
#include "drScontact.h"
#include "drSsolver.h"

namespace {

/// m * (p, 1) for a row-major 3x4 matrix.
drSvec3 transformPoint(const float m[3][4], const drSvec3& p) {
    return {m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3],
            m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3],
            m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3]};
}

/// The 3x3 linear part of m applied to the direction v.
drSvec3 transformDirection(const float m[3][4], const drSvec3& v) {
    return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z,
            m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
            m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
}

/// Contact pass over the points [begin, end).
void collideCapsuleRange(const drScollideCapsule& capsule, drScloth& cloth, int32_t begin, int32_t end) {
    const auto& worldFromLocal = capsule.localToWorld;
    const auto& localFromWorld = capsule.worldToLocal;
    const float h = capsule.halfLength;
    const float r = capsule.radius;
    const float R = r + capsule.thickness;
    const float RSq = R * R;
    drSvec3* positions = cloth.positions.data();
    drSvec3* velocities = cloth.velocities.data();
    drSvec3* forces = cloth.forces.data();
    for (int32_t i = begin; i < end; ++i) {
        // Find the local normal and surface point: side, top cap or bottom
        // cap; points beyond the tips are not tested.
        const drSvec3 local = transformPoint(localFromWorld, positions[i]);
        const float x = local.x, y = local.y, z = local.z;
        const bool side = -h <= z && z <= h;
        float capCentre;  // z of the nearest cap centre (unused on the side)
        if (side) {
            capCentre = 0.0f;
        } else if (0.0f < z && z <= h + r) {
            capCentre = h;
        } else if (-h - r <= z && z < 0.0f) {
            capCentre = -h;
        } else {
            continue;
        }
        const float w = z - capCentre;
        const float distSq = side ? x * x + y * y : x * x + y * y + w * w;
        // Out of the band, or on the axis / at a cap centre (no direction).
        if (distSq > RSq || distSq < contactMinDistanceSquared) continue;
        const float dist = std::sqrt(distSq);
        drSvec3 localNormal;
        drSvec3 surface;
        if (side) {
            localNormal = {x / dist, y / dist, 0.0f};
            surface = {r * x / dist, r * y / dist, z};
        } else {
            localNormal = {x / dist, y / dist, w / dist};
            surface = {r * localNormal.x, r * localNormal.y, r * localNormal.z + capCentre};
        }

        // World normal through the linear part, made unit length: a scaled
        // capsule would otherwise remove too much or too little of the inward
        // velocity and force. A degenerate matrix gives no direction.
        const drSvec3 scaledNormal = transformDirection(worldFromLocal, localNormal);
        const float normalSq = lengthSquared(scaledNormal);
        if (!(normalSq > 0.0f)) continue;
        const drSvec3 normal = scaledNormal * (1.0f / std::sqrt(normalSq));

        // Project a penetrating point onto the surface, then respond.
        if (dist < r) positions[i] = transformPoint(worldFromLocal, surface);
        respondToContact(velocities[i], forces[i], normal, capsule.damping, capsule.friction);
    }
}

}  // namespace

void drScollideCapsule::apply(drScloth& cloth, drSsolver& solver) {
    drSforce* self = this;
    runPointwise(&self, 1, cloth, solver, false, nullptr);
}

void drScollideCapsule::applyPoints(drScloth& cloth, int32_t begin, int32_t end) {
    collideCapsuleRange(*this, cloth, begin, end);
}
