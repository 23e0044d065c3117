#include "baseList2D.h"

#include "baseObject.h"
#include "nodeData.h"
#include "registry.h"

#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

/// Live nodes by link handle: links resolve through it, so a deleted
/// target resolves to null instead of a dangling pointer.
struct NodeTable {
    std::mutex mutex;
    std::unordered_map<Int64, BaseList2D*> nodes;
    Int64 nextHandle = 1;
};

NodeTable& nodeTable() {
    static NodeTable table;
    return table;
}

}  // namespace

Bool GeListNode::IsInstanceOf(Int32 type) const { return type == GetType(); }

void GeListNode::OnMessage(Int32 type) {
    if (type != MSG_UPDATE) return;
    ++updateCount_;
    if (BaseObject* op = dynamic_cast<BaseObject*>(this)) op->SetDirty(DIRTYFLAGS::DATA);
}

Bool GeListNode::Message(Int32 type, void* data) {
    OnMessage(type);
    if (nodeData_ == nullptr) return true;
    try {
        return nodeData_->Message(this, type, data);
    } catch (const std::exception& e) {
        HostReportError("Message " + std::to_string(type) + " to an object of type " + std::to_string(GetType()) +
                        " threw: " + e.what());
    } catch (...) {
        HostReportError("Message " + std::to_string(type) + " to an object of type " + std::to_string(GetType()) +
                        " threw an unknown exception");
    }
    return false;
}

BaseList2D::BaseList2D() {
    NodeTable& t = nodeTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    linkHandle_ = t.nextHandle++;
    t.nodes.emplace(linkHandle_, this);
}

BaseList2D::~BaseList2D() {
    NodeTable& t = nodeTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.nodes.erase(linkHandle_);
}

BaseList2D* BaseList2D::FindByLinkHandle(Int64 handle) {
    NodeTable& t = nodeTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.nodes.find(handle);
    return it == t.nodes.end() ? nullptr : it->second;
}

Bool BaseList2D::IsParameterEnabled(Int32 id) {
    if (nodeData_ == nullptr) return true;
    try {
        return nodeData_->GetDEnabling(this, DescID(id), data_.GetData(id), DESCFLAGS_ENABLE::NONE, nullptr);
    } catch (...) {
        HostReportError("GetDEnabling of an object of type " + std::to_string(GetType()) + " threw");
    }
    return true;
}
