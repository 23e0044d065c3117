#include "animation.h"

#include "baseObject.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

/// Indices of the keys around frame in keys sorted by frame: lo == hi
/// outside the key range (the value is held) or on a key.
template <typename Key>
void bracket(const std::vector<const Key*>& keys, Float frame, size_t& lo, size_t& hi, Float& t) {
    t = 0.0;
    if (frame <= keys.front()->frame) { lo = hi = 0; return; }
    if (frame >= keys.back()->frame) { lo = hi = keys.size() - 1; return; }
    hi = 1;
    while (keys[hi]->frame <= frame) ++hi;
    lo = hi - 1;
    const Float span = keys[hi]->frame - keys[lo]->frame;
    t = span > 0.0 ? (frame - keys[lo]->frame) / span : 0.0;
}

/// The keys ordered by frame (stable: equal frames keep their order).
template <typename Key>
std::vector<const Key*> sortedKeys(const std::vector<Key>& keys) {
    std::vector<const Key*> out;
    out.reserve(keys.size());
    for (const Key& k : keys) out.push_back(&k);
    std::stable_sort(out.begin(), out.end(), [](const Key* a, const Key* b) { return a->frame < b->frame; });
    return out;
}

Float lerp(Float a, Float b, Float t) { return a + (b - a) * t; }

Vector lerp(const Vector& a, const Vector& b, Float t) {
    return Vector(lerp(a.x, b.x, t), lerp(a.y, b.y, t), lerp(a.z, b.z, t));
}

constexpr Float degrees = std::numbers::pi / 180.0;

}  // namespace

Bool Animation::IsEmpty() const {
    return position.empty() && rotation.empty() && scale.empty() && points.empty() && parameters.empty();
}

Vector Animation::Evaluate(const std::vector<VectorKey>& keys, Float frame, const Vector& def) {
    if (keys.empty()) return def;
    const auto sorted = sortedKeys(keys);
    size_t lo = 0, hi = 0;
    Float t = 0.0;
    bracket(sorted, frame, lo, hi, t);
    return lo == hi ? sorted[lo]->value : lerp(sorted[lo]->value, sorted[hi]->value, t);
}

Float Animation::Evaluate(const ParameterTrack& track, Float frame, Float def) {
    if (track.keys.empty()) return def;
    const auto sorted = sortedKeys(track.keys);
    size_t lo = 0, hi = 0;
    Float t = 0.0;
    bracket(sorted, frame, lo, hi, t);
    if (lo == hi || track.integer) return sorted[lo]->value;
    return lerp(sorted[lo]->value, sorted[hi]->value, t);
}

void Animation::Apply(BaseObject* op, Float frame) const {
    if (op == nullptr) return;

    // Transform: scale, then rotate about X, Y, Z, then move.
    if (!position.empty() || !rotation.empty() || !scale.empty()) {
        Matrix local = op->GetMl();
        if (!rotation.empty() || !scale.empty()) {
            const Vector r = Evaluate(rotation, frame, restRotation) * degrees;
            const Vector s = Evaluate(scale, frame, restScale);
            const Matrix parentFromLocal = MatrixRotZ(r.z) * MatrixRotY(r.y) * MatrixRotX(r.x) * MatrixScale(s);
            local = Matrix(local.off, parentFromLocal.v1, parentFromLocal.v2, parentFromLocal.v3);
        }
        if (!position.empty()) local.off = Evaluate(position, frame, restPosition);
        op->SetMl(local);
    }

    // Point animation: blend the two neighbouring arrays.
    if (!points.empty() && op->IsInstanceOf(Opoint)) {
        const auto sorted = sortedKeys(points);
        size_t lo = 0, hi = 0;
        Float t = 0.0;
        bracket(sorted, frame, lo, hi, t);
        const std::vector<Vector>& a = sorted[lo]->points;
        const std::vector<Vector>& b = sorted[hi]->points;
        std::vector<Vector> target = a;
        if (lo != hi && a.size() == b.size())
            for (size_t i = 0; i < a.size(); ++i) target[i] = lerp(a[i], b[i], t);
        PointObject* po = ToPoint(op);
        const Int32 n = static_cast<Int32>(target.size());
        const bool same = po->GetPointCount() == n &&
                          std::equal(target.begin(), target.end(), po->GetPointR() ? po->GetPointR() : target.data());
        if (!same) {
            po->ResizeObject(n);
            if (n > 0) std::copy(target.begin(), target.end(), po->GetPointW());
        }
    }

    // Parameters (the container ignores writes of an unchanged value).
    BaseContainer* bc = op->GetDataInstance();
    for (const auto& [id, track] : parameters) {
        if (track.keys.empty()) continue;
        const Float v = Evaluate(track, frame, 0.0);
        if (track.integer) bc->SetInt32(id, static_cast<Int32>(v));
        else bc->SetFloat(id, v);
    }
}
