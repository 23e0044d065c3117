// The contact response shared by the plane, sphere and capsule colliders.
// Colliders add no repulsion: they correct the state of a point in contact.
#pragma once

#include "drSvec.h"

/// Squared distances below this give no usable contact direction (a point on
/// a capsule's axis or at a sphere's centre); such points are skipped.
constexpr float contactMinDistanceSquared = 1e-11f;

/// Velocity and force correction of a point in contact, after the caller has
/// projected it out of the shape. `normal` is the unit outward normal,
/// `damping` the velocity damping factor, `friction` the friction coefficient.
inline void respondToContact(drSvec3& velocity, drSvec3& force, const drSvec3& normal, float damping,
                             float friction) {
    // Remove the inward normal velocity (no bounce).
    const float vn = dot(normal, velocity);
    if (vn < 0.0f) velocity -= vn * normal;

    // Damp every point of the contact band.
    force -= damping * velocity;

    // Remove the force that pushes into the surface; a pulling force ends here.
    const float fn = dot(normal, force);
    if (!(fn < 0.0f)) return;
    force -= fn * normal;

    // Friction: the normal force bounds the tangential force it can hold.
    if (friction == 0.0f) return;
    const float limit = -fn * friction;
    const float t = length(force);
    if (limit > t) {
        force = drSvec3{};
        velocity = drSvec3{};
    } else if (t > 0.0f) {
        // A zero tangential force that did not stick (the limit underflowed
        // to 0, or friction is negative) has nothing to scale; dividing by it
        // would give a NaN.
        force *= 1.0f - limit / t;
    }
}
