#include "sceneCheck.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace {

/// A problem that refuses the scene: the message without the file name.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string shortNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

class Checker {
public:
    explicit Checker(Scene& scene) : scene_(scene) {}

    void run() {
        std::map<const BaseObject*, std::vector<const SceneObject*>> clothsOf;
        for (const SceneObject& so : scene_.objects) {
            if (so.object->IsInstanceOf(Opoint)) checkWorldRange(so);
            if (so.typeName == "drapeon") {
                checkMass(so);
                const BaseObject* mesh = so.object->GetUp();
                if (mesh != nullptr && mesh->IsInstanceOf(Opoint) && so.object->GetDeformMode())
                    clothsOf[mesh].push_back(&so);
            } else if (so.typeName == "drNail") {
                checkPointsLink(so, "NAIL_POINTS", "nail");
            } else if (so.typeName == "drPin") {
                checkPointsLink(so, "PIN_POINTS", "pin");
                warnWithoutTarget(so, "PIN_TARGET", "the pin holds its points to nothing",
                                  "link the polygon object to pin them to");
            } else if (so.typeName == "drSew") {
                checkPointsLink(so, "SEW_POINTS", "seam");
                checkSewCount(so);
            } else if (so.typeName == "drCollideMesh") {
                warnWithoutTarget(so, "MESH_OBJECT", "the collider keeps the cloth off nothing",
                                  "link the polygon object to collide with");
            }
        }
        for (const auto& [mesh, cloths] : clothsOf) {
            const std::string meshPath = scene_.PathOf(mesh);
            if (cloths.size() > 1)
                throw Refused("object " + quoted(meshPath) + " has " + std::to_string(cloths.size()) +
                              " cloth objects under it (" + quoted(cloths[0]->path) + " and " +
                              quoted(cloths[1]->path) + "); each would reset the points the other simulates. " +
                              "Give each cloth its own polygon object");
            checkExtent(*cloths.front(), ToPoint(mesh), meshPath);
        }
    }

private:
    /// The described parameter `name` of the object's type, or null.
    static const DescParameter* parameter(const BaseObject* op, const char* name) {
        const Description* d = Description::ForType(op->GetType());
        return d == nullptr ? nullptr : d->Find(std::string(name));
    }

    /// The mesh of the cloth a constraint sits under (constraint, cloth,
    /// mesh), or null when it is not placed so.
    static const PointObject* clothMesh(const SceneObject& so) {
        const BaseObject* cloth = so.object->GetUp();
        if (cloth == nullptr) return nullptr;
        const BaseObject* mesh = cloth->GetUp();
        const Description* d = Description::ForType(cloth->GetType());
        if (d == nullptr || d->GetName() != "drapeon" || mesh == nullptr || !mesh->IsInstanceOf(Opoint)) return nullptr;
        return ToPoint(mesh);
    }

    /// Points placed in the world beyond what a 32-bit float holds would
    /// make the simulation's first step non-finite.
    void checkWorldRange(const SceneObject& so) {
        const PointObject* po = ToPoint(so.object);
        const Vector* p = po->GetPointR();
        const Matrix mg = so.object->GetMg();
        const double limit = FLT_MAX;
        for (Int32 i = 0; i < po->GetPointCount(); ++i) {
            const Vector w = mg * p[i];
            for (const double c : {w.x, w.y, w.z})
                if (!(std::fabs(c) <= limit))
                    throw Refused("object " + quoted(so.path) + ": point " + std::to_string(i) + " lies at " +
                                  shortNumber(c) + " in the world (its position, scale and parents applied), " +
                                  "beyond the range of 32-bit floats (-3.4e38 to 3.4e38) in which the simulation " +
                                  "holds it");
        }
    }

    void checkMass(const SceneObject& so) {
        const DescParameter* dp = parameter(so.object, "DRAPEON_MASS");
        if (dp == nullptr) return;
        const Float mass = so.object->GetDataInstance()->GetFloat(dp->id, 0.0);
        const std::string advice = " must be above 0: the cloth's mass is this value times its largest extent, "
                                   "and a cloth without mass cannot be simulated";
        if (!(mass > 0.0))
            throw Refused("object " + quoted(so.path) + ": params.DRAPEON_MASS: " + shortNumber(mass) + advice);
        const auto track = so.object->GetAnimation().parameters.find(dp->id);
        if (track == so.object->GetAnimation().parameters.end()) return;
        for (size_t k = 0; k < track->second.keys.size(); ++k)
            if (!(track->second.keys[k].value > 0.0))
                throw Refused("object " + quoted(so.path) + ": \"animation\".DRAPEON_MASS[" + std::to_string(k) +
                              "]: " + shortNumber(track->second.keys[k].value) + advice);
    }

    /// The cloth's mass is DRAPEON_MASS times the largest extent of its
    /// points, shared by the points, computed in 32-bit floats as the
    /// cloth object does: no extent means no mass.
    void checkExtent(const SceneObject& cloth, const PointObject* mesh, const std::string& meshPath) {
        const Int32 n = mesh->GetPointCount();
        if (n == 0 || !mesh->GetAnimation().points.empty()) return;  // nothing to simulate / shaped by its keys
        const Vector* p = mesh->GetPointR();
        Vector lo = p[0], hi = p[0];
        for (Int32 i = 1; i < n; ++i) {
            lo = Vector(std::fmin(lo.x, p[i].x), std::fmin(lo.y, p[i].y), std::fmin(lo.z, p[i].z));
            hi = Vector(std::fmax(hi.x, p[i].x), std::fmax(hi.y, p[i].y), std::fmax(hi.z, p[i].z));
        }
        float extent = static_cast<float>(hi.x - lo.x);
        extent = std::fmax(extent, static_cast<float>(hi.y - lo.y));
        extent = std::fmax(extent, static_cast<float>(hi.z - lo.z));
        const std::string where = "object " + quoted(meshPath) + ": the cloth " + quoted(cloth.path);
        if (!(extent > 0.0f))
            throw Refused(where + " has no extent: " +
                          (n == 1 ? std::string("its one point is") : "its " + std::to_string(n) + " points all lie") +
                          " at one place, and a cloth's mass is DRAPEON_MASS times its largest extent. Give it a " +
                          "mesh whose points span a length");
        const DescParameter* dp = parameter(cloth.object, "DRAPEON_MASS");
        if (dp == nullptr) return;
        const float mass = static_cast<float>(cloth.object->GetDataInstance()->GetFloat(dp->id, 0.0));
        const float pointMass = extent * mass / static_cast<float>(n);
        if (!(pointMass > 0.0f) || !std::isfinite(pointMass))
            throw Refused(where + ": DRAPEON_MASS " + shortNumber(mass) + " times its extent " + shortNumber(extent) +
                          " shared by " + std::to_string(n) + " points gives each point a mass of " +
                          shortNumber(pointMass) + ", which cannot be simulated; change DRAPEON_MASS");
    }

    /// A constraint takes point indices from a tag; a tag of another object
    /// would pick the cloth's points by that object's indices.
    void checkPointsLink(const SceneObject& so, const char* name, const char* what) {
        const DescParameter* dp = parameter(so.object, name);
        const PointObject* mesh = clothMesh(so);
        if (dp == nullptr || mesh == nullptr) return;
        const BaseList2D* link = so.object->GetDataInstance()->GetLink(dp->id, scene_.document.get());
        const auto* tag = dynamic_cast<const BaseTag*>(link);
        if (tag == nullptr || tag->GetObject() == mesh) return;
        throw Refused("object " + quoted(so.path) + ": params." + name + ": the tag " + quoted(scene_.PathOf(tag)) +
                      " belongs to " + quoted(scene_.PathOf(tag->GetObject())) + ", not to the cloth's mesh " +
                      quoted(scene_.PathOf(mesh)) + "; the " + what +
                      " would take the cloth's points by that object's point numbers. Link a tag of " +
                      quoted(scene_.PathOf(mesh)));
    }

    void warnWithoutTarget(const SceneObject& so, const char* name, const std::string& effect, const std::string& advice) {
        const DescParameter* dp = parameter(so.object, name);
        if (dp == nullptr || so.object->GetDataInstance()->GetLink(dp->id, scene_.document.get()) != nullptr) return;
        scene_.warnings.push_back("object " + quoted(so.path) + ": " + name + " is empty, so " + effect + "; " + advice);
    }

    /// Every stitch beyond the cloth's point count sews points that are sewn
    /// already (a border holds no more points than the mesh); the sew object
    /// makes no more stitches than that.
    void checkSewCount(const SceneObject& so) {
        const DescParameter* dp = parameter(so.object, "SEW_COUNT");
        const PointObject* mesh = clothMesh(so);
        if (dp == nullptr || mesh == nullptr) return;
        Int64 asked = std::llabs(static_cast<Int64>(so.object->GetDataInstance()->GetInt32(dp->id)));
        const auto track = so.object->GetAnimation().parameters.find(dp->id);
        if (track != so.object->GetAnimation().parameters.end())
            for (const ParameterKey& key : track->second.keys)
                asked = std::max<Int64>(asked, std::llabs(static_cast<Int64>(key.value)));
        const Int64 points = mesh->GetPointCount();
        if (asked <= points) return;
        scene_.warnings.push_back("object " + quoted(so.path) + ": SEW_COUNT asks for " + std::to_string(asked) +
                                  " stitches, more than the " + std::to_string(points) + " points of " +
                                  quoted(scene_.PathOf(mesh)) + " can take; it makes " + std::to_string(points) +
                                  " at most");
    }

    Scene& scene_;
};

}  // namespace

std::string checkScene(Scene& scene) {
    try {
        Checker(scene).run();
    } catch (const Refused& e) {
        return e.what();
    }
    return {};
}
