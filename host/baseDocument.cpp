#include "baseDocument.h"

#include "baseDraw.h"
#include "nodeData.h"
#include "registry.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

namespace {

/// The object's plug-in callbacks, or null for built-in types.
ObjectData* objectData(BaseObject* op) { return dynamic_cast<ObjectData*>(op->GetNodeData()); }

void appendRaw(std::string& s, const void* p, size_t n) { s.append(static_cast<const char*>(p), n); }

void appendMatrix(std::string& s, const Matrix& m) {
    const Float v[12] = {m.off.x, m.off.y, m.off.z, m.v1.x, m.v1.y, m.v1.z,
                         m.v2.x,  m.v2.y,  m.v2.z,  m.v3.x, m.v3.y, m.v3.z};
    appendRaw(s, v, sizeof v);
}

/// What a deform cache depends on: the input's data, world matrix and name,
/// and every deformer's identity, data and world matrix.
std::string deformSignature(const BaseObject* op, const std::vector<BaseObject*>& deformers) {
    std::string s;
    const UInt32 dirty = op->GetDirty(DIRTYFLAGS::DATA);
    appendRaw(s, &dirty, sizeof dirty);
    appendMatrix(s, op->GetMg());
    const std::string& name = op->GetName().GetStd();
    const UInt64 len = name.size();
    appendRaw(s, &len, sizeof len);
    s += name;
    for (const BaseObject* d : deformers) {
        const Int64 handle = d->GetLinkHandle();
        const UInt32 ddirty = d->GetDirty(DIRTYFLAGS::DATA);
        appendRaw(s, &handle, sizeof handle);
        appendRaw(s, &ddirty, sizeof ddirty);
        appendMatrix(s, d->GetMg());
    }
    return s;
}

std::string describe(const BaseObject* op) {
    return "object \"" + op->GetName().GetStd() + "\" (type " + std::to_string(op->GetType()) + ")";
}

}  // namespace

BaseDocument* BaseDocument::Alloc() { return new BaseDocument(); }

void BaseDocument::Free(BaseDocument*& doc) {
    delete doc;
    doc = nullptr;
}

BaseDocument::~BaseDocument() {
    while (first_ != nullptr) {
        BaseObject* op = first_;
        BaseObject::Free(op);
    }
}

void BaseDocument::InsertObject(BaseObject* op, BaseObject* parent, BaseObject* pred) {
    if (op == nullptr) return;
    if (pred != nullptr && pred != op && pred->GetUp() == parent && pred->GetDocument() == this) {
        op->InsertAfter(pred);
        return;
    }
    if (parent != nullptr) {
        op->InsertUnderLast(parent);
        return;
    }
    op->Detach();
    BaseObject* last = first_;
    while (last != nullptr && last->next_ != nullptr) last = last->next_;
    if (last != nullptr) {
        op->InsertAfter(last);
    } else {
        op->doc_ = this;
        first_ = op;
    }
}

std::vector<BaseObject*> BaseDocument::GetObjectsDepthFirst() const {
    std::vector<BaseObject*> out;
    // Iterative walk: child first, then next sibling, then up.
    BaseObject* op = first_;
    while (op != nullptr) {
        out.push_back(op);
        if (op->GetDown() != nullptr) {
            op = op->GetDown();
            continue;
        }
        while (op != nullptr && op->GetNext() == nullptr) op = op->GetUp();
        if (op != nullptr) op = op->GetNext();
    }
    return out;
}

BaseObject* BaseDocument::SearchObject(const String& path) const {
    const std::string& text = path.GetStd();
    if (text.find('/') == std::string::npos) {
        for (BaseObject* op : GetObjectsDepthFirst())
            if (op->GetName().GetStd() == text) return op;
        return nullptr;
    }
    BaseObject* level = first_;
    BaseObject* found = nullptr;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t slash = text.find('/', start);
        const std::string part = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        found = nullptr;
        for (BaseObject* op = level; op != nullptr; op = op->GetNext())
            if (op->GetName().GetStd() == part) { found = op; break; }
        if (found == nullptr || slash == std::string::npos) return found;
        level = found->GetDown();
        start = slash + 1;
    }
    return found;
}

Bool BaseDocument::EvaluateFrame(Int32 frame) {
    SetTime(BaseTime(static_cast<Float>(frame), static_cast<Float>(fps_)));
    return ExecutePasses();
}

Bool BaseDocument::ExecutePasses(BaseThread* bt, Bool animation, Bool expressions, Bool caches) {
    BaseThread defaultThread;
    if (bt == nullptr) bt = &defaultThread;
    Bool ok = true;
    lastRebuilds_ = 0;
    const std::vector<BaseObject*> objects = GetObjectsDepthFirst();

    // Animation, before any callback.
    if (animation) {
        const Float frame = time_.Get() * static_cast<Float>(fps_);
        for (BaseObject* op : objects)
            if (!op->GetAnimation().IsEmpty()) op->GetAnimation().Apply(op, frame);
    }

    // Execution by priority; ties keep tree order.
    if (expressions) {
        std::unordered_map<const GeListNode*, size_t> treeIndex;
        for (size_t i = 0; i < objects.size(); ++i) treeIndex.emplace(objects[i], i);
        PriorityList list;
        for (BaseObject* op : objects) {
            ObjectData* od = objectData(op);
            if (od == nullptr) continue;
            try {
                od->AddToExecution(op, &list);
            } catch (...) {
                HostReportError("AddToExecution of " + describe(op) + " threw");
                ok = false;
            }
        }
        std::vector<PriorityList::Entry> entries;
        for (const PriorityList::Entry& e : list.GetEntries())
            if (treeIndex.count(e.node) != 0) entries.push_back(e);
        std::stable_sort(entries.begin(), entries.end(), [&](const PriorityList::Entry& a, const PriorityList::Entry& b) {
            if (a.priority != b.priority) return a.priority < b.priority;
            return treeIndex[a.node] < treeIndex[b.node];
        });
        for (const PriorityList::Entry& e : entries) {
            BaseObject* op = static_cast<BaseObject*>(const_cast<GeListNode*>(e.node));
            ObjectData* od = objectData(op);
            if (od == nullptr) continue;
            try {
                if (od->Execute(op, this, bt, e.priority, static_cast<EXECUTIONFLAGS>(e.flags)) != EXECUTIONRESULT::OK)
                    ok = false;
            } catch (...) {
                HostReportError("Execute of " + describe(op) + " threw");
                ok = false;
            }
        }
    }

    // Deformation, depth first in tree order.
    if (caches) {
        for (BaseObject* op : objects) {
            if (!op->IsInstanceOf(Opoint)) continue;
            std::vector<BaseObject*> deformers;
            for (BaseObject* c = op->GetDown(); c != nullptr; c = c->GetNext()) {
                const RegisteredType* rt = PluginRegistry::Find(c->GetType());
                if (rt != nullptr && (rt->info & OBJECT_MODIFIER) && c->GetDeformMode() && objectData(c) != nullptr)
                    deformers.push_back(c);
            }
            if (deformers.empty()) {
                op->deformCache_.reset();
                op->deformSignature_.clear();
                continue;
            }
            for (BaseObject* d : deformers) {
                try {
                    objectData(d)->CheckDirty(d, this);
                } catch (...) {
                    HostReportError("CheckDirty of " + describe(d) + " threw");
                    ok = false;
                }
            }
            std::string signature = deformSignature(op, deformers);
            if (op->deformCache_ != nullptr && signature == op->deformSignature_) continue;

            // A fresh copy of the object's own data, deformed in child order.
            BaseObject* copy = op->GetClone();
            if (copy == nullptr) continue;
            copy->uniqueIP_ = op->uniqueIP_;
            copy->guid_ = op->guid_;
            copy->cacheSource_ = op;
            copy->doc_ = this;
            const Matrix worldFromObject = op->GetMg();
            for (BaseObject* d : deformers) {
                try {
                    if (!objectData(d)->ModifyObject(d, this, copy, worldFromObject, d->GetMg(), 1.0, 0, bt)) ok = false;
                } catch (...) {
                    HostReportError("ModifyObject of " + describe(d) + " threw");
                    ok = false;
                }
            }
            op->deformCache_.reset(copy);
            op->deformSignature_ = std::move(signature);
            ++lastRebuilds_;
        }
    }
    return ok;
}

void BaseDocument::Draw(BaseDraw* bd) {
    if (bd == nullptr) return;
    const std::vector<BaseObject*> objects = GetObjectsDepthFirst();
    for (const DRAWPASS pass : {DRAWPASS::OBJECT, DRAWPASS::HANDLES, DRAWPASS::HIGHLIGHTS}) {
        for (BaseObject* op : objects) {
            ObjectData* od = objectData(op);
            if (od == nullptr) continue;
            bd->BeginObject(op, pass);
            BaseDrawHelp bh(op->GetMg());
            try {
                od->Draw(op, pass, bd, &bh);
            } catch (...) {
                HostReportError("Draw of " + describe(op) + " threw");
            }
        }
    }
}
