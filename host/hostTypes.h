// Basic types, type ids, message ids and flag values of the host.
//
// The host is a headless stand-in for the 3D application that the plug-in
// module is written for: it keeps documents, objects and tags, loads plug-in
// modules, evaluates frames and records what objects draw.
#pragma once

#include <cstdint>

/// Double-precision scalar of the host.
using Float = double;
/// Single-precision scalar (vertex map weights).
using Float32 = float;
/// Double-precision scalar, by its explicit name.
using Float64 = double;
/// Signed 32-bit integer.
using Int32 = int32_t;
/// Signed 64-bit integer.
using Int64 = int64_t;
/// Unsigned 32-bit integer.
using UInt32 = uint32_t;
/// Unsigned 64-bit integer.
using UInt64 = uint64_t;
/// Boolean.
using Bool = bool;
/// Character of 8-bit texts.
using Char = char;

/// "Not found" index (no neighbouring polygon, no such element).
constexpr Int32 NOTOK = -1;

// Built-in object and tag type ids.
/// Any object (every object is an instance of it).
constexpr Int32 Obase = 5155;
/// Null object: no geometry, a transform and children only.
constexpr Int32 Onull = 5140;
/// Polygon object (also a point object).
constexpr Int32 Opolygon = 5100;
/// Point object: any object with points.
constexpr Int32 Opoint = 5156;
/// Any tag (every tag is an instance of it).
constexpr Int32 Tbase = 5612;
/// Point array of a point object.
constexpr Int32 Tpoint = 5600;
/// Polygon array of a polygon object.
constexpr Int32 Tpolygon = 5604;
/// Point selection tag (SelectionTag).
constexpr Int32 Tpointselection = 5674;
/// Vertex map tag: one Float32 weight per point (VariableTag).
constexpr Int32 Tvertexmap = 5682;

// Message ids.
/// The object's points or data changed (sent by whoever changed them).
constexpr Int32 MSG_UPDATE = 5;
/// Rewind request: the receiver may set its document's time to 0.
constexpr Int32 MSG_DOCUMENT_REWIND = 13;
/// A button parameter was pressed; data is a DescriptionCommand*.
constexpr Int32 MSG_DESCRIPTION_COMMAND = 18;
/// The object was just created as from the menu (the scene loader sends it).
constexpr Int32 MSG_MENUPREPARE = 22;

// Registration info flags (passed through RegisterObjectPlugin).
/// The type is a deformer: the host calls its ModifyObject for its parent.
constexpr Int32 OBJECT_MODIFIER = 0x0001;
/// Flags of the helper object types (no geometry; executed by priority).
constexpr Int32 OBJECT_HELPER = 0x8002;

/// Dirty categories of an object. DATA is what SetDirty marks.
enum class DIRTYFLAGS : Int32 {
    NONE = 0,
    MATRIX = 2,   ///< the local matrix changed
    DATA = 4,     ///< parameters, points or any other data changed
};

/// Draw passes in which the host calls ObjectData::Draw, in this order.
enum class DRAWPASS : Int32 {
    OBJECT = 0,
    HANDLES = 2,
    HIGHLIGHTS = 3,
};

/// Result of ObjectData::Draw.
enum class DRAWRESULT : Int32 {
    ERROR_ = 0,
    OK = 1,
    SKIP = 2,
};

/// Result of ObjectData::Execute.
enum class EXECUTIONRESULT : Int32 {
    OK = 0,
    USERBREAK = 1,
    OUTOFMEMORY = 2,
};

/// Execution flags. The host passes the values it is given (2, 270, ...)
/// through unchanged; construct other values with EXECUTIONFLAGS(n).
enum class EXECUTIONFLAGS : Int32 {
    NONE = 0,
    ANIMATION = 2,
};

/// Encodings of String::GetCString.
enum class STRINGENCODING : Int32 {
    XBIT = 0,   ///< UTF-8 as stored
    UTF8 = 1,   ///< UTF-8 as stored
    BIT7HEX = 2 ///< 7-bit ASCII; other characters as hexadecimal escapes
};

/// Flags of NodeData::GetDEnabling (unused by this host; always NONE).
enum class DESCFLAGS_ENABLE : Int32 { NONE = 0 };

/// Handle kinds of BaseDraw::DrawHandle (values pass through).
enum class DRAWHANDLE : Int32 {
    MINI = 0,
    SMALL = 1,
    MIDDLE = 2,
    BIG = 3,
};
