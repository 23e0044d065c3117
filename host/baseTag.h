// Tags: data attached to an object (point selections, vertex maps).
#pragma once

#include "baseList2D.h"
#include "baseSelect.h"

#include <vector>

class BaseObject;

/// A tag attached to an object. Owned by its object.
class BaseTag : public BaseList2D {
public:
    /// Creates a tag of a built-in type (Tpointselection, Tvertexmap), or
    /// null for other types.
    static BaseTag* Alloc(Int32 type);
    /// Destroys a tag that is not attached and sets the pointer to null.
    static void Free(BaseTag*& tag);

    Int32 GetType() const override { return type_; }
    Bool IsInstanceOf(Int32 type) const override { return type == type_ || type == Tbase; }
    BaseDocument* GetDocument() const override;
    /// The object the tag is attached to, or null.
    BaseObject* GetObject() const { return object_; }
    /// The next tag of the same object, or null.
    BaseTag* GetNext() const { return next_; }
    /// The previous tag of the same object, or null.
    BaseTag* GetPred() const { return pred_; }
    /// A copy of this tag (not attached).
    virtual BaseTag* GetClone() const;

protected:
    explicit BaseTag(Int32 type) : type_(type) {}
    void CopyBaseTo(BaseTag* dst) const;

private:
    friend class BaseObject;
    Int32 type_;
    BaseObject* object_ = nullptr;
    BaseTag* next_ = nullptr;
    BaseTag* pred_ = nullptr;
};

/// Point selection tag (Tpointselection).
class SelectionTag : public BaseTag {
public:
    SelectionTag() : BaseTag(Tpointselection) {}
    /// The selection (never null).
    BaseSelect* GetBaseSelect() { return &select_; }
    /// The selection (never null).
    const BaseSelect* GetBaseSelect() const { return &select_; }
    BaseTag* GetClone() const override;

private:
    BaseSelect select_;
};

/// Vertex map tag (Tvertexmap): one Float32 weight per entry.
class VariableTag : public BaseTag {
public:
    VariableTag() : BaseTag(Tvertexmap) {}
    /// The weights (null when there are none).
    const Float32* GetDataAddressR() const { return weights_.empty() ? nullptr : weights_.data(); }
    /// The weights for writing (null when there are none).
    Float32* GetDataAddressW() { return weights_.empty() ? nullptr : weights_.data(); }
    /// Number of entries.
    Int32 GetDataCount() const { return static_cast<Int32>(weights_.size()); }
    /// Resizes to count entries; new entries are 0.
    void Resize(Int32 count) { weights_.resize(count > 0 ? static_cast<size_t>(count) : 0u, 0.0f); }
    BaseTag* GetClone() const override;

private:
    std::vector<Float32> weights_;
};
