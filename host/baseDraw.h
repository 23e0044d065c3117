// Recording viewport: what objects draw, kept in world space.
#pragma once

#include "matrix.h"

#include <vector>

class BaseObject;

/// One recorded drawing element, in world coordinates.
struct DrawRecord {
    enum class Kind { LINE, HANDLE };
    Kind kind = Kind::LINE;
    Vector a;                    ///< line start, or handle position
    Vector b;                    ///< line end (equals a for a handle)
    Vector color{1.0, 1.0, 1.0}; ///< pen colour at the time of drawing
    Int32 flags = 0;             ///< flags of the drawing call
    Int32 handleType = 0;        ///< DRAWHANDLE value of a handle
    Int32 pass = 0;              ///< DRAWPASS value during which it was drawn
    const BaseObject* object = nullptr;  ///< the object being drawn (or the
                                         ///< op of SetMatrix_Matrix outside
                                         ///< a document draw)
};

/// A viewport that records lines and handles instead of showing them.
/// Coordinates of drawing calls are in the space of the drawing matrix and
/// are recorded transformed to world space. Arcs are recorded as their line
/// segments.
class BaseDraw {
public:
    /// Sets the drawing matrix (points are given in its space). op is the
    /// object the drawing belongs to; null keeps the current one.
    void SetMatrix_Matrix(BaseObject* op, const Matrix& mg);
    /// The drawing matrix.
    const Matrix& GetMatrix() const { return matrix_; }
    /// Sets the pen colour (components 0..1); flags are ignored.
    void SetPen(const Vector& color, Int32 flags = 0);
    /// Records the line a-b.
    void DrawLine(const Vector& a, const Vector& b, Int32 flags = 0);
    /// Records an arc of the circle around centre with this radius in the
    /// drawing matrix's XY plane, from startAngle to endAngle (radians,
    /// angle 0 on +X, increasing toward +Y), as `subdiv` line segments
    /// (subdiv < 1 is taken as 1).
    void DrawArc(const Vector& centre, Float radius, Float startAngle, Float endAngle, Int32 subdiv = 32,
                 Int32 flags = 0);
    /// Records a handle at p.
    void DrawHandle(const Vector& p, DRAWHANDLE type, Int32 flags = 0);
    /// Records a handle at p with an integer handle type.
    void DrawHandle(const Vector& p, Int32 type, Int32 flags = 0) {
        DrawHandle(p, static_cast<DRAWHANDLE>(type), flags);
    }

    /// Everything recorded, in drawing order.
    const std::vector<DrawRecord>& GetRecords() const { return records_; }
    /// Forgets the records (matrix and pen stay).
    void ClearRecords() { records_.clear(); }
    /// Sets the object and pass stamped on the following records, resets the
    /// matrix to the identity and the pen to white (used by the document).
    void BeginObject(const BaseObject* op, DRAWPASS pass);

private:
    Matrix matrix_;
    Vector color_{1.0, 1.0, 1.0};
    const BaseObject* object_ = nullptr;
    Int32 pass_ = 0;
    std::vector<DrawRecord> records_;
};

/// Drawing context of one object: its world matrix.
class BaseDrawHelp {
public:
    /// The context for an object with world matrix mg.
    explicit BaseDrawHelp(const Matrix& mg) : mg_(mg) {}
    /// The drawn object's world matrix.
    const Matrix& GetMg() const { return mg_; }

private:
    Matrix mg_;
};
