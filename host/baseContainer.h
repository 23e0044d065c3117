// Parameter values (GeData) and the id -> value container of an object.
#pragma once

#include "hostString.h"
#include "vector.h"

#include <map>
#include <variant>

class BaseList2D;
class BaseDocument;

/// Kind of value a GeData holds.
enum class DA : Int32 {
    NIL = 0,
    LONG = 15,      ///< Int32
    REAL = 19,      ///< Float
    VECTOR = 23,    ///< Vector
    STRING = 130,   ///< String
    FILENAME = 131, ///< Filename
    ALIASLINK = 133 ///< link to an object or tag
};

/// One value: nothing, Int32, Float, Vector, String, Filename or a link.
/// A link stores a handle that stays valid after its target is deleted; it
/// then resolves to null.
class GeData {
public:
    /// No value.
    GeData() = default;
    /// An integer.
    GeData(Int32 v) : value_(v) {}
    /// A float.
    GeData(Float v) : value_(v) {}
    /// A vector.
    GeData(const Vector& v) : value_(v) {}
    /// A text.
    GeData(const String& v) : value_(v) {}
    /// A file name.
    GeData(const Filename& v) : value_(v) {}
    /// A link to `target` (null gives an empty link).
    static GeData MakeLink(const BaseList2D* target);

    /// The kind of value held.
    DA GetType() const;
    /// Int32 or Float as float (an integer gives its value); else 0.
    Float GetFloat() const;
    /// Int32, or Float truncated toward zero; else 0.
    Int32 GetInt32() const;
    /// The vector, or the zero vector.
    Vector GetVector() const;
    /// The text (a Filename gives its path); else empty.
    String GetString() const;
    /// The file name (a String gives a file name); else empty.
    Filename GetFilename() const;
    /// The link target if it still exists, belongs to `doc` (unless doc is
    /// null) and is an instance of `instanceOf` (unless 0); else null.
    BaseList2D* GetLink(const BaseDocument* doc, Int32 instanceOf = 0) const;

    bool operator==(const GeData& o) const { return value_ == o.value_; }
    bool operator!=(const GeData& o) const { return !(value_ == o.value_); }

private:
    struct Link {
        Int64 handle = 0;  ///< serial of the target node (0: empty link)
        bool operator==(const Link& o) const { return handle == o.handle; }
    };
    std::variant<std::monostate, Int32, Float, Vector, String, Filename, Link> value_;
};

/// Parameters of an object or tag: id -> value. Every Set that changes the
/// stored value raises the dirty count (GetDirtyCount), which the host uses
/// to see that a deformer's or an object's parameters changed.
class BaseContainer {
public:
    /// True when an entry with this id exists.
    Bool Has(Int32 id) const { return values_.count(id) != 0; }
    /// The entry, or null.
    const GeData* GetDataPointer(Int32 id) const;
    /// The entry, or an empty GeData.
    GeData GetData(Int32 id) const;
    /// Stores any value.
    void SetData(Int32 id, const GeData& value);
    /// Removes the entry; true when it existed.
    Bool RemoveData(Int32 id);

    /// A Float entry, or an Int32 entry as float; else def.
    Float GetFloat(Int32 id, Float def = 0.0) const;
    /// Stores a Float.
    void SetFloat(Int32 id, Float v) { SetData(id, GeData(v)); }
    /// An Int32 entry, or a Float entry truncated toward zero; else def.
    Int32 GetInt32(Int32 id, Int32 def = 0) const;
    /// Stores an Int32.
    void SetInt32(Int32 id, Int32 v) { SetData(id, GeData(v)); }
    /// A switch: an Int32 (or Float) entry that is non-zero; else def.
    Bool GetBool(Int32 id, Bool def = false) const;
    /// Stores a switch as Int32 0 or 1.
    void SetBool(Int32 id, Bool v) { SetInt32(id, v ? 1 : 0); }
    /// A Vector entry; else def.
    Vector GetVector(Int32 id, const Vector& def = Vector()) const;
    /// Stores a Vector.
    void SetVector(Int32 id, const Vector& v) { SetData(id, GeData(v)); }
    /// A String (or Filename) entry; else def.
    String GetString(Int32 id, const String& def = String()) const;
    /// Stores a String.
    void SetString(Int32 id, const String& v) { SetData(id, GeData(v)); }
    /// A Filename (or String) entry; else def.
    Filename GetFilename(Int32 id, const Filename& def = Filename()) const;
    /// Stores a Filename.
    void SetFilename(Int32 id, const Filename& v) { SetData(id, GeData(v)); }
    /// The linked object or tag, resolved in doc (any document when null);
    /// null when empty, dangling, in another document or not an instance of
    /// instanceOf (0: any type).
    BaseList2D* GetLink(Int32 id, const BaseDocument* doc, Int32 instanceOf = 0) const;
    /// Stores a link to target (null stores an empty link).
    void SetLink(Int32 id, const BaseList2D* target) { SetData(id, GeData::MakeLink(target)); }

    /// Number of entries.
    Int32 GetCount() const { return static_cast<Int32>(values_.size()); }
    /// All entries, ascending by id.
    const std::map<Int32, GeData>& GetEntries() const { return values_; }
    /// Raised by every Set or Remove that changed the contents.
    UInt32 GetDirtyCount() const { return dirty_; }

private:
    std::map<Int32, GeData> values_;
    UInt32 dirty_ = 0;
};
