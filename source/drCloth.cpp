#include "drCloth.h"

#include "cache.h"
#include "drForce.h"
#include "drMath.h"
#include "drRegistry.h"
#include "drScollideSelf.h"
#include "drSedges.h"
#include "drSspringNetwork.h"
#include "drSsew.h"
#include "drStriangleNode.h"
#include "pool.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

NodeData* AllocDrapeon() { return NewObjClear<drapeon>(); }

namespace {

/// Holds the job pool's global lock for a scope, so that no way out of an
/// evaluation leaves it taken.
class PoolLockGuard {
public:
    PoolLockGuard() { poolLock(); }
    ~PoolLockGuard() { poolUnlock(); }
    PoolLockGuard(const PoolLockGuard&) = delete;
    PoolLockGuard& operator=(const PoolLockGuard&) = delete;
};

/// The host types whose objects act on a cloth from below it: the collider,
/// force and constraint types (1038116 to 1038119 are menu separators, of
/// which no object exists).
bool isAcceptedChildType(Int32 type) {
    return (type >= ID_DRCOLLIDEMESH && type <= 1038119) || type == ID_DRWIND || type == ID_DRCOLLIDECAPSULE;
}

/// The text that identifies op: its 32-bit identifier in decimal, its 64-bit
/// identifier in 16 hexadecimal digits and its name. The fixed width keeps
/// two different pairs of identifiers from giving the same text.
String identityOf(const BaseObject* op) {
    char ids[48];
    std::snprintf(ids, sizeof ids, "%" PRIu32 ":%016" PRIx64 ":", op->GetUniqueIP(), op->GetGUID());
    return String(ids) + op->GetName();
}

/// True when every sew pair in use joins two points of the cloth, so that
/// the sew force may act on it.
bool sewPairsInside(const drSsew& sew, int32_t pointCount) {
    const int32_t count = sew.usableCount();
    for (int32_t k = 0; k < count; ++k) {
        const auto& pair = sew.pairs[static_cast<size_t>(k)];
        if (pair[0] < 0 || pair[0] >= pointCount || pair[1] < 0 || pair[1] >= pointCount) return false;
    }
    return true;
}

/// A host point p transformed by worldFromLocal, computed in double and
/// stored in single precision.
drSvec3 toWorld(const Matrix& worldFromLocal, const Vector& p) {
    const Vector w = worldFromLocal * p;
    return {static_cast<float>(w.x), static_cast<float>(w.y), static_cast<float>(w.z)};
}

}  // namespace

Bool drapeon::Init(GeListNode* node) {
    auto* list = static_cast<BaseList2D*>(node);
    if (list == nullptr) return true;
    BaseContainer* data = list->GetDataInstance();
    data->SetFloat(DRAPEON_MASS, 10.0);
    data->SetFloat(DRAPEON_STIFFNESS, 30.0);
    data->SetFloat(DRAPEON_DAMPING, 1.0);
    data->SetFloat(DRAPEON_SHEAR, 0.8);
    data->SetFloat(DRAPEON_BEND, 0.2);
    data->SetInt32(DRAPEON_SETTLE_FRAME, 0);
    return true;
}

Bool drapeon::ModifyObject(BaseObject* mod, BaseDocument* doc, BaseObject* op, const Matrix& op_mg,
                           const Matrix& mod_mg, Float lod, Int32 flags, BaseThread* thread) {
    (void)op_mg; (void)mod_mg; (void)lod; (void)flags; (void)thread;

    // Only point objects with points are simulated; the rest pass unchanged
    if (mod == nullptr || doc == nullptr || op == nullptr || !op->IsInstanceOf(Opoint)) return true;
    if (ToPoint(op)->GetPointCount() == 0) return true;

    try {
        PoolLockGuard lock;
        try {
            evaluate(mod, doc, ToPoint(op));
        } catch (...) {
            // Out of memory part way: the arrays may no longer agree with
            // each other, so start over from the input at the next evaluation
            discardBuild();
        }
    } catch (...) {
    }
    return true;
}

void drapeon::evaluate(BaseObject* mod, BaseDocument* doc, PointObject* op) {
    const Int32 n = op->GetPointCount();
    const BaseContainer* data = mod->GetDataInstance();

    // Rebuild when the point count or the input object changed
    const Int32 oldCount = cloth.pointCount;
    bool rebuild = n != cloth.pointCount;
    const String key = identityOf(op);
    if (key != identityKey) {
        identityKey = key;
        rebuild = true;
    }

    const Int32 frame = evaluationFrame(doc);
    const Vector* P = op->GetPointR();

    // Points, springs and triangles, from the input's own coordinates
    if (rebuild) {
        cloth.pointCount = n;
        cloth.resizePoints();

        std::vector<drSpolygon> polygons;
        if (op->IsInstanceOf(Opolygon)) {
            const PolygonObject* poly = ToPoly(op);
            const CPolygon* source = poly->GetPolygonR();
            polygons.resize(static_cast<size_t>(poly->GetPolygonCount()));
            for (size_t p = 0; p < polygons.size(); ++p)
                polygons[p] = drSpolygon{source[p].a, source[p].b, source[p].c, source[p].d};
        }
        std::vector<double> points(static_cast<size_t>(n) * 3);
        for (Int32 i = 0; i < n; ++i) {
            points[static_cast<size_t>(i) * 3 + 0] = P[i].x;
            points[static_cast<size_t>(i) * 3 + 1] = P[i].y;
            points[static_cast<size_t>(i) * 3 + 2] = P[i].z;
        }
        const Int32 polygonCount = static_cast<Int32>(polygons.size());
        drSedges edges;
        edges.build(n, polygons.data(), polygonCount);
        buildSpringNetwork(n, points.data(), polygons.data(), polygonCount, edges, stretchSprings, shearSprings,
                           bendSprings, cloth);
    }

    // Masses and tolerance from the largest extent of the input's box
    const Float mass = data->GetFloat(DRAPEON_MASS, 0.0);
    if (rebuild || mass != static_cast<Float>(storedMass)) {
        storedMass = static_cast<float>(mass);
        Vector lo = P[0];
        Vector hi = P[0];
        for (Int32 i = 1; i < n; ++i) {
            lo.x = std::fmin(lo.x, P[i].x);
            lo.y = std::fmin(lo.y, P[i].y);
            lo.z = std::fmin(lo.z, P[i].z);
            hi.x = std::fmax(hi.x, P[i].x);
            hi.y = std::fmax(hi.y, P[i].y);
            hi.z = std::fmax(hi.z, P[i].z);
        }
        float extent = static_cast<float>(hi.x - lo.x);
        if (static_cast<float>(hi.y - lo.y) > extent) extent = static_cast<float>(hi.y - lo.y);
        if (static_cast<float>(hi.z - lo.z) > extent) extent = static_cast<float>(hi.z - lo.z);
        solver.tolerance = extent * 0.001f;
        const float pointMass = extent * static_cast<float>(mass) / static_cast<float>(n);
        for (float& m : cloth.masses) m = pointMass;
    }

    // The force list: the three spring sets first, in this order
    solver.clearForces();
    solver.addForce(&stretchSprings);
    solver.addForce(&shearSprings);
    solver.addForce(&bendSprings);
    std::fill(cloth.pointFlags.begin(), cloth.pointFlags.end(), uint8_t{0});

    // The children's forces, one level deep, in child order
    for (BaseObject* child = mod->GetDown(); child != nullptr; child = child->GetNext()) {
        if (!isAcceptedChildType(child->GetType())) continue;
        auto* owner = dynamic_cast<drForce*>(child->GetNodeData());
        if (owner == nullptr || owner->solverForce == nullptr) continue;
        drSforce* force = owner->solverForce;

        if (force->typeId() == 11) {
            // Self collision reads the cloth's flags and, through its tree,
            // the cloth's live positions. A tree made for more points than
            // the cloth holds would read past its arrays: leave it out.
            auto* self = static_cast<drScollideSelf*>(force);
            drStriangleNode* tree = self->tree;
            if (self->pointCount > n || (tree != nullptr && tree->pointCount > n)) continue;
            self->pointFlags = cloth.pointFlags.data();
            // A tree still pointing at an earlier position array would read
            // freed memory: it is handed the current one as well
            if (tree != nullptr &&
                (tree->positions == nullptr || (tree->ownsPositions == 0 && tree->positions != cloth.positions.data()))) {
                tree->setPositions(cloth.positions.data());
                tree->setOffsets(tree->upperOffset, tree->lowerOffset);
            }
        } else if (force->typeId() == 22) {
            // Sewn points are flagged; pairs outside the cloth would make
            // the sew force write past its arrays: leave it out
            const auto* sew = static_cast<const drSsew*>(force);
            if (!sewPairsInside(*sew, n)) continue;
            const int32_t count = sew->usableCount();
            for (int32_t k = 0; k < count; ++k) {
                const auto& pair = sew->pairs[static_cast<size_t>(k)];
                cloth.pointFlags[static_cast<size_t>(pair[0])] = 1;
                cloth.pointFlags[static_cast<size_t>(pair[1])] = 1;
            }
        }
        solver.addForce(force);
    }

    // Settling period: extra damping before the settle frame
    const Float settleFrame = std::trunc(data->GetFloat(DRAPEON_SETTLE_FRAME, 0.0));
    if (settleFrame >= 1.0 && static_cast<Float>(frame) < settleFrame) {
        solver.addForce(&settleDamping);
        settleDamping.damping = solver.tolerance * 20.0f;
    }

    // Cache base name, as 7-bit text so that any name gives a usable file name
    const Filename cachePath = data->GetFilename(DRAPEON_CACHE_PATH);
    if (cachePath.IsPopulated()) {
        char base[kCacheNameSize];
        cachePath.GetCString(base, kCacheNameSize, STRINGENCODING::BIT7HEX);
        cloth.setCachePath(base);
    } else {
        cloth.setCachePath(nullptr);
    }

    // Spring constants, computed in double and stored in single precision
    stretchSprings.stiffness = static_cast<float>(data->GetFloat(DRAPEON_STIFFNESS, 0.0));
    stretchSprings.damping = static_cast<float>(data->GetFloat(DRAPEON_DAMPING, 0.0));
    const Float shear = data->GetFloat(DRAPEON_SHEAR, 0.0);
    const Float bend = data->GetFloat(DRAPEON_BEND, 0.0);
    shearSprings.stiffness = static_cast<float>(static_cast<Float>(stretchSprings.stiffness) * shear);
    shearSprings.damping = static_cast<float>(static_cast<Float>(stretchSprings.damping) * shear);
    bendSprings.stiffness = static_cast<float>(static_cast<Float>(stretchSprings.stiffness) * bend);
    bendSprings.damping = static_cast<float>(static_cast<Float>(stretchSprings.damping) * bend);

    const Matrix worldFromLocal = op->GetMg();
    if (frame == 0) {
        // Frame 0 starts the simulation from the input's shape, at rest
        solver.step = 0.1f;
        solver.time = 0.0f;
        solver.previousTime = 0.0f;
        solver.resetForces();
        solver.maxStep = 0.5f;
        for (Int32 i = 0; i < n; ++i) {
            cloth.positions[static_cast<size_t>(i)] = toWorld(worldFromLocal, P[i]);
            cloth.velocities[static_cast<size_t>(i)] = drSvec3{};
        }
    } else if (rebuild && oldCount < n) {
        // Points that a rebuild added have no state yet: they start where
        // the input has them, at rest, as they would at frame 0
        for (Int32 i = oldCount < 0 ? 0 : oldCount; i < n; ++i) {
            cloth.positions[static_cast<size_t>(i)] = toWorld(worldFromLocal, P[i]);
            cloth.velocities[static_cast<size_t>(i)] = drSvec3{};
        }
    }

    solver.advanceTo(cloth, static_cast<float>(frame));

    // Back into the input's own coordinates
    const Matrix localFromWorld = drInverse(worldFromLocal);
    Vector* out = op->GetPointW();
    for (Int32 i = 0; i < n; ++i) {
        const drSvec3& p = cloth.positions[static_cast<size_t>(i)];
        out[i] = localFromWorld * Vector(p.x, p.y, p.z);
    }
    op->Message(MSG_UPDATE);
}

void drapeon::discardBuild() {
    identityKey = String();
    cloth.pointCount = 0;
    cloth.resizePoints();
    cloth.triangleCount = 0;
    cloth.resizeTriangles();
    stretchSprings.resize(0);
    shearSprings.resize(0);
    bendSprings.resize(0);
    solver.clearForces();
}

void drapeon::CheckDirty(BaseObject* op, BaseDocument* doc) {
    if (op == nullptr || doc == nullptr) return;
    // The solver's time rounds up by 0.001, so 6.9995 counts as frame 7
    const float reached = std::trunc(solver.time + 0.001f);
    if (static_cast<Float>(reached) != static_cast<Float>(evaluationFrame(doc))) op->SetDirty(DIRTYFLAGS::DATA);
}

Bool drapeon::Message(GeListNode* node, Int32 type, void* data) {
    if (node == nullptr) return true;
    try {
        switch (type) {
            case MSG_MENUPREPARE:
                static_cast<BaseObject*>(node)->SetDeformMode(true);
                break;
            case DRAPEON_MSG_REWIND:
                if (BaseDocument* doc = node->GetDocument()) doc->SetTime(BaseTime(0.0, 1.0));
                break;
            case MSG_DESCRIPTION_COMMAND: {
                const auto* command = static_cast<const DescriptionCommand*>(data);
                if (command != nullptr && command->_descId[0].id == DRAPEON_CACHE_DELETE)
                    deleteCacheFiles(*static_cast<BaseList2D*>(node)->GetDataInstance());
                break;
            }
            default:
                break;
        }
    } catch (...) {
    }
    return true;
}

void drapeon::deleteCacheFiles(const BaseContainer& data) {
    const Filename path = data.GetFilename(DRAPEON_CACHE_PATH);
    if (path.IsEmpty()) return;
    char base[kCacheNameSize];
    path.GetCString(base, kCacheNameSize, STRINGENCODING::BIT7HEX);
    // The names are composed as the cache composes them; a name that does
    // not fit is never a cache file, so nothing is deleted for it
    char name[kCacheNameSize];
    for (int32_t frame = 0; frame <= 999; ++frame)
        if (cacheFileName(base, frame, name)) std::remove(name);
}

void drapeon::GetDimension(BaseObject* op, Vector* mp, Vector* rad) {
    (void)op;
    if (mp != nullptr) *mp = Vector(0.0, 0.0, 0.0);
    if (rad != nullptr) *rad = Vector(1.0, 1.0, 1.0);
}

DRAWRESULT drapeon::Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
    (void)op;
    if (drawpass != DRAWPASS::OBJECT || bd == nullptr || bh == nullptr) return DRAWRESULT::OK;

    // A white shirt in the object's XY plane: hem at y = 20, shoulders at
    // y = 100, sleeves out to x = 0 and x = 100, and a round neckline
    bd->SetMatrix_Matrix(nullptr, bh->GetMg());
    bd->SetPen(Vector(1.0, 1.0, 1.0), 0);
    auto line = [bd](Float x0, Float y0, Float x1, Float y1) {
        bd->DrawLine(Vector(x0, y0, 0.0), Vector(x1, y1, 0.0), 0);
    };
    line(20, 20, 20, 75);
    line(20, 75, 10, 70);
    line(10, 70, 0, 90);
    line(0, 90, 20, 100);
    line(20, 100, 36, 100);
    bd->DrawArc(Vector(50.0, 105.29, 0.0), 14.96, -2.78, -0.36, 32, 0);
    line(64, 100, 80, 100);
    line(80, 100, 100, 90);
    line(100, 90, 90, 70);
    line(90, 70, 80, 75);
    line(80, 75, 80, 20);
    line(80, 20, 20, 20);
    return DRAWRESULT::OK;
}
