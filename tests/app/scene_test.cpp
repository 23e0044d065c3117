// Scene loader: generators, OBJ reading, building the document (tree,
// placement, tags, parameters, links, animation) and the errors of bad
// scenes. Uses two small plug-in types registered by the test itself.
#include "scene.h"
#include "sceneMesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr Int32 kDeformerId = 1999101;
constexpr Int32 kHelperId = 1999102;

/// A deformer that switches its deform mode on when created from the menu.
class TestDeformer : public ObjectData {
public:
    Bool Init(GeListNode* node) override {
        static_cast<BaseList2D*>(node)->GetDataInstance()->SetFloat(1000, 10.0);
        return true;
    }
    Bool Message(GeListNode* node, Int32 type, void*) override {
        if (type == MSG_MENUPREPARE) static_cast<BaseObject*>(node)->SetDeformMode(true);
        return true;
    }
    static NodeData* Alloc() { return NewObjClear<TestDeformer>(); }
};

class TestHelper : public ObjectData {
public:
    static NodeData* Alloc() { return NewObjClear<TestHelper>(); }
};

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

class SceneTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = fs::temp_directory_path() / ("drapeon_scene_test_" + std::to_string(::getpid()));
        writeFile(root_ / "plugin/res/description/tCloth.json", R"({ "parameters": [
            { "id": 1000, "name": "T_MASS", "type": "float", "default": 10.0 },
            { "id": 1001, "name": "T_COUNT", "type": "int32", "default": 0 },
            { "id": 1002, "name": "T_DIRECTION", "type": "vector", "default": [0, -1, 0] },
            { "id": 1003, "name": "T_CACHE", "type": "filename", "default": "" },
            { "id": 1004, "name": "T_DELETE", "type": "button" },
            { "id": 1005, "name": "T_POINTS", "type": "link", "accepts": [5674, 5682] },
            { "id": 1006, "name": "T_TARGET", "type": "link", "accepts": [5156] } ] })");
        writeFile(root_ / "plugin/res/description/tHelper.json", R"({ "parameters": [] })");
        PluginRegistry::SetCurrentPluginFolder(Filename((root_ / "plugin").string()));
        ASSERT_TRUE(RegisterObjectPlugin(kDeformerId, String("#$00Test Cloth"), OBJECT_MODIFIER, TestDeformer::Alloc,
                                         String("tCloth"), nullptr, 0));
        ASSERT_TRUE(RegisterObjectPlugin(kHelperId, String("Helper"), OBJECT_HELPER, TestHelper::Alloc,
                                         String("tHelper"), nullptr, 0));
        PluginRegistry::SetCurrentPluginFolder(Filename());
        writeFile(root_ / "meshes/tri.obj", "# a triangle and a quad\nv 0 0 0\nv 1 0 0\nv 1 0 1\nv 0 0 1\nf 1 2 3\nf 1/1/1 2//2 3 4\n");
        writeFile(root_ / "meshes/tri_up.obj", "v 0 1 0\nv 1 1 0\nv 1 1 1\nv 0 1 1\n");
    }
    static void TearDownTestSuite() {
        PluginRegistry::Unregister(kDeformerId);
        PluginRegistry::Unregister(kHelperId);
        fs::remove_all(root_);
    }

    /// Loads text as the scene file root/scene.json.
    bool load(const std::string& text, Scene& scene, std::string& error) {
        return loadSceneText(text, root_ / "scene.json", scene, error);
    }
    Scene loadOk(const std::string& text) {
        Scene scene;
        std::string error;
        EXPECT_TRUE(load(text, scene, error)) << error;
        return scene;
    }
    static BaseObject* find(const Scene& scene, const std::string& path) {
        for (const SceneObject& so : scene.objects)
            if (so.path == path) return so.object;
        return nullptr;
    }

    static inline fs::path root_;
};

void expectNear(const Vector& a, const Vector& b, double tolerance = 1e-9) {
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

// --- Generators -------------------------------------------------------------

TEST(SceneMeshTest, PlaneFollowsTheIndexAndPositionRule) {
    struct Case { double w, h; Int32 sx, sz; };
    for (const Case c : {Case{200, 200, 20, 20}, Case{4, 2, 2, 1}, Case{1, 3, 1, 3}}) {
        const SceneMesh m = makePlane(c.w, c.h, c.sx, c.sz);
        ASSERT_EQ(m.points.size(), size_t((c.sx + 1) * (c.sz + 1)));
        ASSERT_EQ(m.polygons.size(), size_t(c.sx * c.sz));
        for (Int32 j = 0; j <= c.sz; ++j)
            for (Int32 i = 0; i <= c.sx; ++i)
                expectNear(m.points[j * (c.sx + 1) + i], Vector(-c.w / 2 + c.w * i / c.sx, 0, -c.h / 2 + c.h * j / c.sz));
        auto p = [&](Int32 i, Int32 j) { return j * (c.sx + 1) + i; };
        for (Int32 j = 0; j < c.sz; ++j)
            for (Int32 i = 0; i < c.sx; ++i) {
                const CPolygon& f = m.polygons[j * c.sx + i];
                EXPECT_EQ(f.a, p(i, j));
                EXPECT_EQ(f.b, p(i, j + 1));
                EXPECT_EQ(f.c, p(i + 1, j + 1));
                EXPECT_EQ(f.d, p(i + 1, j));
                const Vector n = Cross(m.points[f.b] - m.points[f.a], m.points[f.c] - m.points[f.b]);
                EXPECT_GT(n.y, 0.0) << "the plane faces +Y";
            }
    }
}

TEST(SceneMeshTest, SphereIsClosedOutwardAndConsistentlyWound) {
    for (const Int32 segments : {3, 4, 7, 24}) {
        const double r = 50.0;
        const SceneMesh m = makeSphere(r, segments);
        const Int32 bands = std::max(2, segments / 2);
        ASSERT_EQ(Int64(m.points.size()), spherePointCount(segments));
        expectNear(m.points.front(), Vector(0, r, 0));
        expectNear(m.points.back(), Vector(0, -r, 0));
        expectNear(m.points[1], Vector(r * std::sin(std::numbers::pi / bands), r * std::cos(std::numbers::pi / bands), 0));
        for (const Vector& p : m.points) EXPECT_NEAR(p.GetLength(), r, 1e-9);
        ASSERT_EQ(m.polygons.size(), size_t(segments * bands));
        // Poles as triangles, the bands as quads
        for (size_t f = 0; f < m.polygons.size(); ++f)
            EXPECT_EQ(m.polygons[f].IsTriangle(), f < size_t(segments) || f >= size_t(segments * (bands - 1))) << f;
        // Every directed edge appears once and its reverse once: closed and
        // consistently wound; the normals point away from the centre.
        std::map<std::pair<Int32, Int32>, int> edges;
        for (const CPolygon& f : m.polygons) {
            const Int32 n = f.IsTriangle() ? 3 : 4;
            Vector centre;
            for (Int32 k = 0; k < n; ++k) {
                ++edges[{f[k], f[(k + 1) % n]}];
                centre += m.points[f[k]] / n;
            }
            const Vector normal = Cross(m.points[f.b] - m.points[f.a], m.points[f.c] - m.points[f.b]);
            EXPECT_GT(Dot(normal, centre), 0.0);
        }
        for (const auto& [edge, count] : edges) {
            EXPECT_EQ(count, 1);
            EXPECT_EQ(edges.count({edge.second, edge.first}), 1u);
        }
    }
}

TEST(SceneMeshTest, ObjReaderKeepsTrianglesAndQuadsAndSplitsLargerFaces) {
    SceneMesh m;
    std::string error;
    ASSERT_TRUE(parseObj("v 0 0 0\nv 1 0 0\nv 1 0 1\nv 0 0 1\nv 0.5 0 2\r\nvt 0 0\nf -5 -4 -3\nf 1/1 2/1/1 3//1 4\nf 1 2 3 4 5\n",
                         "m.obj", m, error))
        << error;
    ASSERT_EQ(m.points.size(), 5u);
    ASSERT_EQ(m.polygons.size(), 5u);
    EXPECT_TRUE(m.polygons[0].IsTriangle());
    EXPECT_EQ(m.polygons[0].a, 0);
    EXPECT_EQ(m.polygons[1].d, 3);
    EXPECT_EQ(m.polygons[4].a, 0);  // fan of the pentagon: (0 1 2) (0 2 3) (0 3 4)
    EXPECT_EQ(m.polygons[4].b, 3);
    EXPECT_EQ(m.polygons[4].c, 4);

    struct Bad { const char* text; const char* message; };
    for (const Bad b : {Bad{"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n", "m.obj:4: the face refers to point 4"},
                        Bad{"v 0 0 0\nv 1 nan 0\n", "m.obj:2: a point"},
                        Bad{"v 0 0 0\nv 1 0 0\nf 1 2\n", "m.obj:3: a face needs at least three corners"},
                        Bad{"v 0 0 0\nf 0 1 1\n", "m.obj:2: \"0\" is not a point index"},
                        Bad{"v 0 0 0\nf -3 1 1\n", "m.obj:2: the index -3 is outside"},
                        Bad{"# nothing\n", "holds no points"}}) {
        EXPECT_FALSE(parseObj(b.text, "m.obj", m, error)) << b.text;
        EXPECT_NE(error.find(b.message), std::string::npos) << error;
    }
}

// --- Building -----------------------------------------------------------------

TEST_F(SceneTest, BuildsTheTreeWithPlacementTagsParametersAndLinks) {
    const Scene scene = loadOk(R"({ "fps": 25, "frames": [-2, 12], "objects": [
        { "type": "null", "name": "Table", "position": [0, 50, 0],
          "children": [ { "type": "polygon", "name": "Top", "rotation": [90, 0, 0], "scale": [2, 1, 1],
                          "mesh": {"obj": "meshes/tri.obj"} } ] },
        { "type": "polygon", "name": "Sheet", "matrix": {"offset": [1, 2, 3], "x": [0, 0, -1], "z": [1, 0, 0]},
          "mesh": {"plane": {"width": 2, "height": 2, "segments": [2, 2]}},
          "tags": [ {"type": "pointSelection", "name": "top", "points": [0, [6, 8]]},
                    {"type": "vertexMap", "name": "w", "weights": [0, 0.5, 1, 0, 0, 0, 0, 0, 1]} ],
          "children": [ { "type": "tCloth", "name": "Cloth",
                          "params": { "T_MASS": 3, "1001": 7, "T_DIRECTION": [1, 2, 3], "T_CACHE": "cache/c_",
                                      "T_POINTS": {"tag": "Sheet:top"}, "T_TARGET": {"object": "Table/Top"} },
                          "children": [ {"type": 1999102} ] } ] } ] })");
    EXPECT_EQ(scene.fps, 25);
    EXPECT_EQ(scene.firstFrame, -2);
    EXPECT_EQ(scene.lastFrame, 12);
    EXPECT_EQ(scene.name, "scene");
    std::vector<std::string> paths;
    for (const SceneObject& so : scene.objects) paths.push_back(so.path + "=" + so.typeName);
    EXPECT_EQ(paths, (std::vector<std::string>{"Table=null", "Table/Top=polygon", "Sheet=polygon",
                                               "Sheet/Cloth=tCloth", "Sheet/Cloth/Helper=tHelper"}));

    // Position, rotation (about X first) and scale; a parent's offset above
    BaseObject* top = find(scene, "Table/Top");
    const Matrix mg = top->GetMg();
    expectNear(mg * Vector(1, 0, 0), Vector(2, 50, 0));
    expectNear(mg * Vector(0, 1, 0), Vector(0, 50, 1));
    EXPECT_EQ(ToPoly(top)->GetPolygonCount(), 2);
    BaseObject* sheet = find(scene, "Sheet");
    expectNear(sheet->GetMl() * Vector(1, 0, 0), Vector(1, 2, 2));

    // Tags
    const auto* sel = static_cast<const SelectionTag*>(sheet->GetTag(Tpointselection));
    ASSERT_NE(sel, nullptr);
    EXPECT_EQ(sel->GetBaseSelect()->GetCount(), 4);
    EXPECT_TRUE(sel->GetBaseSelect()->IsSelected(7));
    const auto* map = static_cast<const VariableTag*>(sheet->GetTag(Tvertexmap));
    ASSERT_NE(map, nullptr);
    EXPECT_FLOAT_EQ(map->GetDataAddressR()[1], 0.5f);

    // Parameters by name and by id, the created-from-menu message, links
    BaseObject* cloth = find(scene, "Sheet/Cloth");
    EXPECT_TRUE(cloth->GetDeformMode());
    const BaseContainer* bc = cloth->GetDataInstance();
    EXPECT_EQ(bc->GetFloat(1000), 3.0);
    EXPECT_EQ(bc->GetData(1001).GetType(), DA::LONG);
    EXPECT_EQ(bc->GetInt32(1001), 7);
    EXPECT_EQ(bc->GetVector(1002), Vector(1, 2, 3));
    EXPECT_EQ(bc->GetFilename(1003).GetString().GetStd(), (root_ / "cache/c_").string());
    EXPECT_EQ(bc->GetLink(1005, scene.document.get()), sel);
    EXPECT_EQ(bc->GetLink(1006, scene.document.get()), top);
    EXPECT_EQ(scene.PathOf(sel), "Sheet:top");
    ASSERT_EQ(scene.links.size(), 2u);
    // The display name's menu prefix is not part of a default name
    EXPECT_EQ(find(scene, "Sheet/Cloth/Helper")->GetName().GetStd(), "Helper");
}

TEST_F(SceneTest, DefaultNameDropsTheMenuPrefix) {
    const Scene scene = loadOk(R"({"objects": [{"type": "polygon", "children": [{"type": "tCloth"}]}]})");
    EXPECT_NE(find(scene, "Polygon/Test Cloth"), nullptr);
}

TEST_F(SceneTest, AnimationKeysAreAppliedWhenTheDocumentIsEvaluated) {
    const Scene scene = loadOk(R"({"objects": [
        { "type": "polygon", "name": "P", "position": [0, 5, 0], "rotation": [0, 90, 0],
          "mesh": {"obj": "meshes/tri.obj"},
          "animation": { "position": [[0, [0, 0, 0]], [10, [0, 10, 0]]],
                         "points": [[0, "meshes/tri.obj"], [10, "meshes/tri_up.obj"]] },
          "children": [ { "type": "tCloth", "name": "C",
                          "animation": { "T_COUNT": [[0, 4], [10, 2]], "T_MASS": [[0, 0], [10, 1]] } } ] } ]})");
    BaseDocument* doc = scene.document.get();
    BaseObject* p = find(scene, "P");
    BaseObject* c = find(scene, "P/C");
    ASSERT_TRUE(doc->EvaluateFrame(5));
    expectNear(p->GetMl().off, Vector(0, 5, 0));
    expectNear(p->GetMl() * Vector(1, 0, 0), Vector(0, 5, -1));  // the rest rotation is kept
    expectNear(ToPoint(p)->GetPointR()[0], Vector(0, 0.5, 0));
    EXPECT_EQ(c->GetDataInstance()->GetInt32(1001), 4);  // integers hold until the next key
    EXPECT_DOUBLE_EQ(c->GetDataInstance()->GetFloat(1000), 0.5);
    ASSERT_TRUE(doc->EvaluateFrame(20));  // held after the last key
    expectNear(p->GetMl().off, Vector(0, 10, 0));
    EXPECT_EQ(c->GetDataInstance()->GetInt32(1001), 2);
}

// --- Errors -----------------------------------------------------------------

TEST_F(SceneTest, BadScenesFailWithTheFileThePlaceAndTheProblem) {
    struct Case {
        std::string text;
        std::vector<const char*> message;
    };
    const std::string plane = R"("mesh": {"plane": {"segments": 1}})";
    const std::vector<Case> cases = {
        {"{\"objects\": [\n  {\"type\" 1}]}", {"scene.json:2:11: invalid JSON"}},
        {R"({"fps": 1e999})", {"invalid JSON", "finite"}},
        {R"({"objects": [{"type": "tcloth"}]})", {"unknown type \"tcloth\"", "did you mean \"tCloth\""}},
        {R"({"objects": [{"type": 12345}]})", {"no plug-in type has the id 12345"}},
        {R"({"objects": [{"type": "null", "postion": [0, 0, 0]}]})", {"unknown key \"postion\"", "\"position\""}},
        {R"({"objects": [{"type": "null", "name": "N", "children": [{"type": "tCloth", "params": {"T_MAS": 1}}]}]})",
         {"object \"N/Test Cloth\"", "no parameter \"T_MAS\"", "did you mean \"T_MASS\""}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"1099": 1}}]})", {"object \"C\"", "with the id \"1099\""}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_MASS": "heavy"}}]})",
         {"object \"C\": params.T_MASS: expected a number, got a text"}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_COUNT": 1.5}}]})", {"params.T_COUNT: expected an integer"}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_DIRECTION": [1, 2]}}]})", {"three numbers"}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_DELETE": 1}}]})", {"button"}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_MASS": 1e400}}]})", {"finite"}},
        {R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"points": [[0,0,0],[1,0,0],[0,1,0]], "polygons": [[0,1,3]]}}]})",
         {"object \"P\"", "polygons[0]", "point index 3 is outside the 3 points"}},
        {R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"points": [[0,0,0]], "polygons": [[0,0,-1]]}}]})",
         {"point index -1"}},
        {R"({"objects": [{"type": "polygon", "name": "P", )" + plane + R"(, "tags": [{"type": "pointSelection", "points": [[2, 4]]}]}]})",
         {"object \"P\"", "point index 4 is outside the 4 points"}},
        {R"({"objects": [{"type": "polygon", "name": "P", )" + plane + R"(, "tags": [{"type": "vertexMap", "weights": [1]}]}]})",
         {"1 weights for 4 points"}},
        {R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"obj": "meshes/missing.obj"}}]})",
         {"object \"P\"", "missing.obj: cannot open the OBJ file"}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_TARGET": {"object": "Tabel"}}}, {"type": "polygon", "name": "Table"}]})",
         {"object \"C\": params.T_TARGET: no object has the path \"Tabel\"", "did you mean \"Table\""}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_TARGET": {"object": "N"}}}, {"type": "null", "name": "N"}]})",
         {"\"N\" is a null object, but T_TARGET accepts a point object"}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_POINTS": {"tag": "P:none"}}}, {"type": "polygon", "name": "P"}]})",
         {"no tag has the path \"P:none\""}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_TARGET": {"object": "P"}}}, {"type": "polygon", "name": "P"}, {"type": "polygon", "name": "P"}]})",
         {"2 objects have the path \"P\""}},
        {R"({"objects": [{"type": "polygon", "name": "P", "matrix": {}, "position": [0, 0, 0]}]})", {"either \"matrix\""}},
        {R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"plane": {"segments": [5000, 5000]}}}]})",
         {"more than the 4194304"}},
        {R"({"objects": [{"type": "polygon", "name": "P", )" + plane + R"(, "animation": {"points": [[0, [[0, 0, 0]]]]}}]})",
         {"1 points for an object of 4 points"}},
        {R"({"objects": [{"type": "tCloth", "name": "C", "animation": {"T_DIRECTION": [[0, 1]]}}]})", {"only float and int32"}},
        {R"({"objects": [{"type": "null", "name": "a/b"}]})", {"contains '/'"}},
        {R"({"frames": [5, 1]})", {"comes before the first"}},
    };
    for (const Case& c : cases) {
        Scene scene;
        std::string error;
        EXPECT_FALSE(load(c.text, scene, error)) << c.text;
        EXPECT_EQ(error.rfind((root_ / "scene.json").string() + ":", 0), 0u) << error;
        for (const char* part : c.message) EXPECT_NE(error.find(part), std::string::npos) << "\"" << part << "\" in: " << error;
        EXPECT_EQ(scene.document, nullptr);
    }
}

TEST_F(SceneTest, NumbersBeyond32BitFloatsAreRefusedWithTheirField) {
    // Finite as doubles, but the simulation holds them as floats, where they
    // would be infinite: the run used to report an unstable simulation.
    const std::string plane = R"("mesh": {"plane": {"segments": 1}})";
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {R"({"objects": [{"type": "polygon", "name": "P", "position": [0, 1e308, 0]}]})", "object \"P\": \"position\"[1]: 1e+308"},
        {R"({"objects": [{"type": "polygon", "name": "P", "matrix": {"x": [-4e38, 0, 0]}}]})", "\"matrix\".x[0]"},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_MASS": 3.5e38}}]})", "params.T_MASS: 3.5e+38"},
        {R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_DIRECTION": [0, 0, 1e39]}}]})", "T_DIRECTION[2]"},
        {R"({"objects": [{"type": "tCloth", "name": "C", "animation": {"T_MASS": [[1e39, 1]]}}]})", "T_MASS[0][0]"},
        {R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"sphere": {"radius": 1e39}}}]})", "sphere.radius"},
        {R"({"objects": [{"type": "polygon", "name": "P", )" + plane + R"(, "tags": [{"type": "vertexMap", "weights": [0, 0, 0, 1e300]}]}]})",
         "weights[3]"},
        // Each number fits, but not the point they place in the world
        {R"({"objects": [{"type": "polygon", "name": "P", "position": [3e38, 0, 0], "mesh": {"points": [[3e38, 0, 0]]}}]})",
         "object \"P\": point 0 lies at 6e+38 in the world"},
    };
    for (const auto& c : cases) {
        Scene scene;
        std::string error;
        EXPECT_FALSE(load(c.text, scene, error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << "\"" << c.message << "\" in: " << error;
        EXPECT_NE(error.find("32-bit floats"), std::string::npos) << error;
    }
    // The largest float is still a number a scene may give
    loadOk(R"({"objects": [{"type": "tCloth", "name": "C", "params": {"T_MASS": 3.4e38}}]})");
}

TEST_F(SceneTest, SizesBeyondTheScenesLimitsAreRefusedBeforeTheyAreBuilt) {
    SceneLimits small;
    small.nodes = 4;
    small.points = 20;
    small.keys = 5;
    const std::string plane9 = R"("mesh": {"plane": {"segments": 2}})";  // 9 points
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {R"({"objects": [{"type": "null"}, {"type": "null"}, {"type": "null", "name": "N", "children": [{"type": "null"}, {"type": "null"}]}]})",
         "the children of \"N\"[1]: the scene has more than 4 objects and tags"},
        {R"({"objects": [{"type": "polygon", "name": "P", )" + plane9 + R"(, "tags": [{"type": "pointSelection"}, {"type": "vertexMap"}, {"type": "pointSelection", "name": "b"}, {"type": "pointSelection", "name": "c"}]}]})",
         "object \"P\": \"tags\"[3]: the scene has more than 4 objects and tags"},
        {R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"plane": {"segments": 4}}}]})",
         "object \"P\": \"mesh\".plane: the scene's meshes, point keys, vertex maps and linked meshes hold more than 20 points"},
        {R"({"objects": [{"type": "polygon", "name": "P", )" + plane9 + R"(}, {"type": "polygon", "name": "Q", "mesh": {"sphere": {"segments": 6}}}]})",
         "object \"Q\": \"mesh\".sphere: the scene's meshes"},
        {R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"obj": "meshes/tri.obj"}, "animation": {"points": [[0, "meshes/tri.obj"], [1, "meshes/tri.obj"], [2, "meshes/tri.obj"], [3, "meshes/tri.obj"], [4, "meshes/tri.obj"]]}}]})",
         "\"animation\".points[4][1]: the scene's meshes"},
        {R"({"objects": [{"type": "polygon", "name": "P", )" + plane9 + R"(, "tags": [{"type": "vertexMap"}, {"type": "vertexMap", "name": "b"}]}]})",
         "\"tags\"[1]: the scene's meshes"},
        {R"({"objects": [{"type": "tCloth", "name": "C", "animation": {"T_MASS": [[0, 1], [1, 2], [2, 3], [3, 4], [4, 5], [5, 6]]}}]})",
         "object \"C\": \"animation\".T_MASS: 6 keys, more than the 5 a track may have"},
        // A linked mesh is copied by whatever links it: links multiply it
        {R"({"objects": [{"type": "polygon", "name": "P", )" + plane9 + R"(}, {"type": "tCloth", "params": {"T_TARGET": {"object": "P"}}}, {"type": "tCloth", "name": "Second", "params": {"T_TARGET": {"object": "P"}}}]})",
         "object \"Second\": params.T_TARGET: the scene's meshes"},
    };
    for (const auto& c : cases) {
        Scene scene;
        std::string error;
        EXPECT_FALSE(loadSceneText(c.text, root_ / "scene.json", scene, error, small)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << "\"" << c.message << "\" in: " << error;
    }
    // At the limits themselves
    Scene scene;
    std::string error;
    EXPECT_TRUE(loadSceneText(R"({"objects": [{"type": "polygon", "name": "P", )" + plane9 +
                                  R"(, "tags": [{"type": "vertexMap"}]}, {"type": "null"}, {"type": "null"}]})",
                              root_ / "scene.json", scene, error, small))
        << error;
}

TEST_F(SceneTest, OnlyRegularFilesBelowTheirSizeLimitAreRead) {
    const fs::path fifo = root_ / "pipe.obj";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeFile(root_ / "big.json", std::string(2000, ' ') + "{}");
    SceneLimits small;
    small.fileBytes = 1000;
    const struct {
        fs::path file;
        const char* message;
    } cases[] = {
        {"/dev/zero", "/dev/zero: the scene file is larger than 1000 bytes"},  // a stream: read up to the limit
        {root_ / "big.json", "big.json: the scene file is larger than"},
        {root_, "is a folder"},
    };
    for (const auto& c : cases) {
        Scene scene;
        std::string error;
        EXPECT_FALSE(loadScene(c.file, scene, error, small)) << c.file;
        EXPECT_NE(error.find(c.message), std::string::npos) << "\"" << c.message << "\" in: " << error;
    }
    Scene scene;
    std::string error;
    EXPECT_FALSE(load(R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"obj": "/dev/zero"}}]})", scene, error));
    EXPECT_NE(error.find("object \"P\": \"mesh\": /dev/zero: is a device"), std::string::npos) << error;
    // A pipe without a writer: refused at once, not waited for
    EXPECT_FALSE(load(R"({"objects": [{"type": "polygon", "name": "P", "mesh": {"obj": "pipe.obj"}}]})", scene, error));
    EXPECT_NE(error.find("pipe.obj: is a device, a pipe or a socket"), std::string::npos) << error;
    fs::remove(fifo);
}

TEST_F(SceneTest, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    std::string text = R"({"objects": [)";
    for (int i = 0; i < 300; ++i) text += R"({"type": "null", "children": [)";
    for (int i = 0; i < 300; ++i) text += "]}";
    text += "]}";
    Scene scene;
    std::string error;
    EXPECT_FALSE(load(text, scene, error));
    EXPECT_NE(error.find("nested deeper"), std::string::npos) << error;
}

TEST(NearestNameTest, SuggestsCloseNamesOnly) {
    const std::vector<std::string> names = {"drGravity", "drDamp", "drapeon", "polygon"};
    EXPECT_EQ(nearestName("drgravity", names), "drGravity");
    EXPECT_EQ(nearestName("drapon", names), "drapeon");
    EXPECT_EQ(nearestName("polygone", names), "polygon");
    EXPECT_EQ(nearestName("camera", names), "");
}

}  // namespace
