// Base classes of every node the host keeps: objects and tags.
#pragma once

#include "baseContainer.h"
#include "hostString.h"

class BaseDocument;
class NodeData;
struct DescID;

/// A node of the host: the root of objects and tags.
class GeListNode {
public:
    GeListNode() = default;
    GeListNode(const GeListNode&) = delete;
    GeListNode& operator=(const GeListNode&) = delete;
    virtual ~GeListNode() = default;

    /// The node's type id (built-in id or registered plug-in id).
    virtual Int32 GetType() const = 0;
    /// True when the node is of type `type` or derives from it (a polygon
    /// object is a point object; every object is Obase, every tag Tbase).
    virtual Bool IsInstanceOf(Int32 type) const;
    /// The document the node belongs to, or null.
    virtual BaseDocument* GetDocument() const = 0;

    /// The plug-in data object of a plug-in type, or null.
    NodeData* GetNodeData() const { return nodeData_; }
    /// The plug-in data object cast to its class (the caller knows the type).
    template <typename T>
    T* GetNodeData() const { return static_cast<T*>(nodeData_); }

    /// Sends a message: for plug-in types it is forwarded to the data
    /// object's Message (an exception there is caught and gives false).
    /// MSG_UPDATE is also counted (GetUpdateCount) and marks the node dirty.
    /// Returns the data object's answer, or true for built-in types.
    Bool Message(Int32 type, void* data = nullptr);
    /// Number of MSG_UPDATE messages received.
    Int32 GetUpdateCount() const { return updateCount_; }

protected:
    /// Called for every message before forwarding (MSG_UPDATE bookkeeping).
    virtual void OnMessage(Int32 type);

    NodeData* nodeData_ = nullptr;  ///< owned; set by the host on creation
    Int32 updateCount_ = 0;
};

/// A named node with a parameter container: base of objects and tags.
class BaseList2D : public GeListNode {
public:
    BaseList2D();
    ~BaseList2D() override;

    /// The name shown to the user.
    const String& GetName() const { return name_; }
    /// Renames the node.
    void SetName(const String& name) { name_ = name; }
    /// The parameter container (never null).
    BaseContainer* GetDataInstance() { return &data_; }
    /// The parameter container (never null).
    const BaseContainer* GetDataInstance() const { return &data_; }

    /// Asks the data object's GetDEnabling whether parameter `id` is
    /// editable; built-in types and errors give true.
    Bool IsParameterEnabled(Int32 id);

    /// The handle that links store; never reused within a process.
    Int64 GetLinkHandle() const { return linkHandle_; }
    /// The live node with this link handle, or null.
    static BaseList2D* FindByLinkHandle(Int64 handle);

protected:
    String name_;
    BaseContainer data_;

private:
    Int64 linkHandle_ = 0;
};
