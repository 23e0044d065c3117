// A scene document: the object tree, the time and frame rate, evaluation
// of a frame and drawing of every object.
#pragma once

#include "baseObject.h"
#include "baseTime.h"

class BaseDraw;
class BaseThread;

/// A document owns its top-level objects (and, through them, the tree).
///
/// Evaluation (ExecutePasses / EvaluateFrame), in this order:
///  1. Animation: every object's Animation is applied at the document's
///     frame (time * fps, fractional), depth first in tree order.
///  2. Execution: AddToExecution is asked of every plug-in object (depth
///     first, tree order); the inserted objects' Execute runs in ascending
///     priority, ties in tree order. An Execute sees the deform caches of
///     the previous evaluation.
///  3. Deformation: every point object with at least one enabled deformer
///     child (a plug-in type registered with OBJECT_MODIFIER whose deform
///     mode is on) is deformed, depth first in tree order, so a deformer
///     that reads another object's deform cache sees this evaluation's
///     cache when that object comes earlier in the tree. The deformers
///     are asked CheckDirty first; the cache is rebuilt when a deformer was
///     marked dirty, or when the object (its parameters, points, world
///     matrix, name) or a deformer (parameters, world matrix) changed since
///     the cache was made. Rebuilding: a fresh copy of the object (own
///     points, polygons, tags, name, parameters; its GetMg, GetUniqueIP and
///     GetGUID answer those of the object) is passed to ModifyObject of each
///     enabled deformer in child order, and kept as the object's deform
///     cache. The object's own points never change. An object with no
///     enabled deformer loses its cache.
/// Every callback runs on the caller's thread; an exception thrown by a
/// callback is caught, reported (HostTakeErrors) and treated as failure.
///
/// Destroy documents before unloading the plug-ins whose objects they hold.
class BaseDocument {
public:
    /// An empty document at time 0 and 30 frames per second.
    static BaseDocument* Alloc();
    /// Destroys a document with its objects and sets the pointer to null.
    static void Free(BaseDocument*& doc);
    BaseDocument() = default;
    BaseDocument(const BaseDocument&) = delete;
    BaseDocument& operator=(const BaseDocument&) = delete;
    ~BaseDocument();

    /// Current time.
    BaseTime GetTime() const { return time_; }
    /// Sets the current time (no evaluation).
    void SetTime(const BaseTime& t) { time_ = t; }
    /// Frames per second.
    Int32 GetFps() const { return fps_; }
    /// Sets the frame rate (values below 1 are taken as 1).
    void SetFps(Int32 fps) { fps_ = fps < 1 ? 1 : fps; }
    /// The integer frame of the current time (BaseTime::GetFrame).
    Int32 GetFrame() const { return time_.GetFrame(fps_); }

    /// First top-level object, or null.
    BaseObject* GetFirstObject() const { return first_; }
    /// Inserts op (detached first if needed): under parent when given, else
    /// at the top level; after pred when given (a child of the same parent),
    /// else as the last one. The document owns it from then on.
    void InsertObject(BaseObject* op, BaseObject* parent = nullptr, BaseObject* pred = nullptr);
    /// The object at a name path "a/b/c" (names of a top-level object and
    /// its descendants), or, for a name without '/', the first object with
    /// that name depth first. Null when not found.
    BaseObject* SearchObject(const String& path) const;
    /// Every object depth first in tree order (parents before children).
    std::vector<BaseObject*> GetObjectsDepthFirst() const;

    /// Sets the time to `frame` (frame / fps seconds) and evaluates.
    Bool EvaluateFrame(Int32 frame);
    /// Evaluates the document at its current time (see the class comment).
    /// False when a callback threw or failed (the evaluation still ends).
    Bool ExecutePasses(BaseThread* bt = nullptr, Bool animation = true, Bool expressions = true,
                       Bool caches = true);
    /// Number of deform caches rebuilt by the last evaluation.
    Int32 GetLastRebuildCount() const { return lastRebuilds_; }

    /// Draws every plug-in object into bd: pass OBJECT for all objects, then
    /// HANDLES, then HIGHLIGHTS, objects depth first in tree order. Each
    /// Draw gets a BaseDrawHelp with the object's world matrix; the drawing
    /// matrix is reset to the identity and the pen to white before each call.
    void Draw(BaseDraw* bd);

private:
    friend class BaseObject;
    BaseObject* first_ = nullptr;
    BaseTime time_;
    Int32 fps_ = 30;
    Int32 lastRebuilds_ = 0;
};
