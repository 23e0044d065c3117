// A document with the plug-in loaded, and small scenes for the tests of the
// collider, force and constraint objects.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "drForce.h"
#include "drRegistry.h"
#include "drSvec.h"
#include "host.h"
#include "pool.h"

class ObjectsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        poolSetProcessorCount(2);
        host_ = new PluginHost;
        loaded_ = host_->LoadFolder(DRAPEON_PLUGIN_FOLDER);
    }
    static void TearDownTestSuite() {
        delete host_;
        host_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(loaded_) << ::testing::PrintToString(host_->GetErrors());
        doc = BaseDocument::Alloc();
    }
    void TearDown() override { BaseDocument::Free(doc); }

    /// A new object of `type` under parent (top level when null).
    BaseObject* add(Int32 type, BaseObject* parent = nullptr) {
        BaseObject* op = BaseObject::Alloc(type);
        EXPECT_NE(op, nullptr) << "type " << type;
        if (op) doc->InsertObject(op, parent);
        return op;
    }

    /// A flat nx x nz quad grid in the XZ plane at height y: point (i, j) at
    /// index j * nx + i, position (i * spacing, y, j * spacing); polygon
    /// corners (p(i,j), p(i,j+1), p(i+1,j+1), p(i+1,j)), facing +Y.
    PolygonObject* grid(Int32 nx, Int32 nz, Float spacing = 1.0, Float y = 0.0, BaseObject* parent = nullptr) {
        PolygonObject* g = PolygonObject::Alloc(nx * nz, (nx - 1) * (nz - 1));
        Vector* p = g->GetPointW();
        for (Int32 j = 0; j < nz; ++j)
            for (Int32 i = 0; i < nx; ++i) p[j * nx + i] = Vector(i * spacing, y, j * spacing);
        CPolygon* poly = g->GetPolygonW();
        Int32 k = 0;
        for (Int32 j = 0; j + 1 < nz; ++j)
            for (Int32 i = 0; i + 1 < nx; ++i)
                poly[k++] = CPolygon(j * nx + i, (j + 1) * nx + i, (j + 1) * nx + i + 1, j * nx + i + 1);
        doc->InsertObject(g, parent);
        return g;
    }

    /// A cloth object (deformer switched on) under input.
    BaseObject* cloth(BaseObject* input) {
        BaseObject* c = add(ID_DRAPEON, input);
        if (c) c->SetDeformMode(true);
        return c;
    }

    /// A point selection tag on op holding the inclusive ranges given.
    SelectionTag* selection(BaseObject* op, std::initializer_list<std::pair<Int32, Int32>> ranges) {
        auto* tag = static_cast<SelectionTag*>(op->MakeTag(Tpointselection));
        for (const auto& r : ranges) tag->GetBaseSelect()->SelectRange(r.first, r.second);
        return tag;
    }

    /// The solver force an object hands to the cloth, as its solver class.
    /// Reached through the common base: the objects' own classes live in
    /// the loaded module.
    template <class T>
    static T& force(BaseObject* op) {
        return *static_cast<T*>(op->GetNodeData<drForce>()->solverForce);
    }

    BaseDocument* doc = nullptr;

private:
    static inline PluginHost* host_ = nullptr;
    static inline bool loaded_ = false;
};

/// The world-space points of op as last evaluated (its deform cache when it
/// has one).
inline std::vector<Vector> worldPoints(BaseObject* op) {
    BaseObject* shape = op->GetDeformCache() ? op->GetDeformCache() : op;
    const PointObject* p = ToPoint(shape);
    const Matrix mg = shape->GetMg();
    std::vector<Vector> out;
    for (Int32 i = 0; i < p->GetPointCount(); ++i) out.push_back(mg * p->GetPointR()[i]);
    return out;
}

inline Vector toHost(const drSvec3& v) { return Vector(v.x, v.y, v.z); }
