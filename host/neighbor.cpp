#include "neighbor.h"

#include "baseObject.h"
#include "baseSelect.h"
#include "drSedges.h"

#include <cstddef>
#include <unordered_map>

static_assert(sizeof(CPolygon) == sizeof(drSpolygon) && offsetof(CPolygon, a) == offsetof(drSpolygon, a) &&
                  offsetof(CPolygon, b) == offsetof(drSpolygon, b) && offsetof(CPolygon, c) == offsetof(drSpolygon, c) &&
                  offsetof(CPolygon, d) == offsetof(drSpolygon, d),
              "a host polygon must be usable as a core polygon");

/// The core's edge table over the (selected) polygons, plus what the host
/// adds: edge numbers, per-polygon records and the mapping of a selection.
struct Neighbor::Impl {
    drSedges edges;
    Int32 pointCount = 0;
    Int32 polyCount = 0;
    std::vector<PolyInfo> info;               ///< per input polygon
    std::vector<Int32> toLocal;               ///< input polygon -> table polygon, or -1
    std::vector<Int32> toInput;               ///< table polygon -> input polygon
    std::vector<std::vector<Int32>> pointPolys;  ///< per point, input numbers
    Int32 edgeCount = 0;
};

Neighbor::Neighbor() = default;
Neighbor::~Neighbor() = default;

Bool Neighbor::Init(Int32 pointCount, const CPolygon* polygons, Int32 polyCount, const BaseSelect* bs) {
    impl_.reset();
    if (pointCount < 0 || polyCount < 0 || (polyCount > 0 && polygons == nullptr)) return false;
    auto impl = std::make_unique<Impl>();
    impl->pointCount = pointCount;
    impl->polyCount = polyCount;

    // The polygons that take part, in input order.
    std::vector<drSpolygon> used;
    impl->toLocal.assign(static_cast<size_t>(polyCount), -1);
    for (Int32 p = 0; p < polyCount; ++p) {
        if (bs != nullptr && !bs->IsSelected(p)) continue;
        impl->toLocal[static_cast<size_t>(p)] = static_cast<Int32>(used.size());
        impl->toInput.push_back(p);
        const CPolygon& q = polygons[p];
        used.push_back(drSpolygon{q.a, q.b, q.c, q.d});
    }
    if (!impl->edges.build(pointCount, used.data(), static_cast<Int32>(used.size()))) return false;

    // Per-side records; edges are numbered where they are first reported.
    std::unordered_map<UInt64, Int32> edgeNumber;
    impl->info.resize(static_cast<size_t>(polyCount));
    for (Int32 p = 0; p < polyCount; ++p) {
        PolyInfo& pi = impl->info[static_cast<size_t>(p)];
        const Int32 local = impl->toLocal[static_cast<size_t>(p)];
        for (Int32 k = 0; k < 4; ++k) {
            pi.face[k] = NOTOK;
            pi.edge[k] = NOTOK;
            pi.mark[k] = true;
        }
        if (local < 0) continue;
        const drSpolygon& q = used[static_cast<size_t>(local)];
        for (Int32 k = 0; k < 4; ++k) {
            const Int32 u = q[k], w = q[k + 1];
            pi.mark[k] = impl->edges.sideReported(local, k);
            if (u == w) continue;
            const Int32 across = impl->edges.neighbor(u, w, local);
            pi.face[k] = across < 0 ? NOTOK : impl->toInput[static_cast<size_t>(across)];
            const UInt64 key = (static_cast<UInt64>(static_cast<UInt32>(u < w ? u : w)) << 32) |
                               static_cast<UInt32>(u < w ? w : u);
            auto it = edgeNumber.find(key);
            if (it == edgeNumber.end()) it = edgeNumber.emplace(key, static_cast<Int32>(edgeNumber.size())).first;
            pi.edge[k] = it->second;
        }
    }
    impl->edgeCount = impl->edges.edgeCount();

    // Polygons around each point, in input numbers (ascending, as the
    // selection keeps the input order).
    impl->pointPolys.resize(static_cast<size_t>(pointCount));
    for (Int32 pt = 0; pt < pointCount; ++pt) {
        const std::vector<int32_t>& around = impl->edges.pointPolygons(pt);
        std::vector<Int32>& out = impl->pointPolys[static_cast<size_t>(pt)];
        out.reserve(around.size());
        for (const int32_t local : around) out.push_back(impl->toInput[static_cast<size_t>(local)]);
    }
    impl_ = std::move(impl);
    return true;
}

Int32 Neighbor::GetEdgeCount() const { return impl_ ? impl_->edgeCount : 0; }

const PolyInfo* Neighbor::GetPolyInfo(Int32 poly) const {
    if (!impl_ || poly < 0 || poly >= impl_->polyCount) return nullptr;
    return &impl_->info[static_cast<size_t>(poly)];
}

Int32 Neighbor::GetNeighbor(Int32 a, Int32 b, Int32 poly) const {
    if (!impl_ || poly < 0 || poly >= impl_->polyCount) return NOTOK;
    const Int32 local = impl_->toLocal[static_cast<size_t>(poly)];
    if (local < 0) return NOTOK;
    const Int32 across = impl_->edges.neighbor(a, b, local);
    return across < 0 ? NOTOK : impl_->toInput[static_cast<size_t>(across)];
}

void Neighbor::GetPointPolys(Int32 point, Int32** dadr, Int32* dcnt) const {
    if (dadr) *dadr = nullptr;
    if (dcnt) *dcnt = 0;
    if (!impl_ || point < 0 || point >= impl_->pointCount) return;
    std::vector<Int32>& list = impl_->pointPolys[static_cast<size_t>(point)];
    if (list.empty()) return;
    if (dadr) *dadr = list.data();
    if (dcnt) *dcnt = static_cast<Int32>(list.size());
}
