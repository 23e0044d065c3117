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
#pragma once

#include "host.h"

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
};

/// Reads and builds the scene in `file`. Types must be registered before
/// (the plug-ins loaded). On failure returns false and sets `error` to a
/// message that starts with the file name.
bool loadScene(const std::filesystem::path& file, Scene& out, std::string& error);

/// Builds a scene from its text; `file` names it in messages and gives the
/// folder that relative file names start from.
bool loadSceneText(const std::string& text, const std::filesystem::path& file, Scene& out, std::string& error);

/// The candidate nearest to `word` by edit distance (case counts as half an
/// edit), or empty when none is reasonably close.
std::string nearestName(const std::string& word, const std::vector<std::string>& candidates);
