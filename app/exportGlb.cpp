// One binary glTF 2.0 file with every polygon object of a run and its
// animation, so that the whole scene plays in any glTF viewer.
//
// Build: this file uses the shared TinyGLTF library of the system package
// (header <tiny_gltf.h>; CMake: find_package(TinyGLTF REQUIRED) and link
// TinyGLTF::TinyGLTF). Do not define TINYGLTF_IMPLEMENTATION here.
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
//   once, so the frames are split into blocks of at most kGlbFramesPerBlock:
//   one child node per block, whose mesh starts at the block's first frame
//   and holds the later frames as targets; a step animation of the weights
//   picks the frame, and a step animation of the scale shows only the
//   block of the current frame (scale 0 hides the others).
// An object without points or without polygons has nothing to show: it is
// left out, with a note (a glTF accessor cannot be empty).
//
// The file is assembled at the end of a run from what the run put aside on
// disk: the structure (TinyGLTF's model, without the bytes) is built first,
// then the binary chunk is streamed frame by frame from the scratch files,
// so that the whole animation is never held in memory.
#include "export.h"
#include "exportStream.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>

#include <nlohmann/json.hpp>
#include <tiny_gltf.h>

namespace {

/// Where the bytes of a buffer view come from when the file is written.
struct ViewSource {
    enum Kind { Bytes, Positions, Offsets } kind = Bytes;
    std::vector<unsigned char> bytes;  ///< Bytes
    size_t object = 0;                 ///< Positions, Offsets: the object
    size_t frame = 0;                  ///< its frame
    size_t base = 0;                   ///< Offsets: the block's first frame
    size_t length = 0;
};

/// Collects buffer views and accessors; the binary buffer is only described.
class GlbBuilder {
public:
    tinygltf::Model model;
    std::vector<ViewSource> sources;
    size_t bufferLength = 0;

    int addView(ViewSource source, int target) {
        tinygltf::BufferView view;
        view.buffer = 0;
        view.byteOffset = bufferLength;
        view.byteLength = source.length;
        view.target = target;
        bufferLength += source.length;
        while (bufferLength % 4 != 0) ++bufferLength;
        sources.push_back(std::move(source));
        model.bufferViews.push_back(view);
        return static_cast<int>(model.bufferViews.size() - 1);
    }

    int addView(const void* data, size_t bytes, int target) {
        ViewSource source;
        const auto* p = static_cast<const unsigned char*>(data);
        source.bytes.assign(p, p + bytes);
        source.length = bytes;
        return addView(std::move(source), target);
    }

    static void setBounds(tinygltf::Accessor& accessor, const float* values, size_t count, int components) {
        if (accessor.count == 0) return;
        accessor.minValues.assign(static_cast<size_t>(components), INFINITY);
        accessor.maxValues.assign(static_cast<size_t>(components), -INFINITY);
        for (size_t i = 0; i < count; ++i) {
            const size_t k = i % static_cast<size_t>(components);
            accessor.minValues[k] = std::min(accessor.minValues[k], static_cast<double>(values[i]));
            accessor.maxValues[k] = std::max(accessor.maxValues[k], static_cast<double>(values[i]));
        }
    }

    /// Float accessor of `count` elements of `components` floats each, with
    /// its bounds (glTF asks them for positions and animation times).
    int addFloats(const std::vector<float>& values, int components, int type, int target, bool bounds) {
        tinygltf::Accessor accessor;
        accessor.bufferView = addView(values.data(), values.size() * sizeof(float), target);
        accessor.componentType = TINYGLTF_COMPONENT_TYPE_FLOAT;
        accessor.count = values.size() / static_cast<size_t>(components);
        accessor.type = type;
        if (bounds) setBounds(accessor, values.data(), values.size(), components);
        model.accessors.push_back(accessor);
        return static_cast<int>(model.accessors.size() - 1);
    }

    /// Positions (or offsets from a block's first frame) of a frame put
    /// aside on disk, with the bounds the stream recorded for it.
    int addFrame(const StreamedObject& o, size_t objectIndex, size_t frame, size_t base, bool offsets) {
        ViewSource source;
        source.kind = offsets ? ViewSource::Offsets : ViewSource::Positions;
        source.object = objectIndex;
        source.frame = frame;
        source.base = base;
        source.length = o.pointCount * 3 * sizeof(float);
        tinygltf::Accessor accessor;
        accessor.bufferView = addView(std::move(source), TINYGLTF_TARGET_ARRAY_BUFFER);
        accessor.componentType = TINYGLTF_COMPONENT_TYPE_FLOAT;
        accessor.count = o.pointCount;
        accessor.type = TINYGLTF_TYPE_VEC3;
        if (accessor.count > 0) {
            const float* b = o.bounds.data() + 6 * frame;
            accessor.minValues.assign(b, b + 3);
            accessor.maxValues.assign(b + 3, b + 6);
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
void addRigidObject(GlbBuilder& glb, tinygltf::Animation& animation, int times, const StreamedObject& o,
                    size_t frames, int indices, int material, std::vector<int>& roots) {
    const int positions =
        glb.addFloats(packPoints(o.firstOwn), 3, TINYGLTF_TYPE_VEC3, TINYGLTF_TARGET_ARRAY_BUFFER, true);
    tinygltf::Node node;
    node.name = o.info.name;
    node.mesh = addMesh(glb, o.info.name, positions, indices, material, {});
    node.translation.assign(o.firstTransform, o.firstTransform + 3);
    node.rotation.assign(o.firstTransform + 3, o.firstTransform + 7);
    node.scale.assign(o.firstTransform + 7, o.firstTransform + 10);
    const int index = glb.addNode(node);
    roots.push_back(index);
    if (frames < 2) return;
    std::vector<float> translations, rotations, scales;
    for (size_t f = 0; f < frames; ++f) {
        const float* t = o.transforms.data() + 10 * f;
        translations.insert(translations.end(), t, t + 3);
        rotations.insert(rotations.end(), t + 3, t + 7);
        scales.insert(scales.end(), t + 7, t + 10);
    }
    glb.animate(animation, index, "translation", times,
                glb.addFloats(translations, 3, TINYGLTF_TYPE_VEC3, 0, false), "LINEAR");
    glb.animate(animation, index, "rotation", times, glb.addFloats(rotations, 4, TINYGLTF_TYPE_VEC4, 0, false),
                "LINEAR");
    glb.animate(animation, index, "scale", times, glb.addFloats(scales, 3, TINYGLTF_TYPE_VEC3, 0, false), "LINEAR");
}

/// World points baked into blocks of morph targets (see the file comment).
void addBakedObject(GlbBuilder& glb, tinygltf::Animation& animation, Int32 fps, Int32 firstFrame, size_t frames,
                    const StreamedObject& o, size_t objectIndex, int indices, int material, std::vector<int>& roots) {
    tinygltf::Node parent;
    parent.name = o.info.name;
    for (size_t begin = 0; begin < frames; begin += kGlbFramesPerBlock) {
        const size_t end = std::min(frames, begin + kGlbFramesPerBlock);
        const int positions = glb.addFrame(o, objectIndex, begin, begin, false);
        std::vector<int> targets;
        // Offsets are taken between the float values, so that base + offset
        // is the frame's float position within one rounding of the larger.
        for (size_t f = begin + 1; f < end; ++f) targets.push_back(glb.addFrame(o, objectIndex, f, begin, true));
        tinygltf::Node block;
        block.name = o.info.name + ".frames" + std::to_string(firstFrame + Int64(begin)) + "-" +
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
            const int output = glb.addFloats(weights, 1, TINYGLTF_TYPE_SCALAR, 0, false);
            const int input = glb.addFloats(times, 1, TINYGLTF_TYPE_SCALAR, 0, true);
            glb.animate(animation, node, "weights", input, output, "STEP");
        }
        // Visibility of the block.
        if (frames > kGlbFramesPerBlock) {
            std::vector<float> times, scales;
            auto key = [&](size_t f, float s) {
                times.push_back(float(f) / float(fps));
                scales.insert(scales.end(), {s, s, s});
            };
            if (begin > 0) key(0, 0.0f);
            key(begin, 1.0f);
            if (end < frames) key(end, 0.0f);
            const int output = glb.addFloats(scales, 3, TINYGLTF_TYPE_VEC3, 0, false);
            const int input = glb.addFloats(times, 1, TINYGLTF_TYPE_SCALAR, 0, true);
            glb.animate(animation, node, "scale", input, output, "STEP");
        }
    }
    roots.push_back(glb.addNode(parent));
}

/// The JSON chunk: TinyGLTF's text of the model, with the one binary buffer
/// (whose bytes the model does not hold) described in it.
bool jsonChunk(const tinygltf::Model& model, size_t bufferLength, std::string& text) {
    std::ostringstream stream;
    tinygltf::TinyGLTF writer;
    if (!writer.WriteGltfSceneToStream(&model, stream, false, false)) return false;
    nlohmann::json json = nlohmann::json::parse(stream.str());
    json["buffers"] = nlohmann::json::array({{{"byteLength", bufferLength}}});
    text = json.dump();
    return true;
}

/// Writes the views' bytes in order, reading the frames back from disk.
bool writeBinaryChunk(OutputFile& out, const GlbBuilder& glb, const std::vector<StreamedObject>& objects,
                      const ExportSettings& settings, std::string& error) {
    std::vector<float> values, base;
    // The block's first frame, read once for all the offsets of its block.
    size_t baseObject = SIZE_MAX, baseFrame = SIZE_MAX;
    static const char zeros[4] = {0, 0, 0, 0};
    for (const ViewSource& source : glb.sources) {
        if (settings.stopRequested && settings.stopRequested()) {
            error = "interrupted";
            return false;
        }
        if (source.kind == ViewSource::Bytes) {
            if (!out.write(source.bytes.data(), source.bytes.size(), error)) return false;
        } else {
            const StreamedObject& o = objects[source.object];
            values.resize(o.pointCount * 3);
            if (!o.readFrame(source.frame, values.data(), error)) return false;
            if (source.kind == ViewSource::Offsets) {
                if (baseObject != source.object || baseFrame != source.base) {
                    base.resize(values.size());
                    if (!o.readFrame(source.base, base.data(), error)) return false;
                    baseObject = source.object, baseFrame = source.base;
                }
                for (size_t i = 0; i < values.size(); ++i) values[i] = values[i] - base[i];
            }
            if (!out.write(values.data(), values.size() * sizeof(float), error)) return false;
        }
        if (source.length % 4 != 0 && !out.write(zeros, 4 - source.length % 4, error)) return false;
    }
    return true;
}

}  // namespace

std::vector<uint32_t> triangulate(const std::vector<CPolygon>& polygons) {
    std::vector<uint32_t> out;
    out.reserve(polygons.size() * 6);
    for (const CPolygon& p : polygons) {
        out.insert(out.end(), {uint32_t(p.a), uint32_t(p.b), uint32_t(p.c)});
        if (!p.IsTriangle()) out.insert(out.end(), {uint32_t(p.a), uint32_t(p.c), uint32_t(p.d)});
    }
    return out;
}

bool decomposeTransform(const Matrix& m, double t[3], double q[4], double s[3]) {
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

bool assembleGlb(const ExportSettings& settings, Int32 firstFrame, Int32 frameCount,
                 const std::vector<StreamedObject>& objects, std::vector<std::string>& notes, std::string& error) {
    const std::filesystem::path& file = settings.glb;
    try {
        if (settings.fps <= 0) {
            error = "cannot write " + file.string() + ": the frame rate " + std::to_string(settings.fps) +
                    " is not positive";
            return false;
        }
        const size_t frames = frameCount > 0 ? static_cast<size_t>(frameCount) : 0;
        GlbBuilder glb;
        glb.model.asset.version = "2.0";
        glb.model.asset.generator = "drapeon";
        const int clothMaterial = addMaterial(glb, "cloth", {0.80, 0.36, 0.24, 1.0});
        const int sceneMaterial = addMaterial(glb, "scene", {0.62, 0.64, 0.68, 1.0});

        tinygltf::Animation animation;
        animation.name = settings.sceneName.empty() ? "simulation" : settings.sceneName;
        int frameTimes = -1;  // shared by every sampled node transform
        std::vector<int> roots;
        for (size_t k = 0; k < objects.size(); ++k) {
            const StreamedObject& o = objects[k];
            if (!o.info.polygonObject || frames == 0) continue;
            if (o.pointCount > UINT32_MAX) {
                error = "cannot write " + file.string() + ": object \"" + o.info.path + "\" has too many points";
                return false;
            }
            const std::vector<uint32_t> triangles = triangulate(o.polygons);
            if (o.pointCount == 0 || triangles.empty()) {
                notes.push_back("object \"" + o.info.path + "\" has no " + (o.pointCount == 0 ? "points" : "polygons") +
                                "; it is left out of " + file.filename().string());
                continue;
            }
            const int indices = glb.addIndices(triangles);
            const int material = o.info.simulated ? clothMaterial : sceneMaterial;
            if (!o.info.simulated && o.still) {
                const int positions = glb.addFloats(packPoints(o.firstWorld), 3, TINYGLTF_TYPE_VEC3,
                                                    TINYGLTF_TARGET_ARRAY_BUFFER, true);
                tinygltf::Node node;
                node.name = o.info.name;
                node.mesh = addMesh(glb, o.info.name, positions, indices, material, {});
                roots.push_back(glb.addNode(node));
            } else if (!o.info.simulated && o.rigid) {
                if (frameTimes < 0) {
                    std::vector<float> times;
                    for (Int32 f = 0; f < frameCount; ++f) times.push_back(float(f) / float(settings.fps));
                    frameTimes = glb.addFloats(times, 1, TINYGLTF_TYPE_SCALAR, 0, true);
                }
                addRigidObject(glb, animation, frameTimes, o, frames, indices, material, roots);
            } else {
                addBakedObject(glb, animation, settings.fps, firstFrame, frames, o, k, indices, material, roots);
            }
        }
        if (!animation.channels.empty()) glb.model.animations.push_back(animation);
        tinygltf::Scene scene;
        scene.name = settings.sceneName;
        scene.nodes = roots;
        glb.model.scenes.push_back(scene);
        glb.model.defaultScene = 0;

        std::string json;
        if (!jsonChunk(glb.model, glb.bufferLength, json)) {
            error = "cannot encode " + file.string();
            return false;
        }
        if (glb.bufferLength > UINT32_MAX - json.size() - 64) {
            error = "cannot write " + file.string() + ": the animation exceeds the 4 GiB a binary glTF file can hold; "
                    "export fewer frames (--frames) or leave glb out of --export";
            return false;
        }
        const uint32_t jsonPadding = (4 - json.size() % 4) % 4;
        const uint32_t jsonLength = static_cast<uint32_t>(json.size()) + jsonPadding;
        const uint32_t binLength = static_cast<uint32_t>(glb.bufferLength);
        const uint32_t total = 12 + 8 + jsonLength + (binLength > 0 ? 8 + binLength : 0);
        const uint32_t header[5] = {0x46546C67u /* "glTF" */, 2, total, jsonLength, 0x4E4F534Au /* "JSON" */};

        OutputFile out;
        if (!out.create(file, error) || !out.write(header, sizeof header, error) || !out.write(json, error) ||
            !out.write(std::string(jsonPadding, ' '), error))
            return false;
        if (binLength > 0) {
            const uint32_t chunk[2] = {binLength, 0x004E4942u /* "BIN\0" */};
            if (!out.write(chunk, sizeof chunk, error) || !writeBinaryChunk(out, glb, objects, settings, error))
                return false;
        }
        return out.commit(error);
    } catch (const std::exception& e) {
        error = "cannot write " + file.string() + ": " + e.what();
        return false;
    }
}
