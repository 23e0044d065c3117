// Edge table: edge count, the side that reports each edge, the polygon
// across an edge, and the polygons around a point.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "drSedges.h"
#include "grid.h"

namespace {

struct SmallMesh {
    const char* name;
    int32_t pointCount;
    std::vector<drSpolygon> polygons;
    int32_t edges;
    std::vector<int> unreported;  ///< per polygon, bit k set when side k reports its edge
};

TEST(Edges, SmallMeshes) {
    const SmallMesh cases[] = {
        {"quad", 4, {{0, 1, 2, 3}}, 4, {0b1111}},
        {"triangle", 3, {{0, 1, 2, 2}}, 3, {0b1011}},
        // 0 1 2 / 3 4 5: the shared edge 1-4 is reported by the first quad's side 1.
        {"two quads", 6, {{0, 1, 4, 3}, {1, 2, 5, 4}}, 7, {0b1111, 0b0111}},
        // Repeated corners: sides 0-1 and 1-0 of one polygon are one edge.
        {"folded", 3, {{0, 1, 0, 2}}, 2, {0b0101}},
    };
    for (const SmallMesh& m : cases) {
        SCOPED_TRACE(m.name);
        drSedges e;
        ASSERT_TRUE(e.build(m.pointCount, m.polygons.data(), static_cast<int32_t>(m.polygons.size())));
        EXPECT_EQ(e.edgeCount(), m.edges);
        for (size_t p = 0; p < m.polygons.size(); ++p)
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(e.sideReported(static_cast<int32_t>(p), k), ((m.unreported[p] >> k) & 1) == 0) << p << "/" << k;
    }
}

TEST(Edges, NeighborsAcrossSharedBorderAndDegenerateSides) {
    const std::vector<drSpolygon> polys = {{0, 1, 4, 3}, {1, 2, 5, 4}, {3, 4, 6, 6}};
    drSedges e;
    ASSERT_TRUE(e.build(7, polys.data(), 3));
    EXPECT_EQ(e.neighbor(1, 4, 0), 1);
    EXPECT_EQ(e.neighbor(4, 1, 1), 0);   // either direction
    EXPECT_EQ(e.neighbor(3, 4, 0), 2);   // quad against triangle
    EXPECT_EQ(e.neighbor(4, 3, 2), 0);
    EXPECT_EQ(e.neighbor(0, 1, 0), -1);  // border
    EXPECT_EQ(e.neighbor(6, 6, 2), -1);  // degenerate side of the triangle
    EXPECT_EQ(e.neighbor(0, 2, 0), -1);  // no such edge
    EXPECT_EQ(e.neighbor(1, 4, 2), -1);  // polygon not on the edge
    EXPECT_EQ(e.neighbor(-1, 4, 0), -1);
    EXPECT_EQ(e.neighbor(1, 99, 0), -1);
    EXPECT_EQ(e.pointPolygons(4), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(e.pointPolygons(6), (std::vector<int32_t>{2}));  // repeated corner listed once
    EXPECT_TRUE(e.pointPolygons(7).empty());
    EXPECT_TRUE(e.pointPolygons(-1).empty());
    EXPECT_TRUE(e.sideReported(5, 0));  // outside the table
}

TEST(Edges, NonManifoldEdgeAnswersTheLowestOtherPolygon) {
    // Three quads hinge on the edge 0-1.
    const std::vector<drSpolygon> polys = {{0, 1, 2, 3}, {1, 0, 4, 5}, {0, 1, 6, 7}};
    drSedges e;
    ASSERT_TRUE(e.build(8, polys.data(), 3));
    EXPECT_EQ(e.edgeCount(), 10);
    EXPECT_EQ(e.neighbor(0, 1, 0), 1);
    EXPECT_EQ(e.neighbor(0, 1, 1), 0);
    EXPECT_EQ(e.neighbor(0, 1, 2), 0);
    EXPECT_FALSE(e.sideReported(0, 0));
    EXPECT_TRUE(e.sideReported(1, 0));
    EXPECT_TRUE(e.sideReported(2, 0));
}

TEST(Edges, RejectsCornersOutsideThePointList) {
    const drSpolygon good[] = {{0, 1, 2, 3}};
    const drSpolygon high[] = {{0, 1, 2, 4}};
    const drSpolygon negative[] = {{0, -1, 2, 3}};
    drSedges e;
    ASSERT_TRUE(e.build(4, good, 1));
    EXPECT_FALSE(e.build(4, high, 1));
    EXPECT_EQ(e.edgeCount(), 0);  // the earlier table is gone
    EXPECT_EQ(e.neighbor(0, 1, 0), -1);
    EXPECT_TRUE(e.pointPolygons(0).empty());
    EXPECT_FALSE(e.build(4, negative, 1));
    EXPECT_FALSE(e.build(4, nullptr, 1));
    EXPECT_TRUE(e.build(0, nullptr, 0));  // an empty mesh is valid
    EXPECT_EQ(e.edgeCount(), 0);
}

// Every answer against a direct search over all sides, on a grid where some
// cells are split into triangles, one has repeated corners and two cells are
// stacked on the same edge.
TEST(Edges, MatchesDirectSearchOnMixedMesh) {
    GridMesh g = makeGrid(9, 7);
    std::vector<drSpolygon> polys;
    for (size_t i = 0; i < g.polygons.size(); ++i) {
        const drSpolygon q = g.polygons[i];
        if (i % 5 == 2) {
            polys.push_back({q.a, q.b, q.c, q.c});
            polys.push_back({q.a, q.c, q.d, q.d});
        } else {
            polys.push_back(q);
        }
    }
    polys.push_back({polys[3].a, polys[3].b, polys[3].b, polys[3].b});  // a sliver on one edge
    polys.push_back(polys[10]);                                         // a doubled cell
    const int32_t n = g.pointCount(), count = static_cast<int32_t>(polys.size());
    drSedges e;
    ASSERT_TRUE(e.build(n, polys.data(), count));

    // Reference: the sides of every undirected pair, in polygon order.
    std::map<std::pair<int32_t, int32_t>, std::vector<std::pair<int32_t, int>>> sides;
    for (int32_t p = 0; p < count; ++p)
        for (int k = 0; k < 4; ++k) {
            const int32_t u = polys[p][k], w = polys[p][k + 1];
            if (u != w) sides[{std::min(u, w), std::max(u, w)}].push_back({p, k});
        }
    EXPECT_EQ(e.edgeCount(), static_cast<int32_t>(sides.size()));
    for (int32_t p = 0; p < count; ++p)
        for (int k = 0; k < 4; ++k) {
            const int32_t u = polys[p][k], w = polys[p][k + 1];
            if (u == w) {
                EXPECT_TRUE(e.sideReported(p, k));
                EXPECT_EQ(e.neighbor(u, w, p), -1);
                continue;
            }
            const auto& list = sides[{std::min(u, w), std::max(u, w)}];
            EXPECT_EQ(e.sideReported(p, k), list.front() != std::make_pair(p, k)) << p << "/" << k;
            int32_t other = -1;
            for (const auto& s : list)
                if (s.first != p) {
                    other = s.first;
                    break;
                }
            EXPECT_EQ(e.neighbor(u, w, p), other) << p << "/" << k;
            EXPECT_EQ(e.neighbor(w, u, p), other);
        }
    for (int32_t i = 0; i < n; ++i) {
        std::vector<int32_t> expected;
        for (int32_t p = 0; p < count; ++p)
            for (int k = 0; k < 4; ++k)
                if (polys[p][k] == i) {
                    expected.push_back(p);
                    break;
                }
        EXPECT_EQ(e.pointPolygons(i), expected) << i;
    }
}

TEST(Edges, LargeGridCounts) {
    const GridMesh g = makeGrid(201, 201);
    drSedges e;
    ASSERT_TRUE(e.build(g.pointCount(), g.polygons.data(), g.polygonCount()));
    EXPECT_EQ(e.edgeCount(), 200 * 201 * 2);
    const int32_t centre = 100 * 201 + 100;
    EXPECT_EQ(e.pointPolygons(centre).size(), 4u);
    EXPECT_EQ(e.neighbor(centre, centre + 1, e.pointPolygons(centre)[1]), e.pointPolygons(centre)[3]);
}

}  // namespace
