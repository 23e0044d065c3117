// The exports of a run, written while the run goes on: every frame handed to
// an ExportStream is written out (OBJ frames, point cache samples) or put
// aside on disk (the points the glTF file and the viewer need) at once, so
// that memory does not grow with the frames. finish() completes the point
// caches and assembles the glTF file and the viewer's data from what was put
// aside.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fileWrite.h"
#include "recording.h"

/// An object whose frames the exports receive.
struct ExportObject {
    std::string name;        ///< the object's name
    std::string path;        ///< names from the top, joined by '/'
    std::string fileStem;    ///< start of its OBJ, point cache and rest mesh file names
    bool simulated = false;  ///< a cloth deforms it: OBJ frames and a point cache
    bool polygonObject = true;  ///< shown in the glTF file and the viewer
};

/// One frame handed to the exports; the vectors hold one entry per object.
struct ExportFrame {
    Int32 frame = 0;
    std::vector<std::vector<Vector>> worldPoints;  ///< as shown, in world space
    std::vector<Matrix> worldFromObject;
    /// Read from the first frame only: the polygons and the objects' own
    /// points (the rest meshes).
    std::vector<std::vector<CPolygon>> polygons;
    std::vector<std::vector<Vector>> ownPoints;
    std::vector<RecordedGuide> guides;
};

struct ExportSettings {
    std::filesystem::path dir;  ///< the OBJ frames, point caches and viewer data go here
    bool obj = false;
    bool pc2 = false;
    bool viewer = false;
    std::filesystem::path glb;  ///< empty: no glTF file
    std::string sceneName;
    Int32 fps = 30;
    /// Polled while writing; true stops the exports (Ctrl-C).
    std::function<bool()> stopRequested;
};

/// The frames of the glTF file are split into blocks of this many (see exportGlb.cpp).
constexpr size_t kGlbFramesPerBlock = 32;

/// What the exports keep of one object between its frames.
struct StreamedObject {
    ExportObject info;
    std::vector<CPolygon> polygons;
    std::vector<Vector> restPoints;
    size_t pointCount = 0;
    std::string objName;   ///< the "o" line of its OBJ frames
    std::string objFaces;  ///< the "f" lines of its OBJ frames, the same in every frame

    // World points. Frames before `spooledFrom` equal the first frame; the
    // later ones wait in `spool` as float x, y, z.
    std::vector<Vector> firstWorld;
    std::vector<float> firstFloats;
    bool still = true;  ///< every frame so far shows the points of the first
    size_t spooledFrom = 0;
    ScratchFile spool;
    /// Per frame, 6 floats: for the first frame of a block, the least and
    /// greatest x, y, z of its points; for the others, those of the offsets
    /// from the block's first frame (float minus float), as the glTF file
    /// states them.
    std::vector<float> bounds;
    std::vector<float> blockFirst;  ///< floats of the current block's first frame

    // Moving as a whole: own points that stay those of the first frame and
    // world matrices that are node transforms.
    bool rigid = true;
    std::vector<Vector> firstOwn;
    double tolerance = 0.0;
    std::vector<float> transforms;  ///< per frame: translation xyz, rotation xyzw, scale xyz
    double firstTransform[10] = {};
    double previousRotation[4] = {0.0, 0.0, 0.0, 1.0};

    OutputFile pointCache;

    /// The float x, y, z of frame `f` into `out` (pointCount * 3 floats).
    bool readFrame(size_t f, float* out, std::string& error) const;
};

/// Guides of every frame, grouped by the object that drew them.
struct StreamedGuides {
    std::vector<std::pair<std::string, std::string>> groups;  ///< object path, type
    std::map<std::pair<std::string, std::string>, size_t> groupIndex;
    std::vector<uint32_t> frameStarts{0};  ///< per frame, where its records end
    ScratchFile records;                   ///< 11 floats per guide
};

class ExportStream {
public:
    ExportStream(ExportSettings settings, std::vector<ExportObject> objects);

    /// Writes or puts aside one frame; frames come in order, one after the
    /// other. False with `error` when a file cannot be written or the frame
    /// does not fit the first one.
    bool add(const ExportFrame& frame, std::string& error);

    /// Completes the point caches and writes the glTF file and the viewer
    /// data. An interruption (stopRequested) removes the unfinished files.
    bool finish(std::string& error);

    /// Remarks for the user (objects left out of the glTF file, ...).
    const std::vector<std::string>& notes() const { return notes_; }
    Int32 frameCount() const { return frameCount_; }
    /// The files finish() writes (point caches, rest meshes, glTF file, viewer data).
    std::vector<std::string> finalFiles() const;
    /// The files finish() completed (point caches, rest meshes, glTF file, viewer data).
    const std::vector<std::string>& completedFiles() const { return completed_; }
    bool stopped() const { return stopped_; }

private:
    bool begin(const ExportFrame& frame, std::string& error);
    bool track(StreamedObject& o, const std::vector<Vector>& world, const Matrix& worldFromObject, std::string& error);
    bool stop();
    bool complete(std::string& error);

    ExportSettings settings_;
    std::vector<StreamedObject> objects_;
    // Kept from frame to frame, so that a frame allocates nothing new.
    // The "v" lines of a frame; not cleared before use (of the size of a
    // whole frame's text, which would cost as much again as writing it).
    std::unique_ptr<char[]> text_;
    size_t textRoom_ = 0;
    std::vector<float> samples_, floats_;
    StreamedGuides guides_;
    std::vector<std::string> notes_;
    std::vector<std::string> completed_;
    Int32 firstFrame_ = 0;
    Int32 frameCount_ = 0;
    bool stopped_ = false;
};

/// "<stem>.<frame with at least four digits>.obj", like the cache's numbering.
std::string frameFileName(const std::string& stem, Int32 frame);

// Assembly at the end (exportGlb.cpp, exportViewer.cpp).
bool assembleGlb(const ExportSettings& settings, Int32 firstFrame, Int32 frameCount,
                 const std::vector<StreamedObject>& objects, std::vector<std::string>& notes, std::string& error);
bool assembleViewerData(const ExportSettings& settings, Int32 firstFrame, Int32 frameCount,
                        const std::vector<StreamedObject>& objects, const StreamedGuides& guides, std::string& error);
/// Triangles of the polygons: a quadrangle (a, b, c, d) is split into
/// (a, b, c) and (a, c, d), keeping its winding.
std::vector<uint32_t> triangulate(const std::vector<CPolygon>& polygons);
/// Translation, rotation (x, y, z, w) and scale of a node transform; false
/// for a matrix a node cannot express.
bool decomposeTransform(const Matrix& m, double t[3], double q[4], double s[3]);
