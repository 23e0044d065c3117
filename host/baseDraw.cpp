#include "baseDraw.h"

#include <cmath>

void BaseDraw::SetMatrix_Matrix(BaseObject* op, const Matrix& mg) {
    if (op != nullptr) object_ = op;
    matrix_ = mg;
}

void BaseDraw::SetPen(const Vector& color, Int32 flags) {
    (void)flags;
    color_ = color;
}

void BaseDraw::DrawLine(const Vector& a, const Vector& b, Int32 flags) {
    DrawRecord r;
    r.kind = DrawRecord::Kind::LINE;
    r.a = matrix_ * a;
    r.b = matrix_ * b;
    r.color = color_;
    r.flags = flags;
    r.pass = pass_;
    r.object = object_;
    records_.push_back(r);
}

void BaseDraw::DrawArc(const Vector& centre, Float radius, Float startAngle, Float endAngle, Int32 subdiv,
                       Int32 flags) {
    if (subdiv < 1) subdiv = 1;
    const auto at = [&](Int32 i) {
        const Float w = startAngle + (endAngle - startAngle) * static_cast<Float>(i) / static_cast<Float>(subdiv);
        return centre + Vector(radius * std::cos(w), radius * std::sin(w), 0.0);
    };
    Vector prev = at(0);
    for (Int32 i = 1; i <= subdiv; ++i) {
        const Vector next = at(i);
        DrawLine(prev, next, flags);
        prev = next;
    }
}

void BaseDraw::DrawHandle(const Vector& p, DRAWHANDLE type, Int32 flags) {
    DrawRecord r;
    r.kind = DrawRecord::Kind::HANDLE;
    r.a = r.b = matrix_ * p;
    r.color = color_;
    r.flags = flags;
    r.handleType = static_cast<Int32>(type);
    r.pass = pass_;
    r.object = object_;
    records_.push_back(r);
}

void BaseDraw::BeginObject(const BaseObject* op, DRAWPASS pass) {
    object_ = op;
    pass_ = static_cast<Int32>(pass);
    matrix_ = Matrix();
    color_ = Vector(1.0, 1.0, 1.0);
}
