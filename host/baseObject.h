// Objects of the host: the tree nodes of a document, with a local matrix,
// tags, children and, for plug-in types, a plug-in data object.
#pragma once

#include "animation.h"
#include "baseList2D.h"
#include "baseTag.h"
#include "matrix.h"

#include <memory>
#include <string>
#include <vector>

class PointObject;
class PolygonObject;

/// An object of a document's tree.
class BaseObject : public BaseList2D {
public:
    /// Creates an object: Onull, Opoint, Opolygon, or a registered plug-in
    /// type (the type's allocator creates the data object, then the host
    /// calls its Init). Null for unknown or non-creatable types, or when the
    /// allocator or Init fails.
    static BaseObject* Alloc(Int32 type);
    /// Removes the object from its tree, destroys it with its children and
    /// tags (the data object gets Free, then is deleted) and sets op to null.
    static void Free(BaseObject*& op);
    ~BaseObject() override;

    Int32 GetType() const override { return type_; }
    Bool IsInstanceOf(Int32 type) const override;
    BaseDocument* GetDocument() const override;

    // Tree.
    /// Parent, or null.
    BaseObject* GetUp() const { return up_; }
    /// First child, or null.
    BaseObject* GetDown() const { return down_; }
    /// Last child, or null.
    BaseObject* GetDownLast() const;
    /// Next sibling, or null.
    BaseObject* GetNext() const { return next_; }
    /// Previous sibling, or null.
    BaseObject* GetPred() const { return pred_; }
    /// Moves the object (detached first if needed) to be the last child of
    /// parent. The parent then owns it.
    void InsertUnderLast(BaseObject* parent);
    /// Moves the object to be the first child of parent.
    void InsertUnder(BaseObject* parent);
    /// Moves the object right after sibling `pred` (same parent/document).
    void InsertAfter(BaseObject* pred);
    /// Detaches the object from its parent or document; the caller owns it.
    void Remove();

    // Matrices.
    /// Local matrix (relative to the parent).
    const Matrix& GetMl() const { return ml_; }
    /// Sets the local matrix (marks MATRIX dirty when it changes).
    void SetMl(const Matrix& m);
    /// World matrix: the parent's GetMg * GetMl. A deform cache answers the
    /// world matrix of the object it was made from.
    Matrix GetMg() const;
    /// Sets the local matrix so that GetMg gives m.
    void SetMg(const Matrix& m);

    // Tags.
    /// First tag, or null.
    BaseTag* GetFirstTag() const { return firstTag_; }
    /// First tag of this type (IsInstanceOf), or null.
    BaseTag* GetTag(Int32 type, Int32 nr = 0) const;
    /// Creates a tag of a built-in type and appends it (a vertex map gets
    /// one weight per point, all 0). Null for unknown types.
    BaseTag* MakeTag(Int32 type);
    /// Appends a tag created with BaseTag::Alloc; the object owns it.
    void InsertTag(BaseTag* tag);
    /// Detaches a tag of this object; the caller owns it.
    void RemoveTag(BaseTag* tag);

    // Deformation.
    /// The deformed copy the host made at the last evaluation, or null.
    BaseObject* GetDeformCache() const { return deformCache_.get(); }
    /// Switches the object's deformer behaviour on or off (off after Alloc).
    void SetDeformMode(Bool mode) { deformMode_ = mode; }
    /// The deformer switch.
    Bool GetDeformMode() const { return deformMode_; }

    // Change tracking.
    /// Marks the object changed (DATA or MATRIX).
    void SetDirty(DIRTYFLAGS flags);
    /// Counter of changes: MATRIX counts matrix changes; DATA counts
    /// SetDirty(DATA), parameter changes, point and polygon writes
    /// (GetPointW/GetPolygonW, resizes) and MSG_UPDATE.
    UInt32 GetDirty(DIRTYFLAGS flags) const;

    // Identity.
    /// 32-bit identifier, unique per object (a deform cache repeats that of
    /// the object it was made from, so it is stable from frame to frame).
    UInt32 GetUniqueIP() const { return uniqueIP_; }
    /// 64-bit identifier, unique per object (repeated by a deform cache).
    UInt64 GetGUID() const { return guid_; }

    /// The keyed animation the host applies at every evaluation.
    Animation& GetAnimation() { return animation_; }
    /// The keyed animation the host applies at every evaluation.
    const Animation& GetAnimation() const { return animation_; }

    /// A copy of this object alone (no children, no animation, no data
    /// object): type, name, parameters, matrix, tags, points and polygons,
    /// with new identifiers. Null for plug-in types.
    virtual BaseObject* GetClone() const;

protected:
    explicit BaseObject(Int32 type);
    void CopyBaseTo(BaseObject* dst) const;

private:
    friend class BaseDocument;
    friend class Evaluator;
    void Detach();
    void LinkAsFirst(BaseObject* parent);

    Int32 type_;
    BaseObject* up_ = nullptr;
    BaseObject* down_ = nullptr;
    BaseObject* next_ = nullptr;
    BaseObject* pred_ = nullptr;
    BaseDocument* doc_ = nullptr;  ///< set for top-level objects and caches
    BaseTag* firstTag_ = nullptr;
    Matrix ml_;
    Bool deformMode_ = false;
    UInt32 dataDirty_ = 0;
    UInt32 matrixDirty_ = 0;
    UInt32 uniqueIP_ = 0;
    UInt64 guid_ = 0;
    Animation animation_;
    std::unique_ptr<BaseObject> deformCache_;
    std::string deformSignature_;              ///< inputs of the current cache
    const BaseObject* cacheSource_ = nullptr;  ///< set on a deform cache
};

/// An object with points (Opoint); base of polygon objects.
class PointObject : public BaseObject {
public:
    /// Creates a point object with pointCount points at the origin.
    static PointObject* Alloc(Int32 pointCount);
    /// Number of points.
    Int32 GetPointCount() const { return static_cast<Int32>(points_.size()); }
    /// The points in local coordinates (null when there are none).
    const Vector* GetPointR() const { return points_.empty() ? nullptr : points_.data(); }
    /// The points for writing (marks DATA dirty; null when there are none).
    Vector* GetPointW();
    /// Sets the point count; kept points stay, new ones are at the origin.
    virtual Bool ResizeObject(Int32 pointCount);
    BaseObject* GetClone() const override;

protected:
    explicit PointObject(Int32 type) : BaseObject(type) {}
    std::vector<Vector> points_;
    friend class BaseObject;
};

/// One polygon: corner indices a, b, c, d; a triangle has c == d.
/// Same layout as the core's polygon record (four 32-bit indices).
struct CPolygon {
    Int32 a = 0, b = 0, c = 0, d = 0;
    CPolygon() = default;
    /// A triangle (d = c).
    CPolygon(Int32 a_, Int32 b_, Int32 c_) : a(a_), b(b_), c(c_), d(c_) {}
    /// A quadrangle.
    CPolygon(Int32 a_, Int32 b_, Int32 c_, Int32 d_) : a(a_), b(b_), c(c_), d(d_) {}
    /// True when c == d.
    Bool IsTriangle() const { return c == d; }
    /// Corner k (0..3).
    Int32 operator[](Int32 k) const { return (&a)[k & 3]; }
};
static_assert(sizeof(CPolygon) == 16, "four 32-bit corner indices");

/// A polygon object (Opolygon); also a point object.
class PolygonObject : public PointObject {
public:
    /// Creates a polygon object with the given counts (zeroed).
    static PolygonObject* Alloc(Int32 pointCount, Int32 polygonCount);
    /// Number of polygons.
    Int32 GetPolygonCount() const { return static_cast<Int32>(polygons_.size()); }
    /// The polygons (null when there are none).
    const CPolygon* GetPolygonR() const { return polygons_.empty() ? nullptr : polygons_.data(); }
    /// The polygons for writing (marks DATA dirty; null when there are none).
    CPolygon* GetPolygonW();
    /// Sets the point count and keeps the polygons.
    Bool ResizeObject(Int32 pointCount) override;
    /// Sets both counts; kept entries stay, new ones are zero.
    Bool ResizeObject(Int32 pointCount, Int32 polygonCount);
    /// Replaces the polygons.
    void SetPolygons(const std::vector<CPolygon>& polygons);
    BaseObject* GetClone() const override;

private:
    PolygonObject() : PointObject(Opolygon) {}
    std::vector<CPolygon> polygons_;
    friend class BaseObject;
};

/// op as a point object (the caller checked IsInstanceOf(Opoint)).
inline PointObject* ToPoint(BaseObject* op) { return static_cast<PointObject*>(op); }
/// op as a point object (the caller checked IsInstanceOf(Opoint)).
inline const PointObject* ToPoint(const BaseObject* op) { return static_cast<const PointObject*>(op); }
/// op as a polygon object (the caller checked IsInstanceOf(Opolygon)).
inline PolygonObject* ToPoly(BaseObject* op) { return static_cast<PolygonObject*>(op); }
/// op as a polygon object (the caller checked IsInstanceOf(Opolygon)).
inline const PolygonObject* ToPoly(const BaseObject* op) { return static_cast<const PolygonObject*>(op); }
