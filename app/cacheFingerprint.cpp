#include "cacheFingerprint.h"

#include "drRegistry.h"
#include "pool.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>

namespace {

/// The cloth object's cache base name, left out of its own fingerprint.
constexpr Int32 kCachePath = 1006;

/// 64-bit FNV-1a over a stream of typed values; every value is preceded by
/// a tag so that different sequences cannot give the same bytes.
class Digest {
public:
    void bytes(const void* data, size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i) {
            hash_ ^= p[i];
            hash_ *= 0x100000001b3ull;
        }
    }
    void tag(char t) { bytes(&t, 1); }
    void integer(int64_t v) { bytes(&v, sizeof v); }
    void real(double v) { bytes(&v, sizeof v); }  // bit for bit: -0 and 0 differ, as they may in the solver
    void text(const std::string& s) {
        integer(static_cast<int64_t>(s.size()));
        bytes(s.data(), s.size());
    }
    void vector(const Vector& v) {
        real(v.x);
        real(v.y);
        real(v.z);
    }
    void matrix(const Matrix& m) {
        vector(m.off);
        vector(m.v1);
        vector(m.v2);
        vector(m.v3);
    }
    std::string hex() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash_));
        return text;
    }

private:
    uint64_t hash_ = 0xcbf29ce484222325ull;
};

/// Walks trees of the document into a digest and collects the trees that
/// links lead to.
class Fingerprinter {
public:
    Fingerprinter(const Scene& scene, Digest& digest) : scene_(scene), d_(digest) {}

    /// Digests the tree of `top` and then every tree linked from it, each once.
    void run(const BaseObject* top) {
        queue(top);
        while (!pending_.empty()) {
            const BaseObject* next = pending_.front();
            pending_.pop_front();
            d_.tag('T');
            d_.text(scene_.PathOf(next));
            object(next);
        }
    }

private:
    static const BaseObject* topOf(const BaseObject* op) {
        while (op->GetUp() != nullptr) op = op->GetUp();
        return op;
    }

    void queue(const BaseObject* op) {
        const BaseObject* top = topOf(op);
        if (seen_.insert(top).second) pending_.push_back(top);
    }

    void object(const BaseObject* op) {
        d_.tag('O');
        d_.integer(op->GetType());
        d_.integer(op->GetDeformMode() ? 1 : 0);
        d_.matrix(op->GetMl());
        animation(op->GetAnimation());
        container(*op->GetDataInstance(), op->GetType() == ID_DRAPEON);
        if (op->IsInstanceOf(Opoint)) {
            const PointObject* po = ToPoint(op);
            d_.tag('P');
            d_.integer(po->GetPointCount());
            for (Int32 i = 0; i < po->GetPointCount(); ++i) d_.vector(po->GetPointR()[i]);
        }
        if (op->IsInstanceOf(Opolygon)) {
            const PolygonObject* po = ToPoly(op);
            d_.tag('F');
            d_.integer(po->GetPolygonCount());
            if (po->GetPolygonCount() > 0)
                d_.bytes(po->GetPolygonR(), sizeof(CPolygon) * static_cast<size_t>(po->GetPolygonCount()));
        }
        for (const BaseTag* tag = op->GetFirstTag(); tag != nullptr; tag = tag->GetNext()) this->tag(tag);
        for (const BaseObject* child = op->GetDown(); child != nullptr; child = child->GetNext()) object(child);
        d_.tag('E');  // end of the children: keeps siblings apart from grandchildren
    }

    void tag(const BaseTag* tag) {
        d_.tag('G');
        d_.integer(tag->GetType());
        container(*tag->GetDataInstance(), false);
        if (tag->GetType() == Tpointselection) {
            for (const auto& [a, b] : static_cast<const SelectionTag*>(tag)->GetBaseSelect()->GetSegmentList()) {
                d_.integer(a);
                d_.integer(b);
            }
        } else if (tag->GetType() == Tvertexmap) {
            const auto* map = static_cast<const VariableTag*>(tag);
            d_.integer(map->GetDataCount());
            if (map->GetDataCount() > 0)
                d_.bytes(map->GetDataAddressR(), sizeof(Float32) * static_cast<size_t>(map->GetDataCount()));
        }
    }

    void container(const BaseContainer& bc, bool isCloth) {
        d_.tag('C');
        for (const auto& [id, value] : bc.GetEntries()) {
            if (isCloth && id == kCachePath) continue;
            d_.integer(id);
            d_.integer(static_cast<Int32>(value.GetType()));
            switch (value.GetType()) {
                case DA::LONG: d_.integer(value.GetInt32()); break;
                case DA::REAL: d_.real(value.GetFloat()); break;
                case DA::VECTOR: d_.vector(value.GetVector()); break;
                case DA::STRING:
                case DA::FILENAME: d_.text(value.GetString().GetStd()); break;
                case DA::ALIASLINK: link(value.GetLink(scene_.document.get())); break;
                default: break;
            }
        }
    }

    /// A link counts by its target's path; the target's tree joins the digest.
    void link(const BaseList2D* target) {
        d_.tag('L');
        if (target == nullptr) return;
        d_.text(scene_.PathOf(target));
        if (const auto* object = dynamic_cast<const BaseObject*>(target))
            queue(object);
        else if (const auto* tag = dynamic_cast<const BaseTag*>(target); tag != nullptr && tag->GetObject() != nullptr)
            queue(tag->GetObject());
    }

    void animation(const Animation& a) {
        d_.tag('A');
        for (const std::vector<VectorKey>* track : {&a.position, &a.rotation, &a.scale}) {
            d_.integer(static_cast<int64_t>(track->size()));
            for (const VectorKey& k : *track) {
                d_.real(k.frame);
                d_.vector(k.value);
            }
        }
        d_.vector(a.restPosition);
        d_.vector(a.restRotation);
        d_.vector(a.restScale);
        d_.integer(static_cast<int64_t>(a.points.size()));
        for (const PointsKey& k : a.points) {
            d_.real(k.frame);
            d_.integer(static_cast<int64_t>(k.points.size()));
            for (const Vector& p : k.points) d_.vector(p);
        }
        for (const auto& [id, track] : a.parameters) {
            d_.integer(id);
            d_.integer(track.integer ? 1 : 0);
            d_.integer(static_cast<int64_t>(track.keys.size()));
            for (const ParameterKey& k : track.keys) {
                d_.real(k.frame);
                d_.real(k.value);
            }
        }
    }

    const Scene& scene_;
    Digest& d_;
    std::deque<const BaseObject*> pending_;
    std::set<const BaseObject*> seen_;
};

}  // namespace

std::string cacheFingerprint(const Scene& scene, const SceneObject& cloth) {
    Digest digest;
    digest.text("drapeon cache 1");
    digest.integer(scene.fps);
    if constexpr (kCacheDependsOnThreadCount) digest.integer(poolProcessorCount());
    // The cloth's own place in its tree, so that two cloths of one tree differ
    digest.text(scene.PathOf(cloth.object));
    Fingerprinter(scene, digest).run(cloth.object);
    return digest.hex();
}
