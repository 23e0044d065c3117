// A minimal plug-in module for the loader tests: one deformer type that
// records the calls the host makes.
#include "host.h"

#include <string>

namespace {

constexpr Int32 kTypeId = 1999001;
std::string pluginFolder;
Int32 initCount = 0;

struct Calls {
    Int32 action[8] = {};
    Int32 lastVersion = 0;
    Int32 objectsAlive = 0;
};
Calls calls;

class Counter : public ObjectData {
public:
    Counter() { ++calls.objectsAlive; }
    ~Counter() override { --calls.objectsAlive; }
    Bool Init(GeListNode* node) override {
        static_cast<BaseList2D*>(node)->GetDataInstance()->SetFloat(1000, 2.5);
        return true;
    }
    static NodeData* Alloc() { return NewObjClear<Counter>(); }
};

}  // namespace

/// Read by the tests through dlsym: the calls counted so far.
extern "C" const Calls* testPluginCalls() { return &calls; }

extern "C" Int32 c4d_main(Int32 action, void* p1, void* p2, void* p3) {
    (void)p2;
    if (action >= 0 && action < 8) ++calls.action[action];
    switch (action) {
        case 1: {
            calls.lastVersion = p1 ? *static_cast<const Int32*>(p1) : 0;
            if (calls.lastVersion < 20017 || p3 == nullptr) return -3;
            if (initCount++ == 0) pluginFolder = static_cast<const char*>(p3);
            return 1;
        }
        case 2: {
            AutoBitmap icon(String("drapeon.png"));
            return RegisterObjectPlugin(kTypeId, GeLoadString(1000), OBJECT_MODIFIER, Counter::Alloc,
                                        String("tpCounter"), icon, 0)
                       ? 1
                       : 0;
        }
        case 3:
            if (initCount > 0 && --initCount == 0) pluginFolder.clear();
            return 1;
        case 4:
            return 5;
        case 6:
            if (static_cast<Int32>(reinterpret_cast<intptr_t>(p1)) == 1) LoadStringResource(Filename(pluginFolder));
            return -1;
        default:
            return -1;
    }
}
