// The nail, pin and sew objects: gathering points from tags, targets and
// bindings, and the seam's border walk. The cloth object is stood in for by
// a null object: the constraints only look at the hierarchy.
#include "objects_fixture.h"

#include "drNail.h"
#include "drPin.h"
#include "drSew.h"

namespace {

std::vector<int32_t> indicesOf(const drSnail& c) {
    return std::vector<int32_t>(c.pointIndices.begin(), c.pointIndices.begin() + c.count);
}

std::vector<std::array<int32_t, 2>> pairsOf(const drSsew& c) {
    return std::vector<std::array<int32_t, 2>>(c.pairs.begin(), c.pairs.begin() + c.count);
}

}  // namespace

class ConstraintObjects : public ObjectsTest {
protected:
    void SetUp() override {
        ObjectsTest::SetUp();
        input = grid(4, 4, 10.0);
        holder = add(Onull, input);
    }
    PolygonObject* input = nullptr;
    BaseObject* holder = nullptr;  ///< stands where the cloth object would
};

TEST_F(ConstraintObjects, NailGathersSelectionSegmentsInOrder) {
    BaseObject* op = add(ID_DRNAIL, holder);
    op->GetDataInstance()->SetLink(NAIL_POINTS, selection(input, {{3, 5}, {9, 9}}));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drSnail& c = force<drSnail>(op);
    EXPECT_EQ(indicesOf(c), (std::vector<int32_t>{3, 4, 5, 9}));
    EXPECT_EQ(std::vector<float>(c.weights.begin(), c.weights.end()), (std::vector<float>{1, 1, 1, 1}));
}

TEST_F(ConstraintObjects, NailTakesVertexMapWeightsAboveTheThreshold) {
    auto* map = static_cast<VariableTag*>(input->MakeTag(Tvertexmap));
    map->GetDataAddressW()[2] = 0.001f;
    map->GetDataAddressW()[5] = 0.0011f;
    map->GetDataAddressW()[15] = 1.0f;
    BaseObject* op = add(ID_DRNAIL, holder);
    op->GetDataInstance()->SetLink(NAIL_POINTS, map);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drSnail& c = force<drSnail>(op);
    EXPECT_EQ(indicesOf(c), (std::vector<int32_t>{5, 15}));
    EXPECT_EQ(c.weights[0], 0.0011f);
    EXPECT_EQ(c.weights[1], 1.0f);
}

// Indices the cloth does not have are left out, so the solver never reads
// past its arrays; a mesh that loses points later drops them as well.
TEST_F(ConstraintObjects, NailSkipsPointsTheClothDoesNotHave) {
    auto* map = static_cast<VariableTag*>(input->MakeTag(Tvertexmap));
    map->Resize(40);
    map->GetDataAddressW()[1] = 1.0f;
    map->GetDataAddressW()[30] = 1.0f;
    BaseObject* byMap = add(ID_DRNAIL, holder);
    byMap->GetDataInstance()->SetLink(NAIL_POINTS, map);
    BaseObject* bySelection = add(ID_DRNAIL, holder);
    bySelection->GetDataInstance()->SetLink(NAIL_POINTS, selection(input, {{2, 2}, {14, 20}}));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(indicesOf(force<drSnail>(byMap)), (std::vector<int32_t>{1}));
    EXPECT_EQ(indicesOf(force<drSnail>(bySelection)), (std::vector<int32_t>{2, 14, 15}));

    input->ResizeObject(15, 0);
    ASSERT_TRUE(doc->EvaluateFrame(1));
    EXPECT_EQ(indicesOf(force<drSnail>(bySelection)), (std::vector<int32_t>{2, 14}));
}

TEST_F(ConstraintObjects, NailTargetsFollowTheNailObject) {
    BaseObject* op = add(ID_DRNAIL, holder);
    op->GetDataInstance()->SetLink(NAIL_POINTS, selection(input, {{0, 1}}));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drSnail& c = force<drSnail>(op);
    // Nail and cloth without local transformation: the rest positions.
    EXPECT_EQ(c.targets[1], (drSvec3{10.0f, 0.0f, 0.0f}));
    EXPECT_EQ(c.currentTargets[1], c.targets[1]);

    op->SetMl(Matrix(Vector(0.0, 10.0, 0.0), Vector(1.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0)));
    ASSERT_TRUE(doc->EvaluateFrame(5));
    EXPECT_EQ(c.targets[0], (drSvec3{0.0f, 10.0f, 0.0f}));
    EXPECT_EQ(c.targets[1], (drSvec3{10.0f, 10.0f, 0.0f}));
    EXPECT_EQ(c.currentTargets[1], c.targets[1]);
}

TEST_F(ConstraintObjects, NailKeepsItsPointsUntilFrameZeroAndAlwaysRefreshesItsMode) {
    BaseObject* op = add(ID_DRNAIL, holder);
    SelectionTag* tag = selection(input, {{0, 0}});
    op->GetDataInstance()->SetLink(NAIL_POINTS, tag);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    tag->GetBaseSelect()->SelectRange(1, 3);
    BaseContainer* bc = op->GetDataInstance();
    bc->SetFloat(NAIL_ELASTIC, 1.0);
    bc->SetFloat(NAIL_STIFFNESS, 0.5);
    bc->SetFloat(NAIL_DAMPING, 0.25);
    ASSERT_TRUE(doc->EvaluateFrame(7));
    const drSnail& c = force<drSnail>(op);
    EXPECT_EQ(indicesOf(c), (std::vector<int32_t>{0}));
    EXPECT_EQ(c.elastic, 1);
    EXPECT_EQ(c.stiffness, 0.5f);
    EXPECT_EQ(c.damping, 0.25f);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(indicesOf(c), (std::vector<int32_t>{0, 1, 2, 3}));

    // No link: nothing nailed, the mode still refreshed.
    bc->SetLink(NAIL_POINTS, nullptr);
    bc->SetFloat(NAIL_ELASTIC, 0.0);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(c.count, 0);
    EXPECT_EQ(c.elastic, 0);
}

TEST_F(ConstraintObjects, StiffnessAndDampingAreEditableOnlyWhenElastic) {
    for (Int32 type : {ID_DRNAIL, ID_DRPIN}) {
        BaseObject* op = add(type, holder);
        NodeData* d = op->GetNodeData();
        auto enabled = [&](Int32 id) { return d->GetDEnabling(op, DescID(id), GeData(), DESCFLAGS_ENABLE::NONE, nullptr); };
        EXPECT_FALSE(enabled(1001));
        EXPECT_FALSE(enabled(1002));
        EXPECT_TRUE(enabled(1003));
        op->GetDataInstance()->SetFloat(1000, 0.5);
        EXPECT_TRUE(enabled(1001));
        EXPECT_TRUE(enabled(1002));
    }
}

TEST_F(ConstraintObjects, NailAndPinDrawHandlesAtTheirTargets) {
    BaseObject* op = add(ID_DRNAIL, holder);
    op->GetDataInstance()->SetLink(NAIL_POINTS, selection(input, {{5, 6}}));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    BaseDraw bd;
    doc->Draw(&bd);
    std::vector<Vector> handles;
    for (const DrawRecord& r : bd.GetRecords())
        if (r.object == op) {
            EXPECT_EQ(r.kind, DrawRecord::Kind::HANDLE);
            EXPECT_NE(r.pass, 0);
            EXPECT_EQ(r.handleType, 2);
            if (r.pass == 2) handles.push_back(r.a);
        }
    EXPECT_EQ(handles, (std::vector<Vector>{Vector(10.0, 0.0, 10.0), Vector(20.0, 0.0, 10.0)}));
}

class PinObjects : public ConstraintObjects {
protected:
    void SetUp() override {
        ConstraintObjects::SetUp();
        // One quad under the cloth grid, facing +Y, 5 below it.
        target = PolygonObject::Alloc(4, 1);
        Vector* p = target->GetPointW();
        p[0] = Vector(-10.0, -5.0, -10.0);
        p[1] = Vector(-10.0, -5.0, 50.0);
        p[2] = Vector(50.0, -5.0, 50.0);
        p[3] = Vector(50.0, -5.0, -10.0);
        target->GetPolygonW()[0] = CPolygon(0, 1, 2, 3);
        doc->InsertObject(target);
        pin = add(ID_DRPIN, holder);
        pin->GetDataInstance()->SetLink(PIN_POINTS, selection(input, {{1, 1}, {4, 4}, {6, 6}}));
        pin->GetDataInstance()->SetLink(PIN_TARGET, target);
    }
    const drSpin& c() { return force<drSpin>(pin); }
    PolygonObject* target = nullptr;
    BaseObject* pin = nullptr;
};

TEST_F(PinObjects, StartFrameSwitchesItOnAndBinds) {
    pin->GetDataInstance()->SetInt32(PIN_START_FRAME, 10);
    for (Int32 f = 0; f < 10; ++f) {
        ASSERT_TRUE(doc->EvaluateFrame(f));
        EXPECT_EQ(c().enabled, 0) << f;
        EXPECT_EQ(c().count, 0) << f;
    }
    ASSERT_TRUE(doc->EvaluateFrame(10));
    EXPECT_EQ(c().enabled, 1);
    ASSERT_EQ(indicesOf(c()), (std::vector<int32_t>{1, 4, 6}));
    // Bound where the points are: 5 above the quad.
    for (int32_t k = 0; k < 3; ++k) {
        const Vector p = input->GetPointR()[c().pointIndices[k]];
        EXPECT_EQ(c().baryCoords[k].z, 5.0f);
        EXPECT_NEAR(c().targets[k].x, p.x, 1e-5);
        EXPECT_NEAR(c().targets[k].y, p.y, 1e-5);
        EXPECT_NEAR(c().targets[k].z, p.z, 1e-5);
    }
    // The quad is searched as (a, b, c) and (a, c, d).
    EXPECT_EQ(c().boundTriangles[0], (std::array<int32_t, 3>{0, 2, 3}));
    EXPECT_EQ(c().boundTriangles[1], (std::array<int32_t, 3>{0, 1, 2}));

    // The target moves and turns: the points go with it.
    target->SetMg(Matrix(Vector(0.0, 20.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(-1.0, 0.0, 0.0), Vector(0.0, 0.0, 1.0)));
    ASSERT_TRUE(doc->EvaluateFrame(11));
    for (int32_t k = 0; k < 3; ++k) {
        const Vector p = input->GetPointR()[c().pointIndices[k]];
        const Vector expected = target->GetMg() * p;
        EXPECT_NEAR(c().targets[k].x, expected.x, 1e-4);
        EXPECT_NEAR(c().targets[k].y, expected.y, 1e-4);
        EXPECT_NEAR(c().targets[k].z, expected.z, 1e-4);
        EXPECT_EQ(c().currentTargets[k], c().targets[k]);
    }
    // Back before the start: off again, the binding kept.
    ASSERT_TRUE(doc->EvaluateFrame(3));
    EXPECT_EQ(c().enabled, 0);
    EXPECT_EQ(c().count, 3);
}

TEST_F(PinObjects, OffsetScaleMultipliesTheHeight) {
    const struct {
        Float scale;
        float y;
    } cases[] = {{1.0, 0.0f}, {0.0, -5.0f}, {2.0, 5.0f}};
    for (const auto& k : cases) {
        pin->GetDataInstance()->SetFloat(PIN_OFFSET_SCALE, k.scale);
        ASSERT_TRUE(doc->EvaluateFrame(0));
        for (int32_t e = 0; e < c().count; ++e) EXPECT_NEAR(c().targets[e].y, k.y, 1e-5) << k.scale;
    }
}

// The target loses points after the binding, or a triangle collapses:
// nothing is read past its points and no target becomes non-finite.
TEST_F(PinObjects, ShrunkOrCollapsedTargetsKeepFiniteTargets) {
    ASSERT_TRUE(doc->EvaluateFrame(0));
    ASSERT_EQ(c().count, 3);
    const std::vector<drSvec3> bound(c().targets.begin(), c().targets.end());
    Vector* p = target->GetPointW();
    p[2] = p[0];  // both halves of the quad lose their area
    ASSERT_TRUE(doc->EvaluateFrame(1));
    for (int32_t k = 0; k < 3; ++k) EXPECT_TRUE(std::isfinite(c().targets[k].x + c().targets[k].y + c().targets[k].z));
    target->ResizeObject(1, 0);
    ASSERT_TRUE(doc->EvaluateFrame(2));
    EXPECT_EQ(c().count, 3);
}

TEST_F(PinObjects, MissingTargetOrClothLeavesTheConstraintAlone) {
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const std::vector<drSvec3> bound(c().targets.begin(), c().targets.end());
    pin->GetDataInstance()->SetLink(PIN_TARGET, add(Onull));
    pin->GetDataInstance()->SetFloat(PIN_STIFFNESS, 0.75);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(c().enabled, 1);
    EXPECT_EQ(c().count, 3);
    EXPECT_EQ(c().stiffness, 0.1f);
    EXPECT_EQ(std::vector<drSvec3>(c().targets.begin(), c().targets.end()), bound);
}

class SewObjects : public ObjectsTest {
protected:
    void SetUp() override {
        ObjectsTest::SetUp();
        // A strip of four quads: border z = 0 holds points 0..4, z = 1 holds 5..9.
        strip = grid(5, 2);
        sew = add(ID_DRSEW, add(Onull, strip));
        tag = selection(strip, {{0, 0}, {5, 5}});
        sew->GetDataInstance()->SetLink(SEW_POINTS, tag);
    }
    const drSsew& c() { return force<drSsew>(sew); }
    void setCount(Int32 n) { sew->GetDataInstance()->SetInt32(SEW_COUNT, n); }
    PolygonObject* strip = nullptr;
    BaseObject* sew = nullptr;
    SelectionTag* tag = nullptr;
};

TEST_F(SewObjects, WalksBothBordersFromTheSelectedPoints) {
    using Pairs = std::vector<std::array<int32_t, 2>>;
    const struct {
        Int32 count;
        Pairs pairs;
    } cases[] = {
        {4, {{0, 5}, {1, 6}, {2, 7}, {3, 8}}},
        // Reversed, both walkers turn round the end edge of the strip.
        {-4, {{0, 5}, {5, 0}, {6, 1}, {7, 2}}},
        {1, {{0, 5}}},
        {0, {}},
    };
    for (const auto& k : cases) {
        setCount(k.count);
        ASSERT_TRUE(doc->EvaluateFrame(0));
        EXPECT_EQ(pairsOf(c()), k.pairs) << k.count;
    }
}

TEST_F(SewObjects, CountsBeyondThePointsMakeOneStitchPerPoint) {
    // The strip's border is one loop through its 10 points; a larger count
    // used to allocate every stitch asked for (16 GB for two billion).
    for (const Int32 count : {11, INT32_MAX, INT32_MIN}) {
        setCount(count);
        ASSERT_TRUE(doc->EvaluateFrame(0));
        EXPECT_EQ(c().count, 10) << count;
        EXPECT_EQ(c().pairs.size(), 10u) << count;
        EXPECT_EQ(pairsOf(c()).back(), (count > 0 ? std::array<int32_t, 2>{5, 0} : std::array<int32_t, 2>{1, 6})) << count;
    }
}

TEST_F(SewObjects, LaterFramesOnlySwitchBuiltPairs) {
    sew->GetDataInstance()->SetFloat(SEW_STIFFNESS, 2.0);
    sew->GetDataInstance()->SetFloat(SEW_DAMPING, 3.0);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(c().count, 4);
    EXPECT_EQ(c().stiffness, 2.0f);
    EXPECT_EQ(c().damping, 3.0f);
    setCount(2);
    ASSERT_TRUE(doc->EvaluateFrame(10));
    EXPECT_EQ(c().count, 2);
    setCount(6);
    ASSERT_TRUE(doc->EvaluateFrame(10));
    EXPECT_EQ(c().count, 2);
    setCount(4);
    ASSERT_TRUE(doc->EvaluateFrame(11));
    EXPECT_EQ(c().count, 4);
    setCount(6);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(c().count, 6);
}

TEST_F(SewObjects, ClosedMeshKeepsTheWalkersInPlace) {
    // A tetrahedron has no border.
    PolygonObject* closed = PolygonObject::Alloc(4, 4);
    Vector* p = closed->GetPointW();
    p[1] = Vector(1.0, 0.0, 0.0);
    p[2] = Vector(0.0, 1.0, 0.0);
    p[3] = Vector(0.0, 0.0, 1.0);
    closed->SetPolygons({CPolygon(0, 2, 1), CPolygon(0, 1, 3), CPolygon(0, 3, 2), CPolygon(1, 2, 3)});
    doc->InsertObject(closed);
    BaseObject* op = add(ID_DRSEW, add(Onull, closed));
    op->GetDataInstance()->SetLink(SEW_POINTS, selection(closed, {{1, 3}}));
    op->GetDataInstance()->SetInt32(SEW_COUNT, 3);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(pairsOf(force<drSsew>(op)), (std::vector<std::array<int32_t, 2>>{{1, 2}, {1, 2}, {1, 2}}));
}

TEST_F(SewObjects, UnusableSelectionsKeepThePreviousSeam) {
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const auto built = pairsOf(c());
    tag->GetBaseSelect()->DeselectAll();
    tag->GetBaseSelect()->Select(0);
    tag->GetBaseSelect()->Select(50);  // beyond the strip's points
    setCount(2);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(pairsOf(c()), built);
    tag->GetBaseSelect()->DeselectAll();
    tag->GetBaseSelect()->Select(3);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(pairsOf(c()), built);
}

TEST_F(SewObjects, DrawsTheSeamsOnTheCloth) {
    setCount(2);
    strip->SetMg(Matrix(Vector(0.0, 3.0, 0.0), Vector(1.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0)));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    BaseDraw bd;
    doc->Draw(&bd);
    std::vector<std::pair<Vector, Vector>> lines;
    for (const DrawRecord& r : bd.GetRecords())
        if (r.object == sew && r.pass == 3) lines.push_back({r.a, r.b});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].first, Vector(1.0, 3.0, 0.0));
    EXPECT_EQ(lines[1].second, Vector(1.0, 3.0, 1.0));
}
