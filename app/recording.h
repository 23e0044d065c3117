// What a run keeps of every frame, for the exporters and the viewer: the
// meshes of the scene (simulated or not) and the guides the objects drew.
#pragma once

#include <string>
#include <vector>

#include "host.h"

/// One guide element drawn by an object's Draw, in world space.
struct RecordedGuide {
    enum Kind { Line = 0, Handle = 1 };
    Kind kind = Line;
    Vector a, b;         ///< end points (a handle uses a only)
    Vector color{1.0, 1.0, 1.0};
    std::string object;  ///< path of the object that drew it ("Sheet/Cloth/Wind")
    std::string type;    ///< description name of its type ("drWind")
};

/// A polygon object of the scene over the recorded frames.
struct RecordedMesh {
    std::string name;  ///< the object's name
    std::string path;  ///< names from the top, joined by '/'
    bool simulated = false;  ///< a cloth object deforms it
    std::vector<CPolygon> polygons;     ///< a triangle has c == d
    std::vector<Vector> restPoints;     ///< the object's own points at the first frame (object space)
    /// Per recorded frame: the points as shown (deform cache when there is
    /// one), in world space.
    std::vector<std::vector<Vector>> worldPoints;
    /// Per recorded frame: the object's world matrix.
    std::vector<Matrix> worldFromObject;
};

/// Everything recorded by one run, frame by frame.
struct Recording {
    std::string sceneName;  ///< the scene file's name without extension
    Int32 fps = 30;
    Int32 firstFrame = 0;
    Int32 frameCount = 0;  ///< frames firstFrame .. firstFrame + frameCount - 1
    std::vector<RecordedMesh> meshes;
    /// Per recorded frame, the guides drawn in that frame.
    std::vector<std::vector<RecordedGuide>> guides;
};
