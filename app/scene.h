// Scene files: one JSON document that builds a host document (objects,
// tags, parameters, links and keyed animation) the way a user would build it
// in the host, so the program can evaluate it frame by frame.
//
//   { "fps": 30, "frames": [0, 90],
//     "objects": [ { "type": "polygon", "name": "Sheet",
//                    "position": [0, 100, 0], "rotation": [0, 0, 0], "scale": [1, 1, 1],
//                    "mesh": {"plane": {"width": 200, "height": 200, "segments": [20, 20]}},
//                    "tags": [...], "params": {...}, "animation": {...},
//                    "children": [ {"type": "drapeon", "name": "Cloth"} ] } ] }
//
// Types: "polygon", "points" (a point object without polygons), "null", or a
// plug-in type by its description name ("drapeon", "drGravity") or plug-in
// id. Parameters go by the names or ids of the type's description; link
// values are {"object": "Top/Child"} or {"tag": "Top/Child:tagName"}, paths
// of names from the top of the tree. Relative file names (meshes, OBJ point
// keys and file-name parameters such as the cache path) are taken relative
// to the folder of the scene file.
//
// Loading either builds the whole document or fails with one message that
// names the file, the object's path and what is wrong; nothing is written.
// Every number must be finite and within the range of 32-bit floats, in
// which the simulation holds it.
#pragma once

#include "host.h"
#include "sceneMesh.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

/// One object of a loaded scene.
struct SceneObject {
    BaseObject* object = nullptr;  ///< owned by the document
    std::string path;              ///< names from the top, joined by '/'
    std::string typeName;          ///< "polygon", "points", "null" or the description name
};

/// A link parameter as the scene gave it and what it resolved to.
struct SceneLink {
    std::string objectPath;  ///< the object holding the parameter
    Int32 parameterId = 0;
    std::string parameterName;
    std::string target;      ///< "Table/Top" or "Sheet:top"; empty for an empty link
};

/// Frees a document (and its objects) when the scene goes away.
struct DocumentDeleter {
    void operator()(BaseDocument* doc) const { BaseDocument::Free(doc); }
};

/// A scene built into a host document. Destroy it before unloading the
/// plug-ins whose objects it holds.
struct Scene {
    std::filesystem::path file;    ///< the scene file as given
    std::filesystem::path folder;  ///< absolute folder of the scene file (relative names start here)
    std::string name;              ///< file name without its extension
    Int32 fps = 30;
    Int32 firstFrame = 0;
    Int32 lastFrame = 90;
    std::unique_ptr<BaseDocument, DocumentDeleter> document;
    std::vector<SceneObject> objects;  ///< depth first, tree order
    std::vector<SceneLink> links;      ///< every link parameter the scene set

    /// The path of an object of this scene ("Sheet/Cloth") or of a tag
    /// ("Sheet:top"); empty when the node is not part of the scene.
    std::string PathOf(const BaseList2D* node) const;

    std::map<const BaseList2D*, std::string> paths;  ///< objects and tags -> path

    /// What the scene asks for that means less than it says (a limit
    /// applied, a link that does nothing); each names the file and object.
    std::vector<std::string> warnings;
};

/// Sizes a scene may ask for, so that no file makes a run exhaust the
/// machine. Each one refused names its field and the limit.
struct SceneLimits {
    Int64 fileBytes = 128ll << 20;  ///< size of the scene file (large meshes go in OBJ files)
    Int64 nodes = 100000;           ///< objects and tags together
    /// Points of every mesh, point key and vertex map of the scene, and
    /// again of every mesh a collider or pin links (each builds its own
    /// copy), in all.
    Int64 points = 4ll * kSceneMaxPoints;
    /// Keys of one animation track (every evaluation of a frame sorts them).
    Int64 keys = 100000;
};

/// Reads and builds the scene in `file`. Types must be registered before
/// (the plug-ins loaded). On failure returns false and sets `error` to a
/// message that starts with the file name.
bool loadScene(const std::filesystem::path& file, Scene& out, std::string& error, const SceneLimits& limits = {});

/// Builds a scene from its text; `file` names it in messages and gives the
/// folder that relative file names start from.
bool loadSceneText(const std::string& text, const std::filesystem::path& file, Scene& out, std::string& error,
                   const SceneLimits& limits = {});

/// The candidate nearest to `word` by edit distance (case counts as half an
/// edit), or empty when none is reasonably close.
std::string nearestName(const std::string& word, const std::vector<std::string>& candidates);
