// Point selections and the polygon adjacency table.
#include "host.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<Int32, Int32>> ranges(const BaseSelect& s, Int32 max = INT_MAX) {
    std::vector<std::pair<Int32, Int32>> out;
    Int32 a = 0, b = 0;
    for (Int32 seg = 0; s.GetRange(seg, max, &a, &b); ++seg) out.emplace_back(a, b);
    return out;
}

std::vector<Int32> pointPolys(const Neighbor& n, Int32 point) {
    Int32* list = nullptr;
    Int32 count = 0;
    n.GetPointPolys(point, &list, &count);
    return std::vector<Int32>(list, list + count);
}

using Ranges = std::vector<std::pair<Int32, Int32>>;

}  // namespace

TEST(BaseSelect, SegmentsMergeSplitAndClip) {
    BaseSelect s;
    s.Select(5);
    s.Select(3);
    s.Select(4);            // joins 3 and 5
    s.SelectRange(10, 12);
    s.Select(-2);           // ignored
    EXPECT_EQ(ranges(s), (Ranges{{3, 5}, {10, 12}}));
    EXPECT_EQ(s.GetCount(), 6);
    EXPECT_TRUE(s.IsSelected(11));
    EXPECT_FALSE(s.IsSelected(6));

    s.Deselect(11);
    EXPECT_EQ(ranges(s), (Ranges{{3, 5}, {10, 10}, {12, 12}}));
    EXPECT_EQ(ranges(s, 11), (Ranges{{3, 5}, {10, 10}}));  // clipped below maxElements
    EXPECT_EQ(ranges(s, 5), (Ranges{{3, 4}}));

    Int32 a = -7, b = -7;
    EXPECT_FALSE(s.GetRange(3, INT_MAX, &a, &b));
    EXPECT_FALSE(s.GetRange(-1, INT_MAX, &a, &b));
    EXPECT_EQ(a, -7);
    s.DeselectAll();
    EXPECT_EQ(s.GetCount(), 0);
}

TEST(Neighbor, SingleQuadAndTriangle) {
    const CPolygon quad(0, 1, 2, 3);
    Neighbor n;
    ASSERT_TRUE(n.Init(4, &quad, 1));
    EXPECT_EQ(n.GetEdgeCount(), 4);
    const PolyInfo* pi = n.GetPolyInfo(0);
    ASSERT_NE(pi, nullptr);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(pi->face[k], NOTOK);
        EXPECT_EQ(pi->edge[k], k);
        EXPECT_FALSE(pi->mark[k]);
    }
    EXPECT_EQ(n.GetNeighbor(0, 1, 0), NOTOK);

    const CPolygon tri(0, 1, 2);
    ASSERT_TRUE(n.Init(3, &tri, 1));
    EXPECT_EQ(n.GetEdgeCount(), 3);
    pi = n.GetPolyInfo(0);
    EXPECT_TRUE(pi->mark[2]);  // c -> d is no edge
    EXPECT_EQ(pi->edge[2], NOTOK);
    EXPECT_FALSE(pi->mark[3]);
    EXPECT_EQ(n.GetPolyInfo(1), nullptr);
}

TEST(Neighbor, GridOfThreeByTwoQuads) {
    // Points 4 per row, 3 rows:   8  9 10 11
    //                             4  5  6  7
    //                             0  1  2  3
    std::vector<CPolygon> polys;
    for (Int32 r = 0; r < 2; ++r)
        for (Int32 c = 0; c < 3; ++c) {
            const Int32 p = r * 4 + c;
            polys.emplace_back(p, p + 1, p + 5, p + 4);
        }
    Neighbor n;
    ASSERT_TRUE(n.Init(12, polys.data(), 6));
    EXPECT_EQ(n.GetEdgeCount(), 17);  // 3 * 3 horizontal + 4 * 2 vertical

    // Polygon 4 (middle of the top row): across 5-6 is polygon 1, across
    // 6-10 is polygon 5, across 5-9 is polygon 3, the top is a border.
    const PolyInfo* pi = n.GetPolyInfo(4);
    EXPECT_EQ(pi->face[0], 1);
    EXPECT_EQ(pi->face[1], 5);
    EXPECT_EQ(pi->face[2], NOTOK);
    EXPECT_EQ(pi->face[3], 3);
    EXPECT_TRUE(pi->mark[0]);   // reported by polygon 1
    EXPECT_FALSE(pi->mark[1]);  // polygon 5 comes later
    EXPECT_TRUE(pi->mark[3]);   // reported by polygon 3
    // A shared edge has one number on both sides.
    EXPECT_EQ(pi->edge[0], n.GetPolyInfo(1)->edge[2]);
    EXPECT_EQ(n.GetNeighbor(6, 5, 4), 1);
    EXPECT_EQ(n.GetNeighbor(5, 6, 1), 4);
    EXPECT_EQ(n.GetNeighbor(9, 10, 4), NOTOK);  // border
    EXPECT_EQ(n.GetNeighbor(0, 6, 0), NOTOK);   // no such edge

    // Each edge is unmarked exactly once, and numbers cover 0..16.
    std::vector<int> unmarked(17, 0);
    for (Int32 p = 0; p < 6; ++p)
        for (int k = 0; k < 4; ++k) {
            const PolyInfo* q = n.GetPolyInfo(p);
            ASSERT_GE(q->edge[k], 0);
            ASSERT_LT(q->edge[k], 17);
            if (!q->mark[k]) ++unmarked[static_cast<size_t>(q->edge[k])];
        }
    for (int e = 0; e < 17; ++e) EXPECT_EQ(unmarked[static_cast<size_t>(e)], 1) << e;

    EXPECT_EQ(pointPolys(n, 5), (std::vector<Int32>{0, 1, 3, 4}));
    EXPECT_EQ(pointPolys(n, 0), (std::vector<Int32>{0}));
    EXPECT_EQ(pointPolys(n, 11), (std::vector<Int32>{5}));
    EXPECT_TRUE(pointPolys(n, 12).empty());

    // With a selection only the selected polygons take part.
    BaseSelect bs;
    bs.Select(0);
    bs.Select(4);
    ASSERT_TRUE(n.Init(12, polys.data(), 6, &bs));
    EXPECT_EQ(n.GetEdgeCount(), 8);
    EXPECT_EQ(n.GetNeighbor(5, 6, 4), NOTOK);
    EXPECT_EQ(pointPolys(n, 5), (std::vector<Int32>{0, 4}));
    EXPECT_EQ(n.GetPolyInfo(1)->face[0], NOTOK);
}

TEST(Neighbor, RejectsIndicesOutsideThePoints) {
    const CPolygon bad(0, 1, 4, 2);
    Neighbor n;
    EXPECT_FALSE(n.Init(4, &bad, 1));
    EXPECT_EQ(n.GetEdgeCount(), 0);
    EXPECT_EQ(n.GetPolyInfo(0), nullptr);
    EXPECT_FALSE(n.Init(-1, nullptr, 0));
    EXPECT_TRUE(n.Init(3, nullptr, 0));
    EXPECT_EQ(n.GetEdgeCount(), 0);
}
