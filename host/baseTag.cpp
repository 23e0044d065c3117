#include "baseTag.h"

#include "baseObject.h"

BaseTag* BaseTag::Alloc(Int32 type) {
    if (type == Tpointselection) return new SelectionTag();
    if (type == Tvertexmap) return new VariableTag();
    return nullptr;
}

void BaseTag::Free(BaseTag*& tag) {
    if (tag == nullptr) return;
    if (tag->object_ != nullptr) tag->object_->RemoveTag(tag);
    delete tag;
    tag = nullptr;
}

BaseDocument* BaseTag::GetDocument() const { return object_ ? object_->GetDocument() : nullptr; }

void BaseTag::CopyBaseTo(BaseTag* dst) const {
    dst->name_ = name_;
    dst->data_ = data_;
}

BaseTag* BaseTag::GetClone() const {
    BaseTag* t = new BaseTag(type_);
    CopyBaseTo(t);
    return t;
}

BaseTag* SelectionTag::GetClone() const {
    SelectionTag* t = new SelectionTag();
    CopyBaseTo(t);
    t->select_ = select_;
    return t;
}

BaseTag* VariableTag::GetClone() const {
    VariableTag* t = new VariableTag();
    CopyBaseTo(t);
    t->weights_ = weights_;
    return t;
}
