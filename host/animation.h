// Keyed animation that an object carries and the host applies at every
// evaluation, before any plug-in callback runs.
#pragma once

#include "hostTypes.h"
#include "vector.h"

#include <map>
#include <vector>

class BaseObject;

/// One key of a vector track (position, rotation or scale).
struct VectorKey {
    Float frame = 0.0;  ///< frame of the key (may be fractional)
    Vector value;       ///< value at that frame
};

/// One key of a point animation: the whole point array at a frame.
struct PointsKey {
    Float frame = 0.0;
    std::vector<Vector> points;
};

/// One key of a parameter track.
struct ParameterKey {
    Float frame = 0.0;
    Float value = 0.0;  ///< an integer parameter stores its value here
};

/// Keyed parameter of the object's container.
struct ParameterTrack {
    Bool integer = false;  ///< true: SetInt32 and hold until the next key;
                           ///< false: SetFloat, linear between keys
    std::vector<ParameterKey> keys;
};

/// Animation of one object. Keys may be added in any order; evaluation
/// sorts them by frame. Every track is linear between neighbouring keys
/// (except integer parameters, which hold the earlier key's value until the
/// next key) and holds its first or last value outside the key range.
///
/// Transform: when any of position, rotation or scale has keys, the local
/// matrix becomes Move(position) * RotZ(rz) * RotY(ry) * RotX(rx) *
/// Scale(scale): the point is scaled, then rotated about X, then Y, then Z
/// (angles in degrees), then moved. A channel without keys takes its rest
/// value (restPosition, restRotation, restScale), except that with no
/// rotation and no scale keys the current axes are kept, and with no
/// position keys the current offset is kept.
///
/// Point keys replace the object's own points (a point object only); the
/// point count follows the earlier neighbouring key. Values are written only
/// when they differ from the current ones, so a held value does not mark the
/// object as changed.
class Animation {
public:
    std::vector<VectorKey> position;  ///< offset of the local matrix
    std::vector<VectorKey> rotation;  ///< degrees about X, Y, Z
    std::vector<VectorKey> scale;     ///< scale of the local axes
    Vector restPosition{0.0, 0.0, 0.0};
    Vector restRotation{0.0, 0.0, 0.0};
    Vector restScale{1.0, 1.0, 1.0};
    std::vector<PointsKey> points;                 ///< point animation
    std::map<Int32, ParameterTrack> parameters;    ///< parameter id -> track

    /// True when nothing is keyed.
    Bool IsEmpty() const;
    /// Applies every track at `frame` (fractional frames interpolate).
    void Apply(BaseObject* op, Float frame) const;

    /// The value of a vector track at frame (def when it has no keys).
    static Vector Evaluate(const std::vector<VectorKey>& keys, Float frame, const Vector& def);
    /// The value of a parameter track at frame (def when it has no keys).
    static Float Evaluate(const ParameterTrack& track, Float frame, Float def);
};
