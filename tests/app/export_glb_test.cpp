// The binary glTF scene, read back with the glTF library's own loader: the
// nodes and their kinds (still, moving, baked), accessors, morph targets and
// animation channels, and the positions each kind plays at every frame.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>

#include <tiny_gltf.h>

#include "export.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFrames = 40;  // more than one block of baked frames

RecordedMesh gridMesh(const std::string& name, bool simulated) {
    RecordedMesh mesh;
    mesh.name = name;
    mesh.path = name;
    mesh.simulated = simulated;
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) mesh.restPoints.push_back(Vector(10.0 * i, 0.0, 10.0 * j));
    for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) mesh.polygons.push_back(CPolygon(j * 3 + i, (j + 1) * 3 + i, (j + 1) * 3 + i + 1, j * 3 + i + 1));
    mesh.polygons.back() = CPolygon(4, 7, 8);  // one triangle
    return mesh;
}

/// Frames from a rule giving the world matrix and the object's own points.
template <typename Rule>
void fill(RecordedMesh& mesh, Rule rule) {
    for (int f = 0; f < kFrames; ++f) {
        Matrix worldFromObject;
        std::vector<Vector> own = mesh.restPoints;
        rule(f, worldFromObject, own);
        std::vector<Vector> world;
        for (const Vector& p : own) world.push_back(worldFromObject * p);
        mesh.worldPoints.push_back(world);
        mesh.worldFromObject.push_back(worldFromObject);
    }
}

Recording sceneRecording() {
    Recording r;
    r.sceneName = "scene";
    r.fps = 25;
    r.frameCount = kFrames;
    r.guides.resize(kFrames);

    RecordedMesh cloth = gridMesh("Cloth", true);
    fill(cloth, [](int f, Matrix& m, std::vector<Vector>& own) {
        m = MatrixMove(Vector(0, 50, 0));
        for (size_t i = 0; i < own.size(); ++i) own[i].y -= 0.1 * f * f + std::sin(0.3 * f + double(i));
    });
    RecordedMesh floor = gridMesh("Floor", false);
    fill(floor, [](int, Matrix& m, std::vector<Vector>&) { m = MatrixScale(5.0); });
    RecordedMesh ball = gridMesh("Ball", false);
    fill(ball, [](int f, Matrix& m, std::vector<Vector>&) {
        m = MatrixMove(Vector(f, 20, -f)) * MatrixRotY(0.2 * f) * MatrixRotX(0.1 * f) * MatrixScale(Vector(1, 2, 3));
    });
    RecordedMesh target = gridMesh("Target", false);
    fill(target, [](int f, Matrix&, std::vector<Vector>& own) { own[4].y += f; });
    r.meshes = {cloth, floor, ball, target};
    return r;
}

std::vector<float> floatsOf(const tinygltf::Model& model, int accessorIndex) {
    const tinygltf::Accessor& a = model.accessors.at(size_t(accessorIndex));
    EXPECT_EQ(a.componentType, TINYGLTF_COMPONENT_TYPE_FLOAT);
    const tinygltf::BufferView& v = model.bufferViews.at(size_t(a.bufferView));
    const size_t components = a.type == TINYGLTF_TYPE_VEC3 ? 3 : a.type == TINYGLTF_TYPE_VEC4 ? 4 : 1;
    std::vector<float> out(a.count * components);
    std::memcpy(out.data(), model.buffers.at(size_t(v.buffer)).data.data() + v.byteOffset + a.byteOffset,
                out.size() * sizeof(float));
    return out;
}

const tinygltf::Node* nodeNamed(const tinygltf::Model& model, const std::string& name) {
    for (const tinygltf::Node& n : model.nodes)
        if (n.name == name) return &n;
    return nullptr;
}

/// Value of a sampler at key k.
std::vector<float> keyValue(const tinygltf::Model& model, const tinygltf::AnimationSampler& s, size_t k) {
    const std::vector<float> out = floatsOf(model, s.output);
    const size_t keys = floatsOf(model, s.input).size();
    const size_t width = out.size() / keys;
    return std::vector<float>(out.begin() + long(k * width), out.begin() + long((k + 1) * width));
}

struct Loaded {
    tinygltf::Model model;
    std::map<std::pair<int, std::string>, const tinygltf::AnimationSampler*> channels;  // (node, path)
};

void load(const Recording& recording, Loaded& loaded) {
    const fs::path file = fs::temp_directory_path() / "drapeon_export_glb_test.glb";
    std::string error;
    ASSERT_TRUE(exportGlb(recording, file, error)) << error;
    tinygltf::TinyGLTF loader;
    std::string err, warn;
    ASSERT_TRUE(loader.LoadBinaryFromFile(&loaded.model, &err, &warn, file.string())) << err;
    EXPECT_TRUE(err.empty()) << err;
    EXPECT_TRUE(warn.empty()) << warn;
    fs::remove(file);
    ASSERT_EQ(loaded.model.animations.size(), 1u);
    const tinygltf::Animation& animation = loaded.model.animations[0];
    for (const tinygltf::AnimationChannel& c : animation.channels)
        loaded.channels[{c.target_node, c.target_path}] = &animation.samplers.at(size_t(c.sampler));
}

}  // namespace

TEST(ExportGlb, EveryObjectPlaysItsRecordedPoints) {
    const Recording recording = sceneRecording();
    Loaded loaded;
    load(recording, loaded);
    const tinygltf::Model& model = loaded.model;
    ASSERT_EQ(model.scenes.size(), 1u);
    EXPECT_EQ(model.scenes[0].nodes.size(), 4u);
    for (const tinygltf::Accessor& a : model.accessors) {
        if (a.bufferView >= 0 && model.bufferViews[size_t(a.bufferView)].target == TINYGLTF_TARGET_ARRAY_BUFFER) {
            EXPECT_EQ(a.minValues.size(), 3u) << "positions and morph targets carry their bounds";
        }
    }

    // The cloth: blocks of at most 32 frames; a block's base is its first
    // frame and target k - 1 gives frame begin + k; the step animations of
    // weights and scale pick that target and that block.
    const tinygltf::Node* cloth = nodeNamed(model, "Cloth");
    ASSERT_NE(cloth, nullptr);
    ASSERT_EQ(cloth->children.size(), 2u);
    const int blockBegin[2] = {0, 32};
    for (int b = 0; b < 2; ++b) {
        const int node = cloth->children[size_t(b)];
        const tinygltf::Primitive& primitive = model.meshes.at(size_t(model.nodes[size_t(node)].mesh)).primitives.at(0);
        const size_t blockFrames = b == 0 ? 32 : 8;
        ASSERT_EQ(primitive.targets.size(), blockFrames - 1);
        EXPECT_EQ(model.accessors[size_t(primitive.indices)].count, 3u * 7u);  // 3 quads and a triangle
        const std::vector<float> base = floatsOf(model, primitive.attributes.at("POSITION"));
        const auto* weights = loaded.channels.at({node, "weights"});
        const auto* scale = loaded.channels.at({node, "scale"});
        const std::vector<float> times = floatsOf(model, weights->input);
        ASSERT_EQ(times.size(), blockFrames);
        EXPECT_EQ(weights->interpolation, "STEP");
        for (size_t k = 0; k < blockFrames; ++k) {
            const size_t f = size_t(blockBegin[b]) + k;
            EXPECT_FLOAT_EQ(times[k], float(f) / 25.0f);
            const std::vector<float> w = keyValue(model, *weights, k);
            std::vector<float> p = base;
            for (size_t t = 0; t < w.size(); ++t) {
                if (w[t] == 0.0f) continue;
                const std::vector<float> d = floatsOf(model, primitive.targets[t].at("POSITION"));
                for (size_t i = 0; i < p.size(); ++i) p[i] += w[t] * d[i];
            }
            for (size_t i = 0; i < 9; ++i) {
                // Within a rounding of the values (about 50 here).
                const Vector& expected = recording.meshes[0].worldPoints[f][i];
                EXPECT_NEAR(p[3 * i], expected.x, 1e-5) << "frame " << f << " point " << i;
                EXPECT_NEAR(p[3 * i + 1], expected.y, 1e-5) << "frame " << f << " point " << i;
                EXPECT_NEAR(p[3 * i + 2], expected.z, 1e-5) << "frame " << f << " point " << i;
            }
        }
        // Shown from its first frame to its last only.
        const std::vector<float> keyTimes = floatsOf(model, scale->input);
        const std::vector<float> visible = floatsOf(model, scale->output);
        std::vector<float> expectedTimes = b == 0 ? std::vector<float>{0.0f, 32 / 25.0f} : std::vector<float>{0.0f, 32 / 25.0f};
        std::vector<float> expectedScale = b == 0 ? std::vector<float>{1, 0} : std::vector<float>{0, 1};
        ASSERT_EQ(keyTimes.size(), 2u);
        for (size_t k = 0; k < 2; ++k) {
            EXPECT_FLOAT_EQ(keyTimes[k], expectedTimes[k]);
            EXPECT_EQ(visible[3 * k], expectedScale[k]);
        }
    }

    // The floor never changes: one mesh in world coordinates, no animation.
    const tinygltf::Node* floor = nodeNamed(model, "Floor");
    ASSERT_NE(floor, nullptr);
    EXPECT_TRUE(floor->translation.empty() && floor->children.empty());
    EXPECT_FLOAT_EQ(floatsOf(model, model.meshes[size_t(floor->mesh)].primitives[0].attributes.at("POSITION"))[3], 50.0f);

    // The ball moves as a whole: its own points under a sampled node
    // transform that gives its world points back at every frame.
    const tinygltf::Node* ball = nodeNamed(model, "Ball");
    ASSERT_NE(ball, nullptr);
    const int ballIndex = int(ball - model.nodes.data());
    const std::vector<float> own = floatsOf(model, model.meshes[size_t(ball->mesh)].primitives[0].attributes.at("POSITION"));
    for (int f : {0, 17, kFrames - 1}) {
        const std::vector<float> t = keyValue(model, *loaded.channels.at({ballIndex, "translation"}), size_t(f));
        const std::vector<float> q = keyValue(model, *loaded.channels.at({ballIndex, "rotation"}), size_t(f));
        const std::vector<float> s = keyValue(model, *loaded.channels.at({ballIndex, "scale"}), size_t(f));
        for (size_t i = 0; i < 9; ++i) {
            // p = T + R(q) (S * own), with R(q) v = v + 2 w (u x v) + 2 u x (u x v).
            const Vector v(own[3 * i] * s[0], own[3 * i + 1] * s[1], own[3 * i + 2] * s[2]);
            const Vector u(q[0], q[1], q[2]);
            const Vector uv = Cross(u, v);
            const Vector p = Vector(t[0], t[1], t[2]) + v + uv * (2.0 * q[3]) + Cross(u, uv) * 2.0;
            const Vector expected = recording.meshes[2].worldPoints[size_t(f)][i];
            EXPECT_NEAR(p.x, expected.x, 1e-3) << "frame " << f << " point " << i;
            EXPECT_NEAR(p.y, expected.y, 1e-3) << "frame " << f << " point " << i;
            EXPECT_NEAR(p.z, expected.z, 1e-3) << "frame " << f << " point " << i;
        }
    }

    // The pin target deforms: baked like the cloth.
    const tinygltf::Node* target = nodeNamed(model, "Target");
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->children.size(), 2u);
}

TEST(ExportGlb, RefusesBadRecordingsAndKeepsNoFile) {
    const fs::path file = fs::temp_directory_path() / "drapeon_export_glb_refused.glb";
    fs::remove(file);
    struct Case {
        const char* what;
        void (*spoil)(Recording&);
        const char* message;
    };
    const Case cases[] = {
        {"frame rate", [](Recording& r) { r.fps = 0; }, "frame rate 0"},
        {"point count", [](Recording& r) { r.meshes[1].worldPoints[3].pop_back(); }, "\"Floor\": frame 3 has 8 points"},
        {"polygon", [](Recording& r) { r.meshes[2].polygons[0].d = -1; }, "\"Ball\": a polygon uses point -1"},
    };
    for (const Case& c : cases) {
        Recording recording = sceneRecording();
        c.spoil(recording);
        std::string error;
        EXPECT_FALSE(exportGlb(recording, file, error)) << c.what;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find(file.string()), std::string::npos) << c.what << ": " << error;
        EXPECT_FALSE(fs::exists(file)) << c.what;
    }
}

TEST(ExportGlb, ObjectsWithoutPointsOrPolygonsAreLeftOut) {
    Recording recording = sceneRecording();
    RecordedMesh empty;
    empty.name = empty.path = "Empty";
    RecordedMesh loose = gridMesh("Loose", false);
    loose.polygons.clear();
    for (int f = 0; f < kFrames; ++f) {
        empty.worldPoints.emplace_back();
        empty.worldFromObject.emplace_back();
        loose.worldPoints.push_back(loose.restPoints);
        loose.worldFromObject.emplace_back();
    }
    recording.meshes.insert(recording.meshes.begin(), {empty, loose});
    Loaded loaded;
    load(recording, loaded);  // loads without errors or warnings
    EXPECT_EQ(nodeNamed(loaded.model, "Empty"), nullptr);
    EXPECT_EQ(nodeNamed(loaded.model, "Loose"), nullptr);
    EXPECT_NE(nodeNamed(loaded.model, "Cloth"), nullptr);
    for (const tinygltf::Accessor& a : loaded.model.accessors) EXPECT_GT(a.count, 0u);
}
