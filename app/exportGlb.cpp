// One binary glTF 2.0 file with every polygon object of a run and its
// animation, so that the whole scene plays in any glTF viewer.
//
// Build: this file uses the shared TinyGLTF library of the system package
// (header <tiny_gltf.h>; CMake: find_package(TinyGLTF REQUIRED) and link
// TinyGLTF::TinyGLTF). Do not define TINYGLTF_IMPLEMENTATION here. The three
// exporters (exportPc2.cpp, exportGlb.cpp, exportViewer.cpp) need only
// drhost, nlohmann_json and TinyGLTF, and tests/app/export_*_test.cpp call
// them (including "export.h" from app/).
//
// Each object becomes one top-level node named after it, in world
// coordinates (the scene's y-up axes are kept as they are):
// - an object whose world points never change: one still mesh;
// - an object that only moves as a whole (its own points do not change and
//   every world matrix is a rotation with positive scales): its own mesh
//   under a node animated by translation, rotation and scale, sampled at
//   every frame;
// - every other object (the cloth, deforming pin targets): its world points
//   baked as morph targets. Viewers hand every morph weight to the GPU at
//   once, so the frames are split into blocks of at most kFramesPerBlock:
//   one child node per block, whose mesh starts at the block's first frame
//   and holds the later frames as targets; a step animation of the weights
//   picks the frame, and a step animation of the scale shows only the
//   block of the current frame (scale 0 hides the others).
#include "export.h"

#include "fileWrite.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include <tiny_gltf.h>

namespace {

constexpr size_t kFramesPerBlock = 32;

/// Collects buffer views and accessors in one binary buffer.
class GlbBuilder {
public:
    tinygltf::Model model;

    GlbBuilder() { model.buffers.emplace_back(); }

    /// Appends raw data as one buffer view and returns its index.
    int addView(const void* data, size_t bytes, int target) {
        std::vector<unsigned char>& buffer = model.buffers[0].data;
        tinygltf::BufferView view;
        view.buffer = 0;
        view.byteOffset = buffer.size();
        view.byteLength = bytes;
        view.target = target;
        const auto* p = static_cast<const unsigned char*>(data);
        buffer.insert(buffer.end(), p, p + bytes);
        while (buffer.size() % 4 != 0) buffer.push_back(0);
        model.bufferViews.push_back(view);
        return static_cast<int>(model.bufferViews.size() - 1);
    }

    /// Float accessor of `count` elements of `components` floats each, with
    /// its bounds (glTF asks them for positions and animation times).
    int addFloats(const std::vector<float>& values, int components, int type, int target, bool bounds) {
        tinygltf::Accessor accessor;
        accessor.bufferView = addView(values.data(), values.size() * sizeof(float), target);
        accessor.componentType = TINYGLTF_COMPONENT_TYPE_FLOAT;
        accessor.count = values.size() / static_cast<size_t>(components);
        accessor.type = type;
        if (bounds && accessor.count > 0) {
            accessor.minValues.assign(static_cast<size_t>(components), INFINITY);
            accessor.maxValues.assign(static_cast<size_t>(components), -INFINITY);
            for (size_t i = 0; i < values.size(); ++i) {
                const size_t k = i % static_cast<size_t>(components);
                accessor.minValues[k] = std::min(accessor.minValues[k], static_cast<double>(values[i]));
                accessor.maxValues[k] = std::max(accessor.maxValues[k], static_cast<double>(values[i]));
            }
        }
        model.accessors.push_back(accessor);
        return static_cast<int>(model.accessors.size() - 1);
    }

    int addIndices(const std::vector<uint32_t>& indices) {
        tinygltf::Accessor accessor;
        accessor.bufferView = addView(indices.data(), indices.size() * sizeof(uint32_t),
                                      TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER);
        accessor.componentType = TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT;
        accessor.count = indices.size();
        accessor.type = TINYGLTF_TYPE_SCALAR;
        model.accessors.push_back(accessor);
        return static_cast<int>(model.accessors.size() - 1);
    }

    /// One animation sampler with its channel on `node`.
    void animate(tinygltf::Animation& animation, int node, const char* path, int input, int output,
                 const char* interpolation) {
        tinygltf::AnimationSampler sampler;
        sampler.input = input;
        sampler.output = output;
        sampler.interpolation = interpolation;
        animation.samplers.push_back(sampler);
        tinygltf::AnimationChannel channel;
        channel.sampler = static_cast<int>(animation.samplers.size() - 1);
        channel.target_node = node;
        channel.target_path = path;
        animation.channels.push_back(channel);
    }

    int addNode(tinygltf::Node node) {
        model.nodes.push_back(std::move(node));
        return static_cast<int>(model.nodes.size() - 1);
    }
};

std::vector<float> packPoints(const std::vector<Vector>& points) {
    std::vector<float> out;
    out.reserve(points.size() * 3);
    for (const Vector& p : points) {
        out.push_back(static_cast<float>(p.x));
        out.push_back(static_cast<float>(p.y));
        out.push_back(static_cast<float>(p.z));
    }
    return out;
}

/// Triangles of the polygons: a quadrangle (a, b, c, d) is split into
/// (a, b, c) and (a, c, d), keeping its winding.
std::vector<uint32_t> triangulate(const std::vector<CPolygon>& polygons) {
    std::vector<uint32_t> out;
    out.reserve(polygons.size() * 6);
    for (const CPolygon& p : polygons) {
        out.insert(out.end(), {uint32_t(p.a), uint32_t(p.b), uint32_t(p.c)});
        if (!p.IsTriangle()) out.insert(out.end(), {uint32_t(p.a), uint32_t(p.c), uint32_t(p.d)});
    }
    return out;
}

/// Translation, rotation (x, y, z, w) and scale of a matrix whose axes are
/// orthogonal with a positive determinant; false for any other matrix (shear,
/// mirror, zero axis), which node transforms cannot express.
bool decompose(const Matrix& m, double t[3], double q[4], double s[3]) {
    const Vector axes[3] = {m.v1, m.v2, m.v3};
    Vector r[3];
    for (int i = 0; i < 3; ++i) {
        s[i] = axes[i].GetLength();
        if (!(s[i] > 1e-12) || !std::isfinite(s[i])) return false;
        r[i] = axes[i] / s[i];
    }
    if (std::abs(Dot(r[0], r[1])) > 1e-6 || std::abs(Dot(r[0], r[2])) > 1e-6 || std::abs(Dot(r[1], r[2])) > 1e-6)
        return false;
    if (Dot(r[0], Cross(r[1], r[2])) <= 0.0) return false;
    t[0] = m.off.x, t[1] = m.off.y, t[2] = m.off.z;

    // Quaternion of the rotation whose columns are r[0], r[1], r[2], from the
    // largest of the four candidate divisors for accuracy.
    const double m00 = r[0].x, m10 = r[0].y, m20 = r[0].z;
    const double m01 = r[1].x, m11 = r[1].y, m21 = r[1].z;
    const double m02 = r[2].x, m12 = r[2].y, m22 = r[2].z;
    const double trace = m00 + m11 + m22;
    if (trace > 0.0) {
        const double k = 0.5 / std::sqrt(trace + 1.0);
        q[3] = 0.25 / k, q[0] = (m21 - m12) * k, q[1] = (m02 - m20) * k, q[2] = (m10 - m01) * k;
    } else if (m00 > m11 && m00 > m22) {
        const double k = 2.0 * std::sqrt(1.0 + m00 - m11 - m22);
        q[3] = (m21 - m12) / k, q[0] = 0.25 * k, q[1] = (m01 + m10) / k, q[2] = (m02 + m20) / k;
    } else if (m11 > m22) {
        const double k = 2.0 * std::sqrt(1.0 + m11 - m00 - m22);
        q[3] = (m02 - m20) / k, q[0] = (m01 + m10) / k, q[1] = 0.25 * k, q[2] = (m12 + m21) / k;
    } else {
        const double k = 2.0 * std::sqrt(1.0 + m22 - m00 - m11);
        q[3] = (m10 - m01) / k, q[0] = (m02 + m20) / k, q[1] = (m12 + m21) / k, q[2] = 0.25 * k;
    }
    const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (int i = 0; i < 4; ++i) q[i] /= len;
    return true;
}

bool sameWorldPoints(const RecordedMesh& mesh) {
    for (const auto& frame : mesh.worldPoints)
        if (frame != mesh.worldPoints[0]) return false;
    return true;
}

/// True when the object's own points stay those of its first frame (within
/// float precision of the mesh's size) and every matrix is a node transform.
bool movesAsAWhole(const RecordedMesh& mesh, std::vector<Vector>& ownPoints) {
    double t[3], q[4], s[3];
    for (const Matrix& m : mesh.worldFromObject)
        if (!decompose(m, t, q, s)) return false;
    const Matrix objectFromWorld0 = ~mesh.worldFromObject[0];
    ownPoints.clear();
    double size = 0.0;
    for (const Vector& w : mesh.worldPoints[0]) {
        ownPoints.push_back(objectFromWorld0 * w);
        size = std::max(size, std::max({std::abs(ownPoints.back().x), std::abs(ownPoints.back().y),
                                        std::abs(ownPoints.back().z)}));
    }
    const double tolerance = 1e-5 * std::max(size, 1.0);
    for (size_t f = 1; f < mesh.worldPoints.size(); ++f) {
        const Matrix objectFromWorld = ~mesh.worldFromObject[f];
        for (size_t i = 0; i < ownPoints.size(); ++i) {
            const Vector d = objectFromWorld * mesh.worldPoints[f][i] - ownPoints[i];
            if (std::abs(d.x) > tolerance || std::abs(d.y) > tolerance || std::abs(d.z) > tolerance) return false;
        }
    }
    return true;
}

bool checkMesh(const Recording& recording, const RecordedMesh& mesh, std::string& error) {
    const size_t frames = static_cast<size_t>(recording.frameCount);
    if (mesh.worldPoints.size() != frames || mesh.worldFromObject.size() != frames) {
        error = "object \"" + mesh.path + "\": the recording holds " + std::to_string(mesh.worldPoints.size()) +
                " point frames and " + std::to_string(mesh.worldFromObject.size()) + " matrices for " +
                std::to_string(frames) + " frames";
        return false;
    }
    const size_t n = frames > 0 ? mesh.worldPoints[0].size() : 0;
    for (size_t f = 0; f < frames; ++f) {
        if (mesh.worldPoints[f].size() != n) {
            error = "object \"" + mesh.path + "\": frame " + std::to_string(recording.firstFrame + Int64(f)) + " has " +
                    std::to_string(mesh.worldPoints[f].size()) + " points instead of " + std::to_string(n) +
                    "; the animation needs the same point count in every frame";
            return false;
        }
    }
    if (n > UINT32_MAX) {
        error = "object \"" + mesh.path + "\" has too many points";
        return false;
    }
    for (const CPolygon& p : mesh.polygons)
        for (Int32 i : {p.a, p.b, p.c, p.d})
            if (i < 0 || static_cast<size_t>(i) >= n) {
                error = "object \"" + mesh.path + "\": a polygon uses point " + std::to_string(i) + " of " +
                        std::to_string(n);
                return false;
            }
    return true;
}

/// A mesh of one primitive; `targets` are the morph target accessors.
int addMesh(GlbBuilder& glb, const std::string& name, int positions, int indices, int material,
            const std::vector<int>& targets) {
    tinygltf::Primitive primitive;
    primitive.attributes["POSITION"] = positions;
    primitive.indices = indices;
    primitive.material = material;
    primitive.mode = TINYGLTF_MODE_TRIANGLES;
    for (int target : targets) primitive.targets.push_back({{"POSITION", target}});
    tinygltf::Mesh mesh;
    mesh.name = name;
    mesh.primitives.push_back(primitive);
    if (!targets.empty()) mesh.weights.assign(targets.size(), 0.0);
    glb.model.meshes.push_back(mesh);
    return static_cast<int>(glb.model.meshes.size() - 1);
}

int addMaterial(GlbBuilder& glb, const char* name, std::vector<double> color) {
    tinygltf::Material material;
    material.name = name;
    material.pbrMetallicRoughness.baseColorFactor = std::move(color);
    material.pbrMetallicRoughness.metallicFactor = 0.0;
    material.pbrMetallicRoughness.roughnessFactor = 0.8;
    material.doubleSided = true;
    glb.model.materials.push_back(material);
    return static_cast<int>(glb.model.materials.size() - 1);
}

/// Node transform animation sampled at every frame.
void addRigidObject(GlbBuilder& glb, tinygltf::Animation& animation, int times, const RecordedMesh& mesh,
                    const std::vector<Vector>& ownPoints, int indices, int material, std::vector<int>& roots) {
    const int positions =
        glb.addFloats(packPoints(ownPoints), 3, TINYGLTF_TYPE_VEC3, TINYGLTF_TARGET_ARRAY_BUFFER, true);
    tinygltf::Node node;
    node.name = mesh.name;
    node.mesh = addMesh(glb, mesh.name, positions, indices, material, {});
    std::vector<float> translations, rotations, scales;
    double previous[4] = {0.0, 0.0, 0.0, 1.0};
    for (size_t f = 0; f < mesh.worldFromObject.size(); ++f) {
        double t[3], q[4], s[3];
        decompose(mesh.worldFromObject[f], t, q, s);
        // Keep successive quaternions in one hemisphere so that the viewer
        // turns the short way between frames.
        if (q[0] * previous[0] + q[1] * previous[1] + q[2] * previous[2] + q[3] * previous[3] < 0.0)
            for (double& c : q) c = -c;
        std::copy(q, q + 4, previous);
        for (int i = 0; i < 3; ++i) translations.push_back(float(t[i])), scales.push_back(float(s[i]));
        for (int i = 0; i < 4; ++i) rotations.push_back(float(q[i]));
        if (f == 0) {
            node.translation.assign(t, t + 3);
            node.rotation.assign(q, q + 4);
            node.scale.assign(s, s + 3);
        }
    }
    const int index = glb.addNode(node);
    roots.push_back(index);
    if (mesh.worldFromObject.size() < 2) return;
    glb.animate(animation, index, "translation", times,
                glb.addFloats(translations, 3, TINYGLTF_TYPE_VEC3, 0, false), "LINEAR");
    glb.animate(animation, index, "rotation", times, glb.addFloats(rotations, 4, TINYGLTF_TYPE_VEC4, 0, false),
                "LINEAR");
    glb.animate(animation, index, "scale", times, glb.addFloats(scales, 3, TINYGLTF_TYPE_VEC3, 0, false), "LINEAR");
}

/// World points baked into blocks of morph targets (see the file comment).
void addBakedObject(GlbBuilder& glb, tinygltf::Animation& animation, Int32 fps, Int32 firstFrame,
                    const RecordedMesh& mesh, int indices, int material, std::vector<int>& roots) {
    const size_t frames = mesh.worldPoints.size();
    tinygltf::Node parent;
    parent.name = mesh.name;
    for (size_t begin = 0; begin < frames; begin += kFramesPerBlock) {
        const size_t end = std::min(frames, begin + kFramesPerBlock);
        const std::vector<Vector>& base = mesh.worldPoints[begin];
        const int positions =
            glb.addFloats(packPoints(base), 3, TINYGLTF_TYPE_VEC3, TINYGLTF_TARGET_ARRAY_BUFFER, true);
        std::vector<int> targets;
        for (size_t f = begin + 1; f < end; ++f) {
            std::vector<float> offsets;
            offsets.reserve(base.size() * 3);
            for (size_t i = 0; i < base.size(); ++i) {
                const Vector& p = mesh.worldPoints[f][i];
                // Taken between the float values, so that base + offset is
                // the frame's float position within one rounding of the larger.
                offsets.push_back(float(p.x) - float(base[i].x));
                offsets.push_back(float(p.y) - float(base[i].y));
                offsets.push_back(float(p.z) - float(base[i].z));
            }
            targets.push_back(glb.addFloats(offsets, 3, TINYGLTF_TYPE_VEC3, TINYGLTF_TARGET_ARRAY_BUFFER, true));
        }
        tinygltf::Node block;
        block.name = mesh.name + ".frames" + std::to_string(firstFrame + Int64(begin)) + "-" +
                     std::to_string(firstFrame + Int64(end) - 1);
        block.mesh = addMesh(glb, block.name, positions, indices, material, targets);
        if (begin > 0) block.scale = {0.0, 0.0, 0.0};
        const int node = glb.addNode(block);
        parent.children.push_back(node);

        // Weights: frame begin + k shows target k - 1 alone (none for k = 0).
        if (!targets.empty()) {
            std::vector<float> times, weights;
            for (size_t f = begin; f < end; ++f) {
                times.push_back(float(f) / float(fps));
                for (size_t k = 0; k < targets.size(); ++k) weights.push_back(f > begin && k == f - begin - 1 ? 1.0f : 0.0f);
            }
            glb.animate(animation, node, "weights", glb.addFloats(times, 1, TINYGLTF_TYPE_SCALAR, 0, true),
                        glb.addFloats(weights, 1, TINYGLTF_TYPE_SCALAR, 0, false), "STEP");
        }
        // Visibility of the block.
        if (frames > kFramesPerBlock) {
            std::vector<float> times, scales;
            auto key = [&](size_t f, float s) {
                times.push_back(float(f) / float(fps));
                scales.insert(scales.end(), {s, s, s});
            };
            if (begin > 0) key(0, 0.0f);
            key(begin, 1.0f);
            if (end < frames) key(end, 0.0f);
            glb.animate(animation, node, "scale", glb.addFloats(times, 1, TINYGLTF_TYPE_SCALAR, 0, true),
                        glb.addFloats(scales, 3, TINYGLTF_TYPE_VEC3, 0, false), "STEP");
        }
    }
    roots.push_back(glb.addNode(parent));
}

}  // namespace

bool exportGlb(const Recording& recording, const std::filesystem::path& file, std::string& error) {
    try {
        if (recording.fps <= 0) {
            error = "cannot write " + file.string() + ": the frame rate " + std::to_string(recording.fps) +
                    " is not positive";
            return false;
        }
        for (const RecordedMesh& mesh : recording.meshes)
            if (!checkMesh(recording, mesh, error)) {
                error = "cannot write " + file.string() + ": " + error;
                return false;
            }

        GlbBuilder glb;
        glb.model.asset.version = "2.0";
        glb.model.asset.generator = "drapeon";
        const int clothMaterial = addMaterial(glb, "cloth", {0.80, 0.36, 0.24, 1.0});
        const int sceneMaterial = addMaterial(glb, "scene", {0.62, 0.64, 0.68, 1.0});

        tinygltf::Animation animation;
        animation.name = recording.sceneName.empty() ? "simulation" : recording.sceneName;
        int frameTimes = -1;  // shared by every sampled node transform
        std::vector<int> roots;
        for (const RecordedMesh& mesh : recording.meshes) {
            if (mesh.worldPoints.empty()) continue;
            const int indices = glb.addIndices(triangulate(mesh.polygons));
            const int material = mesh.simulated ? clothMaterial : sceneMaterial;
            std::vector<Vector> ownPoints;
            if (!mesh.simulated && sameWorldPoints(mesh)) {
                const int positions = glb.addFloats(packPoints(mesh.worldPoints[0]), 3, TINYGLTF_TYPE_VEC3,
                                                    TINYGLTF_TARGET_ARRAY_BUFFER, true);
                tinygltf::Node node;
                node.name = mesh.name;
                node.mesh = addMesh(glb, mesh.name, positions, indices, material, {});
                roots.push_back(glb.addNode(node));
            } else if (!mesh.simulated && movesAsAWhole(mesh, ownPoints)) {
                if (frameTimes < 0) {
                    std::vector<float> times;
                    for (Int32 f = 0; f < recording.frameCount; ++f) times.push_back(float(f) / float(recording.fps));
                    frameTimes = glb.addFloats(times, 1, TINYGLTF_TYPE_SCALAR, 0, true);
                }
                addRigidObject(glb, animation, frameTimes, mesh, ownPoints, indices, material, roots);
            } else {
                addBakedObject(glb, animation, recording.fps, recording.firstFrame, mesh, indices, material, roots);
            }
        }
        if (!animation.channels.empty()) glb.model.animations.push_back(animation);
        tinygltf::Scene scene;
        scene.name = recording.sceneName;
        scene.nodes = roots;
        glb.model.scenes.push_back(scene);
        glb.model.defaultScene = 0;

        // Write through a temporary file so that a failure keeps no truncated file.
        std::ostringstream stream;
        tinygltf::TinyGLTF writer;
        if (!writer.WriteGltfSceneToStream(&glb.model, stream, false, true)) {
            error = "cannot encode " + file.string();
            return false;
        }
        return writeFileAtomically(file, {stream.str()}, error);
    } catch (const std::exception& e) {
        error = "cannot write " + file.string() + ": " + e.what();
        return false;
    }
}
