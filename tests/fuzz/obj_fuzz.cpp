// libFuzzer target of the OBJ reader on its own: any text either gives a
// mesh whose faces refer only to its points, or fails with a message that
// names the file.
#include "sceneMesh.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SceneMesh mesh;
    std::string error;
    if (!parseObj(text, "fuzz.obj", mesh, error)) {
        if (error.rfind("fuzz.obj:", 0) != 0) __builtin_trap();
        return 0;
    }
    const auto count = static_cast<Int32>(mesh.points.size());
    if (count == 0 || count > kSceneMaxPoints || static_cast<Int64>(mesh.polygons.size()) > kSceneMaxPoints)
        __builtin_trap();
    for (const CPolygon& p : mesh.polygons)
        for (Int32 k = 0; k < 4; ++k)
            if (p[k] < 0 || p[k] >= count) __builtin_trap();
    return 0;
}
