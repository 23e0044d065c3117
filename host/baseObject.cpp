#include "baseObject.h"

#include "baseDocument.h"
#include "registry.h"

#include <atomic>
#include <exception>
#include <string>

namespace {

std::atomic<UInt32> nextObjectSerial{1};

/// A 64-bit mix of the serial (a bijection, so identifiers stay unique).
UInt64 guidFromSerial(UInt64 x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

BaseObject::BaseObject(Int32 type) : type_(type) {
    uniqueIP_ = nextObjectSerial.fetch_add(1);
    guid_ = guidFromSerial(uniqueIP_);
}

BaseObject* BaseObject::Alloc(Int32 type) {
    if (type == Onull) return new BaseObject(Onull);
    if (type == Opoint) return new PointObject(Opoint);
    if (type == Opolygon) return new PolygonObject();
    const RegisteredType* rt = PluginRegistry::Find(type);
    if (rt == nullptr || rt->allocator == nullptr) return nullptr;
    NodeData* data = nullptr;
    try {
        data = rt->allocator();
    } catch (...) {
        HostReportError("the allocator of type " + std::to_string(type) + " threw");
        return nullptr;
    }
    if (data == nullptr) return nullptr;
    BaseObject* op = new BaseObject(type);
    op->nodeData_ = data;
    op->SetName(rt->name);
    Bool ok = false;
    try {
        ok = data->Init(op);
    } catch (...) {
        HostReportError("Init of type " + std::to_string(type) + " threw");
    }
    if (!ok) {
        delete op;
        return nullptr;
    }
    return op;
}

void BaseObject::Free(BaseObject*& op) {
    if (op == nullptr) return;
    op->Remove();
    delete op;
    op = nullptr;
}

BaseObject::~BaseObject() {
    // The data object first: its Free and destructor still see the object.
    if (nodeData_ != nullptr) {
        try {
            nodeData_->Free(this);
        } catch (...) {
            HostReportError("Free of type " + std::to_string(type_) + " threw");
        }
        try {
            delete nodeData_;
        } catch (...) {
            HostReportError("the destructor of type " + std::to_string(type_) + " threw");
        }
        nodeData_ = nullptr;
    }
    deformCache_.reset();
    while (down_ != nullptr) {
        BaseObject* child = down_;
        child->Detach();
        delete child;
    }
    while (firstTag_ != nullptr) {
        BaseTag* tag = firstTag_;
        RemoveTag(tag);
        delete tag;
    }
    Detach();
}

Bool BaseObject::IsInstanceOf(Int32 type) const {
    return type == type_ || type == Obase || (type == Opoint && type_ == Opolygon);
}

BaseDocument* BaseObject::GetDocument() const {
    const BaseObject* op = this;
    while (op->up_ != nullptr) op = op->up_;
    return op->doc_;
}

BaseObject* BaseObject::GetDownLast() const {
    BaseObject* c = down_;
    while (c != nullptr && c->next_ != nullptr) c = c->next_;
    return c;
}

void BaseObject::Detach() {
    if (pred_ != nullptr) pred_->next_ = next_;
    else if (up_ != nullptr) up_->down_ = next_;
    else if (doc_ != nullptr && doc_->first_ == this) doc_->first_ = next_;
    if (next_ != nullptr) next_->pred_ = pred_;
    up_ = next_ = pred_ = nullptr;
    if (cacheSource_ == nullptr) doc_ = nullptr;
}

void BaseObject::LinkAsFirst(BaseObject* parent) {
    up_ = parent;
    pred_ = nullptr;
    next_ = parent->down_;
    if (next_ != nullptr) next_->pred_ = this;
    parent->down_ = this;
}

void BaseObject::InsertUnder(BaseObject* parent) {
    if (parent == nullptr || parent == this) return;
    Detach();
    LinkAsFirst(parent);
}

void BaseObject::InsertUnderLast(BaseObject* parent) {
    if (parent == nullptr || parent == this) return;
    Detach();
    BaseObject* last = parent->GetDownLast();
    if (last == nullptr) LinkAsFirst(parent);
    else InsertAfter(last);
}

void BaseObject::InsertAfter(BaseObject* pred) {
    if (pred == nullptr || pred == this) return;
    Detach();
    up_ = pred->up_;
    doc_ = pred->up_ == nullptr ? pred->doc_ : nullptr;
    pred_ = pred;
    next_ = pred->next_;
    if (next_ != nullptr) next_->pred_ = this;
    pred->next_ = this;
}

void BaseObject::Remove() { Detach(); }

void BaseObject::SetMl(const Matrix& m) {
    if (m == ml_) return;
    ml_ = m;
    ++matrixDirty_;
}

Matrix BaseObject::GetMg() const {
    if (cacheSource_ != nullptr) return cacheSource_->GetMg();
    if (up_ == nullptr) return ml_;
    const Matrix worldFromParent = up_->GetMg();
    return worldFromParent * ml_;
}

void BaseObject::SetMg(const Matrix& m) {
    const Matrix parentFromWorld = up_ ? ~up_->GetMg() : Matrix();
    SetMl(parentFromWorld * m);
}

BaseTag* BaseObject::GetTag(Int32 type, Int32 nr) const {
    for (BaseTag* t = firstTag_; t != nullptr; t = t->next_)
        if (t->IsInstanceOf(type) && nr-- == 0) return t;
    return nullptr;
}

BaseTag* BaseObject::MakeTag(Int32 type) {
    BaseTag* tag = BaseTag::Alloc(type);
    if (tag == nullptr) return nullptr;
    if (type == Tvertexmap && IsInstanceOf(Opoint))
        static_cast<VariableTag*>(tag)->Resize(ToPoint(this)->GetPointCount());
    InsertTag(tag);
    return tag;
}

void BaseObject::InsertTag(BaseTag* tag) {
    if (tag == nullptr) return;
    if (tag->object_ != nullptr) tag->object_->RemoveTag(tag);
    BaseTag* last = firstTag_;
    while (last != nullptr && last->next_ != nullptr) last = last->next_;
    tag->object_ = this;
    tag->pred_ = last;
    tag->next_ = nullptr;
    if (last) last->next_ = tag;
    else firstTag_ = tag;
}

void BaseObject::RemoveTag(BaseTag* tag) {
    if (tag == nullptr || tag->object_ != this) return;
    if (tag->pred_) tag->pred_->next_ = tag->next_;
    else firstTag_ = tag->next_;
    if (tag->next_) tag->next_->pred_ = tag->pred_;
    tag->object_ = nullptr;
    tag->next_ = tag->pred_ = nullptr;
}

void BaseObject::SetDirty(DIRTYFLAGS flags) {
    if (static_cast<Int32>(flags) & static_cast<Int32>(DIRTYFLAGS::DATA)) ++dataDirty_;
    if (static_cast<Int32>(flags) & static_cast<Int32>(DIRTYFLAGS::MATRIX)) ++matrixDirty_;
}

UInt32 BaseObject::GetDirty(DIRTYFLAGS flags) const {
    UInt32 sum = 0;
    if (static_cast<Int32>(flags) & static_cast<Int32>(DIRTYFLAGS::DATA)) sum += dataDirty_ + data_.GetDirtyCount();
    if (static_cast<Int32>(flags) & static_cast<Int32>(DIRTYFLAGS::MATRIX)) sum += matrixDirty_;
    return sum;
}

void BaseObject::CopyBaseTo(BaseObject* dst) const {
    dst->name_ = name_;
    dst->data_ = data_;
    dst->ml_ = ml_;
    dst->deformMode_ = deformMode_;
    for (const BaseTag* t = firstTag_; t != nullptr; t = t->next_) dst->InsertTag(t->GetClone());
}

BaseObject* BaseObject::GetClone() const {
    if (nodeData_ != nullptr) return nullptr;
    BaseObject* op = new BaseObject(type_);
    CopyBaseTo(op);
    return op;
}

PointObject* PointObject::Alloc(Int32 pointCount) {
    PointObject* op = new PointObject(Opoint);
    op->ResizeObject(pointCount);
    return op;
}

Vector* PointObject::GetPointW() {
    SetDirty(DIRTYFLAGS::DATA);
    return points_.empty() ? nullptr : points_.data();
}

Bool PointObject::ResizeObject(Int32 pointCount) {
    if (pointCount < 0) return false;
    if (static_cast<size_t>(pointCount) == points_.size()) return true;
    points_.resize(static_cast<size_t>(pointCount));
    SetDirty(DIRTYFLAGS::DATA);
    return true;
}

BaseObject* PointObject::GetClone() const {
    PointObject* op = new PointObject(GetType());
    CopyBaseTo(op);
    op->points_ = points_;
    return op;
}

PolygonObject* PolygonObject::Alloc(Int32 pointCount, Int32 polygonCount) {
    PolygonObject* op = new PolygonObject();
    op->ResizeObject(pointCount, polygonCount);
    return op;
}

CPolygon* PolygonObject::GetPolygonW() {
    SetDirty(DIRTYFLAGS::DATA);
    return polygons_.empty() ? nullptr : polygons_.data();
}

Bool PolygonObject::ResizeObject(Int32 pointCount) { return PointObject::ResizeObject(pointCount); }

Bool PolygonObject::ResizeObject(Int32 pointCount, Int32 polygonCount) {
    if (pointCount < 0 || polygonCount < 0) return false;
    PointObject::ResizeObject(pointCount);
    if (static_cast<size_t>(polygonCount) != polygons_.size()) {
        polygons_.resize(static_cast<size_t>(polygonCount));
        SetDirty(DIRTYFLAGS::DATA);
    }
    return true;
}

void PolygonObject::SetPolygons(const std::vector<CPolygon>& polygons) {
    polygons_ = polygons;
    SetDirty(DIRTYFLAGS::DATA);
}

BaseObject* PolygonObject::GetClone() const {
    PolygonObject* op = new PolygonObject();
    CopyBaseTo(op);
    op->points_ = points_;
    op->polygons_ = polygons_;
    return op;
}
