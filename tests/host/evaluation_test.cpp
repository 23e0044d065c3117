// Frame evaluation: animation, execution order, deform caches, drawing.
#include "host.h"

#include <gtest/gtest.h>

#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr Int32 kExecType = 1990001;    // AddToExecution with priority from parameter 1
constexpr Int32 kDeformType = 1990002;  // deformer: moves points up by the frame
constexpr Int32 kThrowType = 1990003;   // throws from Execute
constexpr Int32 kDrawType = 1990004;    // draws a line, an arc and a handle
constexpr Int32 kPriority = 1;

std::vector<std::string> journal;

class Executed : public ObjectData {
public:
    Bool AddToExecution(BaseObject* op, PriorityList* list) override {
        const Int32 priority = op->GetDataInstance()->GetInt32(kPriority, -1);
        if (priority < 0) return false;
        list->Add(op, priority, 2);
        return true;
    }
    EXECUTIONRESULT Execute(BaseObject* op, BaseDocument*, BaseThread*, Int32, EXECUTIONFLAGS) override {
        journal.push_back("exec " + op->GetName().GetStd());
        return EXECUTIONRESULT::OK;
    }
    static NodeData* Alloc() { return NewObjClear<Executed>(); }
};

/// Dirty rule of a simulation: dirty whenever the document's frame is not
/// the frame last deformed.
class Deformer : public ObjectData {
public:
    Int32 lastFrame = -1000;
    Int32 modifyCount = 0;
    UInt32 seenIP = 0;
    UInt64 seenGUID = 0;
    std::string seenName;
    Matrix seenMg;
    Vector sourceCacheFirst;  ///< first point of the linked object's cache
    void CheckDirty(BaseObject* op, BaseDocument* doc) override {
        if (doc->GetFrame() != lastFrame) op->SetDirty(DIRTYFLAGS::DATA);
    }
    Bool ModifyObject(BaseObject* mod, BaseDocument* doc, BaseObject* op, const Matrix&, const Matrix&, Float, Int32,
                      BaseThread*) override {
        ++modifyCount;
        lastFrame = doc->GetFrame();
        seenIP = op->GetUniqueIP();
        seenGUID = op->GetGUID();
        seenName = op->GetName().GetStd();
        seenMg = op->GetMg();
        journal.push_back("deform " + mod->GetName().GetStd());
        if (BaseList2D* link = mod->GetDataInstance()->GetLink(2, doc, Opoint)) {
            BaseObject* cache = static_cast<BaseObject*>(link)->GetDeformCache();
            if (cache) sourceCacheFirst = ToPoint(cache)->GetPointR()[0];
        }
        Vector* p = ToPoint(op)->GetPointW();
        for (Int32 i = 0; i < ToPoint(op)->GetPointCount(); ++i) p[i].y += lastFrame;
        op->Message(MSG_UPDATE);
        return true;
    }
    static NodeData* Alloc() { return NewObjClear<Deformer>(); }
};

class Thrower : public ObjectData {
public:
    Bool AddToExecution(BaseObject* op, PriorityList* list) override { return list->Add(op, 1000, 2); }
    EXECUTIONRESULT Execute(BaseObject*, BaseDocument*, BaseThread*, Int32, EXECUTIONFLAGS) override {
        throw std::runtime_error("boom");
    }
    static NodeData* Alloc() { return NewObjClear<Thrower>(); }
};

class Drawer : public ObjectData {
public:
    DRAWRESULT Draw(BaseObject* op, DRAWPASS pass, BaseDraw* bd, BaseDrawHelp* bh) override {
        bd->SetMatrix_Matrix(nullptr, bh->GetMg());
        if (pass == DRAWPASS::OBJECT) {
            bd->SetPen(Vector(1, 0, 0));
            bd->DrawLine(Vector(0, 0, 0), Vector(1, 0, 0), 0);
            bd->DrawArc(Vector(0, 0, 0), 2.0, 0.0, std::numbers::pi / 2, 4, 0);
        } else if (pass == DRAWPASS::HANDLES) {
            bd->DrawHandle(Vector(0, 0, 5), DRAWHANDLE::MIDDLE, 0);
        }
        (void)op;
        return DRAWRESULT::OK;
    }
    static NodeData* Alloc() { return NewObjClear<Drawer>(); }
};

class Evaluation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(RegisterObjectPlugin(kExecType, "exec", OBJECT_HELPER, Executed::Alloc, "tExec", nullptr, 0));
        ASSERT_TRUE(RegisterObjectPlugin(kDeformType, "deform", OBJECT_MODIFIER, Deformer::Alloc, "tDeform", nullptr, 0));
        ASSERT_TRUE(RegisterObjectPlugin(kThrowType, "throw", OBJECT_HELPER, Thrower::Alloc, "tThrow", nullptr, 0));
        ASSERT_TRUE(RegisterObjectPlugin(kDrawType, "draw", OBJECT_HELPER, Drawer::Alloc, "tDraw", nullptr, 0));
    }
    void SetUp() override {
        journal.clear();
        HostTakeErrors();
        doc = BaseDocument::Alloc();
    }
    void TearDown() override { BaseDocument::Free(doc); }

    BaseObject* add(Int32 type, const char* name, BaseObject* parent = nullptr, Int32 priority = -1) {
        BaseObject* op = BaseObject::Alloc(type);
        EXPECT_NE(op, nullptr);
        op->SetName(name);
        if (priority >= 0) op->GetDataInstance()->SetInt32(kPriority, priority);
        doc->InsertObject(op, parent);
        op->Message(MSG_MENUPREPARE);
        return op;
    }
    PolygonObject* addMesh(const char* name, BaseObject* parent = nullptr) {
        PolygonObject* mesh = PolygonObject::Alloc(3, 1);
        mesh->SetName(name);
        Vector* p = mesh->GetPointW();
        p[0] = Vector(0, 0, 0);
        p[1] = Vector(1, 0, 0);
        p[2] = Vector(0, 0, 1);
        mesh->GetPolygonW()[0] = CPolygon(0, 1, 2);
        doc->InsertObject(mesh, parent);
        return mesh;
    }
    BaseObject* addDeformer(const char* name, BaseObject* under) {
        BaseObject* d = add(kDeformType, name, under);
        d->SetDeformMode(true);
        return d;
    }

    BaseDocument* doc = nullptr;
};

}  // namespace

TEST_F(Evaluation, ExecuteRunsByPriorityThenTreeOrderThenDeforms) {
    BaseObject* a = add(kExecType, "A", nullptr, 3000);
    add(kExecType, "B", a, 2000);
    add(kExecType, "skipped", a);  // does not insert itself
    add(kExecType, "C", nullptr, 2000);
    add(kExecType, "D", nullptr, 100);
    PolygonObject* mesh = addMesh("mesh");
    addDeformer("cloth", mesh);

    ASSERT_TRUE(doc->EvaluateFrame(0));
    EXPECT_EQ(journal, (std::vector<std::string>{"exec D", "exec B", "exec C", "exec A", "deform cloth"}));
}

TEST_F(Evaluation, DeformCacheIsRebuiltOnlyWhenSomethingChanged) {
    BaseObject* parent = add(kExecType, "parent");
    parent->SetMl(MatrixMove(Vector(0, 50, 0)));
    PolygonObject* mesh = addMesh("shirt", parent);
    BaseObject* d = addDeformer("cloth", mesh);
    Deformer* data = d->GetNodeData<Deformer>();

    struct Step { Int32 frame; int rebuilds; };
    const Step steps[] = {{0, 1}, {1, 1}, {1, 0}, {1, 0}, {2, 1}};
    for (const Step& s : steps) {
        ASSERT_TRUE(doc->EvaluateFrame(s.frame));
        EXPECT_EQ(doc->GetLastRebuildCount(), s.rebuilds) << "frame " << s.frame;
    }
    EXPECT_EQ(data->modifyCount, 3);

    // The cache is a deformed copy; the object's own points never change.
    BaseObject* cache = mesh->GetDeformCache();
    ASSERT_NE(cache, nullptr);
    ASSERT_NE(cache, mesh);
    EXPECT_EQ(ToPoint(cache)->GetPointR()[1], Vector(1, 2, 0));
    EXPECT_EQ(mesh->GetPointR()[1], Vector(1, 0, 0));
    EXPECT_EQ(ToPoly(cache)->GetPolygonCount(), 1);
    EXPECT_EQ(cache->GetUpdateCount(), 1);
    // It keeps the input's name, identifiers and world matrix.
    EXPECT_EQ(data->seenName, "shirt");
    EXPECT_EQ(data->seenIP, mesh->GetUniqueIP());
    EXPECT_EQ(data->seenGUID, mesh->GetGUID());
    EXPECT_EQ(data->seenMg, mesh->GetMg());
    EXPECT_EQ(cache->GetMg().off, Vector(0, 50, 0));

    // Changes of the deformer's parameters, the input's points, its world
    // matrix or its name each rebuild once.
    d->GetDataInstance()->SetFloat(7, 1.0);
    ASSERT_TRUE(doc->EvaluateFrame(2));
    EXPECT_EQ(doc->GetLastRebuildCount(), 1);
    mesh->GetPointW()[0] = Vector(0, 0, -1);
    ASSERT_TRUE(doc->EvaluateFrame(2));
    EXPECT_EQ(doc->GetLastRebuildCount(), 1);
    parent->SetMl(MatrixMove(Vector(0, 60, 0)));
    ASSERT_TRUE(doc->EvaluateFrame(2));
    EXPECT_EQ(doc->GetLastRebuildCount(), 1);
    mesh->SetName("renamed");
    ASSERT_TRUE(doc->EvaluateFrame(2));
    EXPECT_EQ(doc->GetLastRebuildCount(), 1);
    ASSERT_TRUE(doc->EvaluateFrame(2));
    EXPECT_EQ(doc->GetLastRebuildCount(), 0);

    // Switching the deformer off drops the cache.
    d->SetDeformMode(false);
    ASSERT_TRUE(doc->EvaluateFrame(3));
    EXPECT_EQ(mesh->GetDeformCache(), nullptr);
}

TEST_F(Evaluation, LaterObjectsSeeThisFramesCacheOfEarlierOnes) {
    PolygonObject* first = addMesh("first");
    addDeformer("d1", first);
    PolygonObject* second = addMesh("second");
    BaseObject* d2 = addDeformer("d2", second);
    d2->GetDataInstance()->SetLink(2, first);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    ASSERT_TRUE(doc->EvaluateFrame(4));
    EXPECT_EQ(d2->GetNodeData<Deformer>()->sourceCacheFirst, Vector(0, 4, 0));
}

TEST_F(Evaluation, ThrowingCallbackIsContainedAndReported) {
    add(kThrowType, "bad");
    add(kExecType, "good", nullptr, 2000);
    EXPECT_FALSE(doc->EvaluateFrame(0));
    EXPECT_EQ(journal, (std::vector<std::string>{"exec good"}));
    const std::vector<std::string> errors = HostTakeErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("bad"), std::string::npos);
}

TEST_F(Evaluation, AnimationHoldsOutsideKeysAndInterpolatesInside) {
    PolygonObject* mesh = addMesh("mesh");
    Animation& anim = mesh->GetAnimation();
    anim.position = {{10, Vector(10, 0, 0)}, {0, Vector(0, 0, 0)}};  // any order
    anim.parameters[5] = ParameterTrack{false, {{0, 0.0}, {10, 1.0}}};
    anim.parameters[6] = ParameterTrack{true, {{0, 1.0}, {10, 5.0}}};
    anim.points = {{0, {Vector(0, 0, 0), Vector(1, 0, 0), Vector(0, 0, 1)}},
                   {4, {Vector(0, 4, 0), Vector(1, 4, 0), Vector(0, 4, 1)}}};

    struct Case { Int32 frame; double x; double f; Int32 i; double py; };
    const Case cases[] = {
        {-5, 0, 0.0, 1, 0}, {0, 0, 0.0, 1, 0}, {3, 3, 0.3, 1, 3}, {9, 9, 0.9, 1, 4}, {10, 10, 1.0, 5, 4}, {20, 10, 1.0, 5, 4},
    };
    const BaseContainer* bc = mesh->GetDataInstance();
    for (const Case& c : cases) {
        doc->EvaluateFrame(c.frame);
        EXPECT_DOUBLE_EQ(mesh->GetMl().off.x, c.x) << c.frame;
        EXPECT_DOUBLE_EQ(bc->GetFloat(5), c.f) << c.frame;
        EXPECT_EQ(bc->GetInt32(6), c.i) << c.frame;
        EXPECT_DOUBLE_EQ(mesh->GetPointR()[2].y, c.py) << c.frame;
    }

    // A held value does not count as a change.
    const UInt32 dirty = mesh->GetDirty(DIRTYFLAGS::DATA) + mesh->GetDirty(DIRTYFLAGS::MATRIX);
    doc->EvaluateFrame(30);
    EXPECT_EQ(mesh->GetDirty(DIRTYFLAGS::DATA) + mesh->GetDirty(DIRTYFLAGS::MATRIX), dirty);
}

TEST_F(Evaluation, RotationAppliesXThenYThenZAfterScale) {
    BaseObject* op = add(kExecType, "turned");
    op->GetAnimation().rotation = {{0, Vector(90, 0, 90)}};
    op->GetAnimation().scale = {{0, Vector(2, 2, 2)}};
    doc->EvaluateFrame(0);
    const Vector p = op->GetMl() * Vector(1, 0, 0);
    // About X first leaves +X alone, then Z turns it to +Y.
    EXPECT_NEAR(p.x, 0.0, 1e-12);
    EXPECT_NEAR(p.y, 2.0, 1e-12);
    EXPECT_NEAR(p.z, 0.0, 1e-12);
}

TEST_F(Evaluation, DrawRecordsWorldSpaceLinesArcsAndHandles) {
    BaseObject* op = add(kDrawType, "guide");
    op->SetMl(MatrixMove(Vector(100, 0, 0)));
    BaseDraw bd;
    doc->Draw(&bd);
    const auto& r = bd.GetRecords();
    ASSERT_EQ(r.size(), 1u + 4u + 1u);
    EXPECT_EQ(r[0].kind, DrawRecord::Kind::LINE);
    EXPECT_EQ(r[0].a, Vector(100, 0, 0));
    EXPECT_EQ(r[0].b, Vector(101, 0, 0));
    EXPECT_EQ(r[0].color, Vector(1, 0, 0));
    EXPECT_EQ(r[0].object, op);
    EXPECT_EQ(r[0].pass, 0);
    // The arc runs from (2, 0) to (0, 2) around the object's origin.
    EXPECT_EQ(r[1].a, Vector(102, 0, 0));
    EXPECT_NEAR(r[4].b.x, 100.0, 1e-12);
    EXPECT_NEAR(r[4].b.y, 2.0, 1e-12);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(r[static_cast<size_t>(i)].b, r[static_cast<size_t>(i + 1)].a);
    // The handle pass starts with a white pen again.
    EXPECT_EQ(r[5].kind, DrawRecord::Kind::HANDLE);
    EXPECT_EQ(r[5].a, Vector(100, 0, 5));
    EXPECT_EQ(r[5].handleType, 2);
    EXPECT_EQ(r[5].pass, 2);
    EXPECT_EQ(r[5].color, Vector(1, 1, 1));
}

TEST_F(Evaluation, SearchObjectByNameAndPath) {
    BaseObject* a = add(kExecType, "a");
    BaseObject* b = add(kExecType, "b", a);
    BaseObject* c = add(kExecType, "c", b);
    add(kExecType, "c");
    EXPECT_EQ(doc->SearchObject("c"), c);  // depth first
    EXPECT_EQ(doc->SearchObject("a/b/c"), c);
    EXPECT_EQ(doc->SearchObject("a/c"), nullptr);
    EXPECT_EQ(doc->SearchObject("nothing"), nullptr);
    EXPECT_EQ(c->GetDocument(), doc);
    c->Remove();
    EXPECT_EQ(c->GetDocument(), nullptr);
    EXPECT_EQ(b->GetDown(), nullptr);
    BaseObject::Free(c);
}
