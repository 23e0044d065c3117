#include "baseContainer.h"

#include "baseList2D.h"

#include <cmath>

GeData GeData::MakeLink(const BaseList2D* target) {
    GeData d;
    d.value_ = Link{target ? target->GetLinkHandle() : 0};
    return d;
}

DA GeData::GetType() const {
    switch (value_.index()) {
        case 1: return DA::LONG;
        case 2: return DA::REAL;
        case 3: return DA::VECTOR;
        case 4: return DA::STRING;
        case 5: return DA::FILENAME;
        case 6: return DA::ALIASLINK;
        default: return DA::NIL;
    }
}

Float GeData::GetFloat() const {
    if (const Int32* i = std::get_if<Int32>(&value_)) return static_cast<Float>(*i);
    if (const Float* f = std::get_if<Float>(&value_)) return *f;
    return 0.0;
}

Int32 GeData::GetInt32() const {
    if (const Int32* i = std::get_if<Int32>(&value_)) return *i;
    if (const Float* f = std::get_if<Float>(&value_)) {
        // Out-of-range and NaN floats would be undefined to convert.
        if (!(std::fabs(*f) < 2147483648.0)) return 0;
        return static_cast<Int32>(*f);
    }
    return 0;
}

Vector GeData::GetVector() const {
    if (const Vector* v = std::get_if<Vector>(&value_)) return *v;
    return Vector();
}

String GeData::GetString() const {
    if (const String* s = std::get_if<String>(&value_)) return *s;
    if (const Filename* f = std::get_if<Filename>(&value_)) return f->GetString();
    return String();
}

Filename GeData::GetFilename() const {
    if (const Filename* f = std::get_if<Filename>(&value_)) return *f;
    if (const String* s = std::get_if<String>(&value_)) return Filename(*s);
    return Filename();
}

BaseList2D* GeData::GetLink(const BaseDocument* doc, Int32 instanceOf) const {
    const Link* link = std::get_if<Link>(&value_);
    if (link == nullptr || link->handle == 0) return nullptr;
    BaseList2D* node = BaseList2D::FindByLinkHandle(link->handle);
    if (node == nullptr) return nullptr;
    if (doc != nullptr && node->GetDocument() != doc) return nullptr;
    if (instanceOf != 0 && !node->IsInstanceOf(instanceOf)) return nullptr;
    return node;
}

const GeData* BaseContainer::GetDataPointer(Int32 id) const {
    const auto it = values_.find(id);
    return it == values_.end() ? nullptr : &it->second;
}

GeData BaseContainer::GetData(Int32 id) const {
    const GeData* d = GetDataPointer(id);
    return d ? *d : GeData();
}

void BaseContainer::SetData(Int32 id, const GeData& value) {
    auto it = values_.find(id);
    if (it != values_.end()) {
        if (it->second == value) return;
        it->second = value;
    } else {
        values_.emplace(id, value);
    }
    ++dirty_;
}

Bool BaseContainer::RemoveData(Int32 id) {
    if (values_.erase(id) == 0) return false;
    ++dirty_;
    return true;
}

Float BaseContainer::GetFloat(Int32 id, Float def) const {
    const GeData* d = GetDataPointer(id);
    if (d == nullptr || (d->GetType() != DA::REAL && d->GetType() != DA::LONG)) return def;
    return d->GetFloat();
}

Int32 BaseContainer::GetInt32(Int32 id, Int32 def) const {
    const GeData* d = GetDataPointer(id);
    if (d == nullptr || (d->GetType() != DA::REAL && d->GetType() != DA::LONG)) return def;
    return d->GetInt32();
}

Bool BaseContainer::GetBool(Int32 id, Bool def) const {
    const GeData* d = GetDataPointer(id);
    if (d == nullptr || (d->GetType() != DA::REAL && d->GetType() != DA::LONG)) return def;
    return d->GetFloat() != 0.0;
}

Vector BaseContainer::GetVector(Int32 id, const Vector& def) const {
    const GeData* d = GetDataPointer(id);
    return d && d->GetType() == DA::VECTOR ? d->GetVector() : def;
}

String BaseContainer::GetString(Int32 id, const String& def) const {
    const GeData* d = GetDataPointer(id);
    return d && (d->GetType() == DA::STRING || d->GetType() == DA::FILENAME) ? d->GetString() : def;
}

Filename BaseContainer::GetFilename(Int32 id, const Filename& def) const {
    const GeData* d = GetDataPointer(id);
    return d && (d->GetType() == DA::STRING || d->GetType() == DA::FILENAME) ? d->GetFilename() : def;
}

BaseList2D* BaseContainer::GetLink(Int32 id, const BaseDocument* doc, Int32 instanceOf) const {
    const GeData* d = GetDataPointer(id);
    return d ? d->GetLink(doc, instanceOf) : nullptr;
}
