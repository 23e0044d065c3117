// libFuzzer target of the scene loader (and of the OBJ reader behind it).
// The thirteen object types are registered with stand-in data objects and
// the plug-in's own parameter descriptions, so scenes of the real types
// load without running a simulation.
#include "drRegistry.h"
#include "scene.h"
#include "sceneMesh.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

class StandIn : public ObjectData {
public:
    Bool Message(GeListNode* node, Int32 type, void*) override {
        if (type == MSG_MENUPREPARE) static_cast<BaseObject*>(node)->SetDeformMode(true);
        return true;
    }
    static NodeData* Alloc() { return NewObjClear<StandIn>(); }
};

void registerTypes() {
    const struct {
        Int32 id;
        const char* name;
    } types[] = {{ID_DRAPEON, "drapeon"},           {ID_DRGRAVITY, "drGravity"},
                 {ID_DRNAIL, "drNail"},             {ID_DRPIN, "drPin"},
                 {ID_DRDAMP, "drDamp"},             {ID_DRCOLLIDEMESH, "drCollideMesh"},
                 {ID_DRCOLLIDEPLANE, "drCollidePlane"}, {ID_DRCOLLIDESPHERE, "drCollideSphere"},
                 {ID_DRCOLLIDECAPSULE, "drCollideCapsule"}, {ID_DRCOLLIDESELF, "drCollideSelf"},
                 {ID_DRVOLUME, "drVolume"},         {ID_DRSEW, "drSew"},
                 {ID_DRWIND, "drWind"}};
    PluginRegistry::SetCurrentPluginFolder(Filename(DRAPEON_SOURCE_DIR));
    for (const auto& t : types)
        RegisterObjectPlugin(t.id, String(t.name), t.id == ID_DRAPEON ? OBJECT_MODIFIER : OBJECT_HELPER,
                             StandIn::Alloc, String(t.name), nullptr, 0);
    PluginRegistry::SetCurrentPluginFolder(Filename());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registerTypes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        Scene scene;
        std::string error;
        // Relative OBJ names resolve in the shipped scenes' folder
        if (!loadSceneText(text, DRAPEON_SOURCE_DIR "/scenes/fuzz.json", scene, error) && error.empty()) __builtin_trap();
        if (scene.document != nullptr) {
            // What the commands do with a loaded scene
            for (const SceneObject& so : scene.objects) (void)scene.PathOf(so.object);
            scene.document->EvaluateFrame(scene.firstFrame);
        }
    }
    HostTakeErrors();
    SceneMesh mesh;
    std::string error;
    if (!parseObj(text, "fuzz.obj", mesh, error) && error.empty()) __builtin_trap();
    return 0;
}
