// The plug-in side of an object: the data object a registered type's
// allocator creates, whose virtual callbacks the host calls.
#pragma once

#include "baseContainer.h"
#include "hostTypes.h"
#include "matrix.h"

#include <cstddef>
#include <new>
#include <vector>

class GeListNode;
class BaseObject;
class BaseDocument;
class BaseDraw;
class BaseDrawHelp;

/// One level of a parameter id.
struct DescLevel {
    Int32 id = 0;        ///< parameter id
    Int32 dtype = 0;     ///< value type (unused by this host)
    Int32 creator = 0;   ///< owner type (unused by this host)
};

/// A parameter id: up to three levels; level 0 is the parameter itself.
struct DescID {
    DescLevel _descId[3];  ///< the levels; only _descId[0] is used here
    Int32 depth = 0;       ///< number of levels in use

    DescID() = default;
    /// The one-level id of parameter `id`.
    DescID(Int32 id) : depth(1) { _descId[0].id = id; }
    /// Level k (0..2).
    const DescLevel& operator[](Int32 k) const { return _descId[k]; }
    /// Number of levels.
    Int32 GetDepth() const { return depth; }
};

/// Data of MSG_DESCRIPTION_COMMAND: which button was pressed. The parameter
/// id is `_descId[0].id` (also given by `id`).
struct DescriptionCommand {
    DescID _descId;  ///< the button's parameter id
    /// The pressed button for parameter id.
    explicit DescriptionCommand(Int32 id = 0) : _descId(id) {}
};

/// Thread handle passed to callbacks; the headless host never breaks.
class BaseThread {
public:
    /// True when the work should stop: always false here.
    Bool TestBreak() const { return false; }
};

/// The list into which AddToExecution inserts objects with a priority.
class PriorityList {
public:
    /// One inserted object.
    struct Entry {
        GeListNode* node;
        Int32 priority;
        Int32 flags;
    };
    /// Inserts node to be executed at `priority` with `flags`.
    Bool Add(GeListNode* node, Int32 priority, EXECUTIONFLAGS flags) {
        entries_.push_back({node, priority, static_cast<Int32>(flags)});
        return true;
    }
    /// Inserts node with integer flags (2, 270, ...).
    Bool Add(GeListNode* node, Int32 priority, Int32 flags) {
        return Add(node, priority, static_cast<EXECUTIONFLAGS>(flags));
    }
    /// The inserted entries in insertion order.
    const std::vector<Entry>& GetEntries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

/// Base of every plug-in data object. Allocated zero-filled: the class's
/// operator new clears the memory before the constructor runs, and the host
/// destroys the object with delete (virtual destructor).
class NodeData {
public:
    NodeData() = default;
    NodeData(const NodeData&) = delete;
    NodeData& operator=(const NodeData&) = delete;
    virtual ~NodeData() = default;

    /// Called once after creation; false makes the creation fail.
    virtual Bool Init(GeListNode* node) { (void)node; return true; }
    /// Called once before destruction.
    virtual void Free(GeListNode* node) { (void)node; }
    /// A message to the node; the answer is returned to the sender.
    virtual Bool Message(GeListNode* node, Int32 type, void* data) {
        (void)node; (void)type; (void)data;
        return true;
    }
    /// Whether parameter id is editable. t_data is the parameter's current
    /// value; flags and itemdesc are not used by this host (NONE, null).
    virtual Bool GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data,
                              DESCFLAGS_ENABLE flags, const BaseContainer* itemdesc) {
        (void)node; (void)id; (void)t_data; (void)flags; (void)itemdesc;
        return true;
    }

    /// Zero-filled allocation (throws std::bad_alloc when memory is out).
    static void* operator new(std::size_t size);
    /// Zero-filled allocation; null when memory is out.
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* p) noexcept;
    static void operator delete(void* p, const std::nothrow_t&) noexcept;
};

/// Base of the data object of an object type.
class ObjectData : public NodeData {
public:
    /// Centre mp and half-size rad of the object's box, in its coordinates.
    /// Default: both zero.
    virtual void GetDimension(BaseObject* op, Vector* mp, Vector* rad) {
        (void)op;
        if (mp) *mp = Vector();
        if (rad) *rad = Vector();
    }
    /// Draws the object into bd for one pass; bh gives the world matrix.
    virtual DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh) {
        (void)op; (void)drawpass; (void)bd; (void)bh;
        return DRAWRESULT::OK;
    }
    /// Inserts op into list to have Execute called; false (not inserted,
    /// Execute is never called) by default.
    virtual Bool AddToExecution(BaseObject* op, PriorityList* list) {
        (void)op; (void)list;
        return false;
    }
    /// Runs at the priority op was inserted with.
    virtual EXECUTIONRESULT Execute(BaseObject* op, BaseDocument* doc, BaseThread* bt, Int32 priority,
                                    EXECUTIONFLAGS flags) {
        (void)op; (void)doc; (void)bt; (void)priority; (void)flags;
        return EXECUTIONRESULT::OK;
    }
    /// Deformer callback: rewrites the points of op (the deform copy of
    /// mod's parent). op_mg and mod_mg are the world matrices; lod is 1.0
    /// and flags 0 in this host.
    virtual Bool ModifyObject(BaseObject* mod, BaseDocument* doc, BaseObject* op, const Matrix& op_mg,
                              const Matrix& mod_mg, Float lod, Int32 flags, BaseThread* thread) {
        (void)mod; (void)doc; (void)op; (void)op_mg; (void)mod_mg; (void)lod; (void)flags; (void)thread;
        return true;
    }
    /// Called before the host decides whether to deform again; may call
    /// op->SetDirty(DIRTYFLAGS::DATA) to force it.
    virtual void CheckDirty(BaseObject* op, BaseDocument* doc) { (void)op; (void)doc; }
};

/// Creates a type's data object, or returns null when memory is out.
typedef NodeData* DataAllocator();

/// Allocates a zero-filled T (derived from NodeData); null when out of memory.
template <typename T, typename... Args>
T* NewObjClear(Args&&... args) {
    return new (std::nothrow) T(static_cast<Args&&>(args)...);
}
