// The cloth object evaluated by the host: building the cloth from its input,
// the force list, the reset at frame 0, stepping, the cache and write-back.
#include "drCloth.h"
#include "drForce.h"
#include "drRegistry.h"
#include "drScollideSelf.h"
#include "drSsew.h"
#include "drStriangleNode.h"
#include "grid.h"
#include "host.h"
#include "pool.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ClothTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        poolSetProcessorCount(2);
        host = new PluginHost();
        ASSERT_TRUE(host->LoadFolder(DRAPEON_PLUGIN_FOLDER)) << ::testing::PrintToString(host->GetErrors());
    }
    static void TearDownTestSuite() {
        delete host;
        host = nullptr;
    }
    void SetUp() override {
        doc = BaseDocument::Alloc();
        HostTakeErrors();
    }
    void TearDown() override {
        BaseDocument::Free(doc);
        EXPECT_TRUE(HostTakeErrors().empty());
        if (!folder.empty()) fs::remove_all(folder);
    }

    /// A flat nx x nz grid in the object's XZ plane, `dx` and `dz` apart.
    PolygonObject* addGrid(Int32 nx, Int32 nz, Float dx = 1.0, Float dz = 1.0) {
        const GridMesh g = makeGrid(nx, nz);
        PolygonObject* op = PolygonObject::Alloc(g.pointCount(), g.polygonCount());
        Vector* p = op->GetPointW();
        for (Int32 i = 0; i < g.pointCount(); ++i)
            p[i] = Vector(g.points[i * 3] * dx, g.points[i * 3 + 1], g.points[i * 3 + 2] * dz);
        std::vector<CPolygon> polygons;
        for (const drSpolygon& q : g.polygons) polygons.emplace_back(q.a, q.b, q.c, q.d);
        op->SetPolygons(polygons);
        op->SetName("sheet");
        doc->InsertObject(op);
        return op;
    }
    /// A cloth object under `input`, switched on as the menu does it.
    BaseObject* addCloth(BaseObject* input) {
        BaseObject* cloth = BaseObject::Alloc(ID_DRAPEON);
        EXPECT_NE(cloth, nullptr);
        cloth->Message(MSG_MENUPREPARE);
        doc->InsertObject(cloth, input);
        return cloth;
    }
    BaseObject* addChild(BaseObject* parent, Int32 type) {
        BaseObject* child = BaseObject::Alloc(type);
        EXPECT_NE(child, nullptr) << type;
        doc->InsertObject(child, parent);
        return child;
    }
    static drapeon& dataOf(BaseObject* cloth) { return *cloth->GetNodeData<drapeon>(); }
    static drSforce* forceOf(BaseObject* child) { return child->GetNodeData<drForce>()->solverForce; }

    /// The points the host shows for `input` after the last evaluation.
    static std::vector<Vector> shown(BaseObject* input) {
        const PointObject* cache = ToPoint(input->GetDeformCache());
        if (cache == nullptr) return {};
        return std::vector<Vector>(cache->GetPointR(), cache->GetPointR() + cache->GetPointCount());
    }
    /// Calls the deformer directly on `op`, without the host's other passes.
    Bool modify(BaseObject* cloth, BaseObject* op) {
        return dataOf(cloth).ModifyObject(cloth, doc, op, op->GetMg(), cloth->GetMg(), 1.0, 0, nullptr);
    }
    void setFrame(Int32 frame) { doc->SetTime(BaseTime(frame, doc->GetFps())); }

    /// A fresh folder for cache files.
    fs::path makeFolder() {
        folder = fs::temp_directory_path() / ("drapeon_cloth_" + std::to_string(::getpid()) + "_" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        return folder;
    }

    static PluginHost* host;
    BaseDocument* doc = nullptr;
    fs::path folder;
};

PluginHost* ClothTest::host = nullptr;

Matrix scaledAt(Float scale, const Vector& offset) {
    Matrix m = MatrixScale(scale);
    m.off = offset;
    return m;
}

float distance(const drSvec3& a, const drSvec3& b) { return length(a - b); }

}  // namespace

TEST_F(ClothTest, FirstEvaluationAtFrameZeroBuildsTheClothAndGivesTheInputBack) {
    PolygonObject* input = addGrid(10, 10);
    // Turned and moved, so that the write-back has to undo a real transform
    Matrix placed = MatrixRotY(0.7) * MatrixRotX(0.3);
    placed.off = Vector(100.0, -20.0, 35.0);
    input->SetMg(placed);
    BaseObject* cloth = addCloth(input);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    drapeon& c = dataOf(cloth);

    // 9 x 9 quads: 180 edges, 162 diagonals, 162 triangles
    EXPECT_EQ(c.cloth.pointCount, 100);
    EXPECT_EQ(c.stretchSprings.springCount, 180);
    EXPECT_EQ(c.shearSprings.springCount, 162);
    EXPECT_GT(c.bendSprings.springCount, 0);
    EXPECT_EQ(c.cloth.triangleCount, 162);

    // Extent 9: every point gets 10 x 9 / 100, the tolerance 0.009
    for (float m : c.cloth.masses) EXPECT_EQ(m, 9.0f * 10.0f / 100.0f);
    EXPECT_EQ(c.solver.tolerance, 9.0f * 0.001f);
    EXPECT_EQ(c.storedMass, 10.0f);
    EXPECT_EQ(c.solver.time, 0.0f);
    EXPECT_EQ(c.solver.maxStep, 0.5f);

    // The springs alone, in their order, with the default constants
    const std::vector<drSforce*> springs = {&c.stretchSprings, &c.shearSprings, &c.bendSprings};
    EXPECT_EQ(c.solver.forces, springs);
    EXPECT_EQ(c.stretchSprings.stiffness, 30.0f);
    EXPECT_EQ(c.stretchSprings.damping, 1.0f);

    // The world positions are the input's; the points come back unchanged
    const std::vector<Vector> out = shown(input);
    ASSERT_EQ(out.size(), 100u);
    for (Int32 i = 0; i < 100; ++i) {
        const Vector w = placed * input->GetPointR()[i];
        EXPECT_NEAR(c.cloth.positions[i].x, w.x, 1e-4);
        EXPECT_NEAR(c.cloth.positions[i].y, w.y, 1e-4);
        EXPECT_NEAR(c.cloth.positions[i].z, w.z, 1e-4);
        EXPECT_NEAR((out[i] - input->GetPointR()[i]).GetLength(), 0.0, 1e-4) << i;
    }
    EXPECT_EQ(input->GetDeformCache()->GetUpdateCount(), 1);
}

TEST_F(ClothTest, SpringConstantsFollowTheParametersAtEveryEvaluation) {
    // 40 x 25 points over 200 x 100: extent 200, mass 10 x 200 / 1000 = 2
    PolygonObject* input = addGrid(40, 25, 200.0 / 39.0, 100.0 / 24.0);
    BaseObject* cloth = addCloth(input);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    drapeon& c = dataOf(cloth);
    EXPECT_EQ(c.cloth.pointCount, 1000);
    for (float m : c.cloth.masses) ASSERT_EQ(m, 2.0f);
    EXPECT_EQ(c.shearSprings.stiffness, 24.0f);
    EXPECT_EQ(c.shearSprings.damping, 0.8f);
    EXPECT_EQ(c.bendSprings.stiffness, 6.0f);
    EXPECT_EQ(c.bendSprings.damping, 0.2f);

    // A change in the middle of a simulation reaches the next evaluation
    cloth->GetDataInstance()->SetFloat(DRAPEON_STIFFNESS, 10.0);
    cloth->GetDataInstance()->SetFloat(DRAPEON_DAMPING, 0.5);
    cloth->GetDataInstance()->SetFloat(DRAPEON_BEND, 0.5);
    ASSERT_TRUE(doc->EvaluateFrame(1));
    EXPECT_EQ(c.stretchSprings.stiffness, 10.0f);
    EXPECT_EQ(c.stretchSprings.damping, 0.5f);
    EXPECT_EQ(c.shearSprings.stiffness, 8.0f);
    EXPECT_EQ(c.shearSprings.damping, 0.4f);
    EXPECT_EQ(c.bendSprings.stiffness, 5.0f);
    EXPECT_EQ(c.bendSprings.damping, 0.25f);
}

TEST_F(ClothTest, ScaledInputStartsStretchedWithTheMassOfItsOwnPoints) {
    PolygonObject* input = addGrid(6, 6);
    input->SetMg(scaledAt(2.0, Vector(10.0, 50.0, -3.0)));
    BaseObject* cloth = addCloth(input);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drapeon& c = dataOf(cloth);

    // Rest lengths and masses come from the unscaled points
    for (float m : c.cloth.masses) EXPECT_EQ(m, 5.0f * 10.0f / 36.0f);
    EXPECT_EQ(c.solver.tolerance, 5.0f * 0.001f);
    for (const drSspring* set : {&c.stretchSprings, &c.shearSprings, &c.bendSprings})
        for (Int32 s = 0; s < set->springCount; ++s) {
            const auto& pair = set->springPairs[s];
            EXPECT_NEAR(distance(c.cloth.positions[pair[0]], c.cloth.positions[pair[1]]), 2.0f * set->restLengths[s],
                        1e-4f);
        }
    EXPECT_EQ(c.cloth.positions[7].x, 10.0f + 2.0f);
    EXPECT_EQ(c.cloth.positions[7].z, -3.0f + 2.0f);
}

// Frames 0, 1, 2 and then 1 again: without a cache the state stays at frame
// 2 (an earlier frame does not move it back); with one, frame 1 is loaded.
TEST_F(ClothTest, GoingBackAFrameKeepsTheStateOrLoadsItFromTheCache) {
    for (const bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "with cache" : "without cache");
        BaseDocument::Free(doc);
        doc = BaseDocument::Alloc();
        PolygonObject* input = addGrid(6, 6);
        // Scaled, so the springs pull the cloth together and it moves
        input->SetMg(scaledAt(2.0, Vector()));
        BaseObject* cloth = addCloth(input);
        const fs::path base = makeFolder() / "run";
        if (cached) cloth->GetDataInstance()->SetFilename(DRAPEON_CACHE_PATH, Filename(base.string()));
        const drapeon& c = dataOf(cloth);

        ASSERT_TRUE(doc->EvaluateFrame(0));
        const std::vector<Vector> frame0 = shown(input);
        ASSERT_TRUE(doc->EvaluateFrame(1));
        const std::vector<Vector> frame1 = shown(input);
        EXPECT_NEAR(c.solver.time, 1.0f, 1e-3f);
        ASSERT_TRUE(doc->EvaluateFrame(2));
        const std::vector<Vector> frame2 = shown(input);
        const float reached = c.solver.time;
        EXPECT_NEAR(reached, 2.0f, 1e-3f);
        EXPECT_NE(frame1, frame0);
        EXPECT_NE(frame2, frame1);

        ASSERT_TRUE(doc->EvaluateFrame(1));
        if (cached) {
            EXPECT_EQ(c.solver.time, 1.0f);
            EXPECT_EQ(shown(input), frame1);
            for (const char* name : {"run0000", "run0001", "run0002"}) EXPECT_TRUE(fs::exists(folder / name)) << name;
        } else {
            EXPECT_EQ(c.solver.time, reached);
            EXPECT_EQ(shown(input), frame2);
            EXPECT_TRUE(fs::is_empty(folder));
        }
    }
}

TEST_F(ClothTest, RebuildsOnAnotherInputButResetsOnlyAtFrameZero) {
    PolygonObject* input = addGrid(6, 6);
    input->SetMg(scaledAt(2.0, Vector()));
    BaseObject* cloth = addCloth(input);
    drapeon& c = dataOf(cloth);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    ASSERT_TRUE(doc->EvaluateFrame(1));
    const float rest = c.stretchSprings.restLengths[0];
    // A marker that only a rebuild of the springs overwrites
    c.stretchSprings.restLengths[0] = 123.0f;

    // Another mass: new masses, same tolerance, no rebuild
    cloth->GetDataInstance()->SetFloat(DRAPEON_MASS, 20.0);
    ASSERT_TRUE(doc->EvaluateFrame(2));
    for (float m : c.cloth.masses) EXPECT_EQ(m, 5.0f * 20.0f / 36.0f);
    EXPECT_EQ(c.solver.tolerance, 5.0f * 0.001f);
    EXPECT_EQ(c.stretchSprings.restLengths[0], 123.0f);
    const drSvec3 moved = c.cloth.positions[0];

    // Another name: rebuilt, but the simulation goes on from frame 2
    input->SetName("renamed");
    ASSERT_TRUE(doc->EvaluateFrame(3));
    EXPECT_EQ(c.stretchSprings.restLengths[0], rest);
    EXPECT_NEAR(c.solver.time, 3.0f, 1e-3f);
    EXPECT_NE(c.cloth.positions[0], moved);
    EXPECT_NE(c.cloth.positions[0], (drSvec3{0.0f, 0.0f, 0.0f}));
    const std::string key = c.identityKey.GetStd();
    EXPECT_EQ(key.substr(key.size() - 7), "renamed");

    // The same input again: no rebuild
    c.stretchSprings.restLengths[0] = 123.0f;
    ASSERT_TRUE(doc->EvaluateFrame(4));
    EXPECT_EQ(c.stretchSprings.restLengths[0], 123.0f);
    EXPECT_EQ(c.identityKey.GetStd(), key);

    // Two objects of the same name are still two inputs
    PolygonObject* twin = addGrid(6, 6);
    twin->SetName("renamed");
    cloth->InsertUnder(twin);
    ASSERT_TRUE(doc->EvaluateFrame(5));
    EXPECT_EQ(c.stretchSprings.restLengths[0], rest);
    EXPECT_NE(c.identityKey.GetStd(), key);
}

// Points that have no state yet (all of them on a first evaluation after
// frame 0, the added ones when the input grows) start at the input, at rest.
TEST_F(ClothTest, PointsWithoutStateStartWhereTheInputHasThem) {
    PolygonObject* input = addGrid(5, 5);
    input->SetMg(scaledAt(1.0, Vector(0.0, 40.0, 0.0)));
    BaseObject* cloth = addCloth(input);
    const drapeon& c = dataOf(cloth);
    ASSERT_TRUE(doc->EvaluateFrame(5));
    EXPECT_NEAR(c.solver.time, 5.0f, 1e-3f);
    std::vector<Vector> out = shown(input);
    ASSERT_EQ(out.size(), 25u);
    // Nothing acts on a cloth at rest length: it stays where it is
    for (Int32 i = 0; i < 25; ++i) EXPECT_NEAR((out[i] - input->GetPointR()[i]).GetLength(), 0.0, 1e-4) << i;

    // Five more points, away from the grid and without polygons
    input->ResizeObject(30);
    Vector* p = input->GetPointW();
    for (Int32 i = 25; i < 30; ++i) p[i] = Vector(10.0 + i, 3.0, -7.0);
    ASSERT_TRUE(doc->EvaluateFrame(6));
    out = shown(input);
    ASSERT_EQ(out.size(), 30u);
    for (Int32 i = 25; i < 30; ++i) {
        EXPECT_NEAR((out[i] - p[i]).GetLength(), 0.0, 1e-4) << i;
        EXPECT_EQ(c.cloth.velocities[i], (drSvec3{0.0f, 0.0f, 0.0f}));
    }
}

TEST_F(ClothTest, CollectsAcceptedChildrenOneLevelDeepInChildOrder) {
    PolygonObject* input = addGrid(4, 4);
    BaseObject* cloth = addCloth(input);
    BaseObject* plane = addChild(cloth, ID_DRCOLLIDEPLANE);  // phase 2: acts after the others
    BaseObject* gravity = addChild(cloth, ID_DRGRAVITY);
    addChild(cloth, Onull);
    BaseObject* damp = addChild(cloth, ID_DRDAMP);
    addChild(gravity, ID_DRWIND);  // nested: not collected
    addChild(damp, ID_DRDAMP);

    ASSERT_TRUE(doc->EvaluateFrame(0));
    drapeon& c = dataOf(cloth);
    const std::vector<drSforce*> expected = {&c.stretchSprings, &c.shearSprings, &c.bendSprings,
                                             forceOf(gravity),  forceOf(damp),    forceOf(plane)};
    EXPECT_EQ(c.solver.forces, expected);

    // A deleted child is gone from the next evaluation's list
    BaseObject::Free(gravity);
    ASSERT_TRUE(doc->EvaluateFrame(1));
    const std::vector<drSforce*> rest = {&c.stretchSprings, &c.shearSprings, &c.bendSprings, forceOf(damp),
                                         forceOf(plane)};
    EXPECT_EQ(c.solver.forces, rest);
}

namespace {

/// A data object of an accepted type id that is not one of the plug-in's.
class Stranger : public ObjectData {
public:
    static NodeData* Alloc() { return NewObjClear<Stranger>(); }
};

}  // namespace

TEST_F(ClothTest, SkipsAChildOfAnAcceptedTypeThatHoldsNoForce) {
    const RegisteredType* wind = PluginRegistry::Find(ID_DRWIND);
    ASSERT_NE(wind, nullptr);
    const RegisteredType saved = *wind;
    PluginRegistry::Unregister(ID_DRWIND);
    ASSERT_TRUE(RegisterObjectPlugin(ID_DRWIND, String("stranger"), OBJECT_HELPER, Stranger::Alloc,
                                     String("stranger"), nullptr, 0));

    PolygonObject* input = addGrid(4, 4);
    BaseObject* cloth = addCloth(input);
    addChild(cloth, ID_DRWIND);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drapeon& c = dataOf(cloth);
    EXPECT_EQ(c.solver.forceCount(), 3);

    BaseDocument::Free(doc);
    doc = BaseDocument::Alloc();
    PluginRegistry::Unregister(ID_DRWIND);
    ASSERT_TRUE(RegisterObjectPlugin(saved.id, saved.name, saved.info, saved.allocator, saved.descriptionName,
                                     nullptr, saved.diskLevel));
}

TEST_F(ClothTest, SettlingDampingActsBeforeTheSettleFrameOnly) {
    const struct {
        Int32 settle;
        Int32 lastDampedFrame;  // -1: never
    } cases[] = {{10, 9}, {1, 0}, {0, -1}, {-3, -1}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.settle);
        BaseDocument::Free(doc);
        doc = BaseDocument::Alloc();
        PolygonObject* input = addGrid(4, 4);
        BaseObject* cloth = addCloth(input);
        cloth->GetDataInstance()->SetInt32(DRAPEON_SETTLE_FRAME, k.settle);
        const drapeon& c = dataOf(cloth);
        for (Int32 f = 0; f <= 11; ++f) {
            ASSERT_TRUE(doc->EvaluateFrame(f));
            const bool damped = c.solver.forces.back() == &c.settleDamping;
            EXPECT_EQ(damped, f <= k.lastDampedFrame) << "frame " << f;
            if (damped) {
                EXPECT_EQ(c.settleDamping.damping, c.solver.tolerance * 20.0f);
            }
        }
    }
}

TEST_F(ClothTest, SewChildrenMarkTheirPointsWhileTheyExist) {
    PolygonObject* input = addGrid(4, 4);
    BaseObject* cloth = addCloth(input);
    BaseObject* sewA = addChild(cloth, ID_DRSEW);
    BaseObject* sewB = addChild(cloth, ID_DRSEW);
    auto* a = static_cast<drSsew*>(forceOf(sewA));
    auto* b = static_cast<drSsew*>(forceOf(sewB));
    a->pairs = {{0, 3}, {4, 7}, {8, 11}};
    a->count = 2;  // the third pair is not in use
    b->pairs = {{12, 15}};
    b->count = 5;  // more than it holds: only the held pair counts
    const drapeon& c = dataOf(cloth);

    // Called directly: the sew objects' own evaluation would regather the pairs
    ASSERT_TRUE(modify(cloth, input));
    std::vector<uint8_t> expected(16, 0);
    for (Int32 i : {0, 3, 4, 7, 12, 15}) expected[i] = 1;
    EXPECT_EQ(c.cloth.pointFlags, expected);
    EXPECT_EQ(c.solver.forceCount(), 5);

    // A pair outside the cloth keeps that sew force out, and marks nothing
    b->pairs = {{12, 16}};
    b->count = 1;
    ASSERT_TRUE(modify(cloth, input));
    expected[12] = expected[15] = 0;
    EXPECT_EQ(c.cloth.pointFlags, expected);
    EXPECT_EQ(c.solver.forceCount(), 4);

    BaseObject::Free(sewA);
    BaseObject::Free(sewB);
    ASSERT_TRUE(modify(cloth, input));
    EXPECT_EQ(c.cloth.pointFlags, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(c.solver.forceCount(), 3);
}

TEST_F(ClothTest, SelfCollisionGetsTheClothsFlagsAndPositions) {
    PolygonObject* input = addGrid(5, 5);
    BaseObject* cloth = addCloth(input);
    BaseObject* self = addChild(cloth, ID_DRCOLLIDESELF);
    auto* collider = static_cast<drScollideSelf*>(forceOf(self));
    const drapeon& c = dataOf(cloth);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    ASSERT_TRUE(doc->EvaluateFrame(1));
    ASSERT_NE(collider->tree, nullptr);
    EXPECT_EQ(collider->pointFlags, c.cloth.pointFlags.data());
    EXPECT_EQ(collider->tree->positions, c.cloth.positions.data());
    EXPECT_EQ(c.solver.forces.back(), collider);

    // The input grows: the cloth's arrays move, and the tree follows them
    input->ResizeObject(200);
    ASSERT_TRUE(doc->EvaluateFrame(2));
    EXPECT_EQ(c.cloth.pointCount, 200);
    EXPECT_EQ(collider->tree->positions, c.cloth.positions.data());

    // A collider set up for more points than the cloth has is left out
    collider->pointCount = 201;
    ASSERT_TRUE(modify(cloth, input->GetDeformCache()));
    EXPECT_EQ(c.solver.forceCount(), 3);
}

TEST_F(ClothTest, InputsWithoutPointsAreLeftAloneWithoutTheLock) {
    PolygonObject* empty = PolygonObject::Alloc(0, 0);
    doc->InsertObject(empty);
    BaseObject* cloth = addCloth(empty);
    BaseObject* nullObject = BaseObject::Alloc(Onull);
    doc->InsertObject(nullObject);

    // Another thread holds the pool's lock for the whole check
    std::mutex m;
    std::condition_variable cv;
    bool locked = false, release = false;
    std::thread holder([&] {
        poolLock();
        {
            std::unique_lock<std::mutex> lk(m);
            locked = true;
            cv.notify_all();
            cv.wait(lk, [&] { return release; });
        }
        poolUnlock();
    });
    {
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, [&] { return locked; });
    }
    auto done = std::async(std::launch::async, [&] { return modify(cloth, empty) && modify(cloth, nullObject); });
    const bool finished = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lk(m);
        release = true;
    }
    cv.notify_all();
    holder.join();
    EXPECT_TRUE(finished) << "the evaluation waited for the pool's lock";
    EXPECT_TRUE(done.get());
    EXPECT_EQ(empty->GetUpdateCount(), 0);
    EXPECT_EQ(nullObject->GetUpdateCount(), 0);
    EXPECT_EQ(dataOf(cloth).cloth.pointCount, 0);
}

TEST_F(ClothTest, PointObjectWithoutPolygonsMovesWithoutSprings) {
    PointObject* cloud = PointObject::Alloc(3);
    Vector* p = cloud->GetPointW();
    p[1] = Vector(4.0, 0.0, 0.0);
    p[2] = Vector(0.0, 2.0, 0.0);
    doc->InsertObject(cloud);
    BaseObject* cloth = addCloth(cloud);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drapeon& c = dataOf(cloth);
    EXPECT_EQ(c.stretchSprings.springCount, 0);
    EXPECT_EQ(c.cloth.triangleCount, 0);
    for (float mass : c.cloth.masses) EXPECT_EQ(mass, 4.0f * 10.0f / 3.0f);
    EXPECT_EQ(shown(cloud)[1], p[1]);
}

TEST_F(ClothTest, DirtyExactlyWhenTheDocumentLeftTheSimulatedFrame) {
    PolygonObject* input = addGrid(4, 4);
    BaseObject* cloth = addCloth(input);
    drapeon& c = dataOf(cloth);
    ASSERT_TRUE(doc->EvaluateFrame(7));
    ASSERT_NEAR(c.solver.time, 7.0f, 1e-3f);

    const struct {
        float time;
        Int32 frame;
        bool dirty;
    } cases[] = {
        {7.0f, 7, false}, {7.0f, 8, true},  {7.0f, 6, true}, {6.9995f, 7, false},  // 6.9995 + 0.001 counts as 7
        {6.99f, 7, true}, {-0.5f, 0, false}, {5.0f, 3, true},                     // an earlier frame stays dirty
    };
    for (const auto& k : cases) {
        c.solver.time = k.time;
        setFrame(k.frame);
        const UInt32 before = cloth->GetDirty(DIRTYFLAGS::DATA);
        c.CheckDirty(cloth, doc);
        EXPECT_EQ(cloth->GetDirty(DIRTYFLAGS::DATA) != before, k.dirty) << k.time << " at frame " << k.frame;
    }
}

TEST_F(ClothTest, MessagesSwitchOnRewindAndAnswerTrue) {
    BaseObject* cloth = BaseObject::Alloc(ID_DRAPEON);
    ASSERT_NE(cloth, nullptr);
    EXPECT_FALSE(cloth->GetDeformMode());
    EXPECT_TRUE(cloth->Message(MSG_MENUPREPARE));
    EXPECT_TRUE(cloth->GetDeformMode());
    // Without a document there is nothing to rewind
    EXPECT_TRUE(cloth->Message(DRAPEON_MSG_REWIND));
    EXPECT_TRUE(cloth->Message(MSG_DESCRIPTION_COMMAND, nullptr));
    EXPECT_TRUE(cloth->Message(12345));

    doc->InsertObject(cloth);
    setFrame(42);
    EXPECT_TRUE(cloth->Message(DRAPEON_MSG_REWIND));
    EXPECT_EQ(doc->GetTime().Get(), 0.0);

    Vector mp(5.0), rad(5.0);
    dataOf(cloth).GetDimension(cloth, &mp, &rad);
    EXPECT_EQ(mp, Vector(0.0, 0.0, 0.0));
    EXPECT_EQ(rad, Vector(1.0, 1.0, 1.0));
}

TEST_F(ClothTest, DeleteButtonRemovesTheCacheFilesOfFramesZeroTo999) {
    const fs::path dir = makeFolder();
    BaseObject* cloth = BaseObject::Alloc(ID_DRAPEON);
    doc->InsertObject(cloth);
    auto touch = [](const fs::path& p) { std::ofstream(p) << "x"; };
    auto press = [&](Int32 button) {
        DescriptionCommand command(button);
        EXPECT_TRUE(cloth->Message(MSG_DESCRIPTION_COMMAND, &command));
    };
    const std::vector<std::string> deleted = {"B0000", "B0001", "B0500", "B0999"};
    const std::vector<std::string> kept = {"B1000", "B12345", "B-0001", "B000", "C0000"};
    for (const auto& name : deleted) touch(dir / name);
    for (const auto& name : kept) touch(dir / name);

    // Another button, or no base name: nothing is deleted
    cloth->GetDataInstance()->SetFilename(DRAPEON_CACHE_PATH, Filename((dir / "B").string()));
    press(DRAPEON_CACHE_PATH);
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    touch(dir / "0000");
    cloth->GetDataInstance()->SetFilename(DRAPEON_CACHE_PATH, Filename());
    press(DRAPEON_CACHE_DELETE);
    fs::current_path(cwd);
    EXPECT_TRUE(fs::exists(dir / "0000"));
    for (const auto& name : deleted) EXPECT_TRUE(fs::exists(dir / name)) << name;

    cloth->GetDataInstance()->SetFilename(DRAPEON_CACHE_PATH, Filename((dir / "B").string()));
    press(DRAPEON_CACHE_DELETE);
    for (const auto& name : deleted) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

TEST_F(ClothTest, CacheNamesOutside7BitAsciiAreWrittenAndDeletedAlike) {
    const fs::path dir = makeFolder();
    PolygonObject* input = addGrid(3, 3);
    BaseObject* cloth = addCloth(input);
    cloth->GetDataInstance()->SetFilename(DRAPEON_CACHE_PATH, Filename((dir / "dr\xC3\xA9").string()));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    ASSERT_TRUE(doc->EvaluateFrame(1));
    const fs::path written = dir / "dr\\u00E90001";
    EXPECT_TRUE(fs::exists(written));

    DescriptionCommand command(DRAPEON_CACHE_DELETE);
    cloth->Message(MSG_DESCRIPTION_COMMAND, &command);
    EXPECT_TRUE(fs::is_empty(dir));

    // Clearing the name switches the cache off from the next evaluation on
    cloth->GetDataInstance()->SetFilename(DRAPEON_CACHE_PATH, Filename());
    ASSERT_TRUE(doc->EvaluateFrame(2));
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_FALSE(dataOf(cloth).cloth.hasCachePath());
}

TEST_F(ClothTest, DrawsTheShirtInTheObjectPassOnly) {
    BaseObject* cloth = BaseObject::Alloc(ID_DRAPEON);
    cloth->SetMg(scaledAt(1.0, Vector(5.0, 0.0, -2.0)));
    doc->InsertObject(cloth);
    BaseDraw bd;
    doc->Draw(&bd);

    const std::vector<DrawRecord>& r = bd.GetRecords();
    ASSERT_EQ(r.size(), 11u + 32u);  // eleven lines and the neckline's segments
    for (const DrawRecord& d : r) {
        EXPECT_EQ(d.pass, 0);
        EXPECT_EQ(d.color, Vector(1.0, 1.0, 1.0));
        EXPECT_EQ(d.a.z, -2.0);
        EXPECT_EQ(d.b.z, -2.0);
    }
    // A closed outline: every element starts where the one before ends
    for (size_t k = 1; k < r.size(); ++k) EXPECT_NEAR((r[k].a - r[k - 1].b).GetLength(), 0.0, 0.03) << k;
    EXPECT_NEAR((r.back().b - r.front().a).GetLength(), 0.0, 1e-12);
    EXPECT_EQ(r.front().a, Vector(25.0, 20.0, -2.0));
    EXPECT_EQ(r[4].b, Vector(41.0, 100.0, -2.0));
    EXPECT_NEAR(r[5 + 16].a.y, 105.29 - 14.96, 0.05);  // the neckline dips to about 90.3

    bd.ClearRecords();
    for (const DRAWPASS pass : {DRAWPASS::HANDLES, DRAWPASS::HIGHLIGHTS}) {
        BaseDrawHelp bh(cloth->GetMg());
        EXPECT_EQ(dataOf(cloth).Draw(cloth, pass, &bd, &bh), DRAWRESULT::OK);
    }
    EXPECT_TRUE(bd.GetRecords().empty());
}
