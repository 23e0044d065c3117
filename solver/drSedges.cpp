#include "drSedges.h"

#include <algorithm>

namespace {

const std::vector<int32_t> kNoPolygons;

}  // namespace

bool drSedges::build(int32_t pointCount, const drSpolygon* polygons, int32_t polygonCount) {
    // Start from an empty table, which is also what a rejected mesh leaves.
    pointCount_ = 0;
    polygonCount_ = 0;
    edgeCount_ = 0;
    sideStart_.assign(1, 0);
    sides_.clear();
    reported_.clear();
    pointPolygons_.clear();
    if (pointCount < 0 || polygonCount < 0) return false;
    if (polygonCount > 0 && polygons == nullptr) return false;

    // Reject corner indices outside the point list.
    for (int32_t p = 0; p < polygonCount; ++p)
        for (int k = 0; k < 4; ++k)
            if (polygons[p][k] < 0 || polygons[p][k] >= pointCount) return false;
    pointCount_ = pointCount;
    polygonCount_ = polygonCount;

    // Count the real sides under their lower end.
    sideStart_.assign(static_cast<size_t>(pointCount) + 1, 0);
    for (int32_t p = 0; p < polygonCount; ++p)
        for (int k = 0; k < 4; ++k) {
            const int32_t u = polygons[p][k], w = polygons[p][k + 1];
            if (u != w) ++sideStart_[static_cast<size_t>(std::min(u, w)) + 1];
        }
    for (int32_t i = 0; i < pointCount; ++i) sideStart_[i + 1] += sideStart_[i];

    // File the sides; filling in polygon order keeps each bucket in side order.
    sides_.resize(static_cast<size_t>(sideStart_[pointCount]));
    std::vector<int32_t> fill(sideStart_.begin(), sideStart_.end() - 1);
    for (int32_t p = 0; p < polygonCount; ++p)
        for (int k = 0; k < 4; ++k) {
            const int32_t u = polygons[p][k], w = polygons[p][k + 1];
            if (u == w) continue;
            sides_[fill[std::min(u, w)]++] = {std::max(u, w), p * 4 + k};
        }
    fill = {};

    // Sort every bucket by the higher end; the first side of each run of
    // equal ends is the one that reports the edge.
    reported_.assign(static_cast<size_t>(polygonCount) * 4, 1);
    for (int32_t i = 0; i < pointCount; ++i) {
        Side* begin = sides_.data() + sideStart_[i];
        Side* end = sides_.data() + sideStart_[i + 1];
        std::sort(begin, end, [](const Side& l, const Side& r) {
            return l.high != r.high ? l.high < r.high : l.side < r.side;
        });
        for (Side* s = begin; s != end; ++s)
            if (s == begin || s[-1].high != s->high) {
                reported_[s->side] = 0;
                ++edgeCount_;
            }
    }

    // Polygons around each point, every polygon once even with repeated corners.
    std::vector<int32_t> around(static_cast<size_t>(pointCount), 0);
    auto distinctCorner = [](const drSpolygon& poly, int k) {
        for (int j = 0; j < k; ++j)
            if (poly[j] == poly[k]) return false;
        return true;
    };
    for (int32_t p = 0; p < polygonCount; ++p)
        for (int k = 0; k < 4; ++k)
            if (distinctCorner(polygons[p], k)) ++around[polygons[p][k]];
    pointPolygons_.resize(static_cast<size_t>(pointCount));
    for (int32_t i = 0; i < pointCount; ++i) pointPolygons_[i].reserve(around[i]);
    for (int32_t p = 0; p < polygonCount; ++p)
        for (int k = 0; k < 4; ++k)
            if (distinctCorner(polygons[p], k)) pointPolygons_[polygons[p][k]].push_back(p);
    return true;
}

int32_t drSedges::edgeCount() const { return edgeCount_; }

bool drSedges::sideReported(int32_t polygon, int32_t side) const {
    if (polygon < 0 || polygon >= polygonCount_ || side < 0 || side > 3) return true;
    return reported_[static_cast<size_t>(polygon) * 4 + side] != 0;
}

int32_t drSedges::findEdge(int32_t low, int32_t high) const {
    const Side* begin = sides_.data() + sideStart_[low];
    const Side* end = sides_.data() + sideStart_[low + 1];
    const Side* s = std::lower_bound(begin, end, high, [](const Side& l, int32_t h) { return l.high < h; });
    if (s == end || s->high != high) return -1;
    return static_cast<int32_t>(s - sides_.data());
}

int32_t drSedges::neighbor(int32_t u, int32_t w, int32_t polygon) const {
    if (u == w || u < 0 || w < 0 || u >= pointCount_ || w >= pointCount_) return -1;
    const int32_t low = std::min(u, w), high = std::max(u, w);
    const int32_t first = findEdge(low, high);
    if (first < 0) return -1;

    // Walk the edge's sides (ascending polygons): the lowest other polygon
    // answers, which also settles edges shared by three or more polygons.
    const int32_t end = sideStart_[low + 1];
    bool onEdge = false;
    int32_t other = -1;
    for (int32_t s = first; s < end && sides_[s].high == high; ++s) {
        const int32_t p = sides_[s].side / 4;
        if (p == polygon)
            onEdge = true;
        else if (other < 0)
            other = p;
    }
    return onEdge ? other : -1;
}

const std::vector<int32_t>& drSedges::pointPolygons(int32_t point) const {
    if (point < 0 || point >= pointCount_) return kNoPolygons;
    return pointPolygons_[point];
}
