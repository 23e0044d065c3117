// The force objects, and what all twelve collider, force and constraint
// objects share: defaults, box, execution hook and draw passes.
#include "objects_fixture.h"

#include "drCollideCapsule.h"
#include "drCollideMesh.h"
#include "drCollidePlane.h"
#include "drCollideSelf.h"
#include "drCollideSphere.h"
#include "drDamp.h"
#include "drGravity.h"
#include "drNail.h"
#include "drPin.h"
#include "drSew.h"
#include "drVolume.h"
#include "drWind.h"

namespace {

const Int32 kTypes[] = {ID_DRGRAVITY,       ID_DRDAMP,         ID_DRVOLUME,          ID_DRWIND,
                        ID_DRCOLLIDEPLANE,  ID_DRCOLLIDESPHERE, ID_DRCOLLIDECAPSULE, ID_DRCOLLIDEMESH,
                        ID_DRCOLLIDESELF,   ID_DRNAIL,         ID_DRPIN,             ID_DRSEW};

}  // namespace

using ForceObjects = ObjectsTest;

// Every parameter of the description is in the container after Init with the
// described default and value type, and the other way round.
TEST_F(ForceObjects, InitWritesTheDescribedDefaults) {
    for (Int32 type : kTypes) {
        SCOPED_TRACE(type);
        BaseObject* op = add(type);
        const Description* d = Description::ForType(type);
        ASSERT_NE(d, nullptr) << PluginRegistry::Find(type)->descriptionError;
        const BaseContainer* bc = op->GetDataInstance();
        for (const DescParameter& p : d->GetParameters()) {
            SCOPED_TRACE(p.name);
            ASSERT_TRUE(bc->Has(p.id));
            switch (p.type) {
                case DescValueType::FLOAT:
                    EXPECT_EQ(bc->GetData(p.id).GetType(), DA::REAL);
                    EXPECT_EQ(bc->GetFloat(p.id), p.defaultValue.GetFloat());
                    break;
                case DescValueType::INT32:
                    EXPECT_EQ(bc->GetData(p.id).GetType(), DA::LONG);
                    EXPECT_EQ(bc->GetInt32(p.id), p.defaultValue.GetInt32());
                    break;
                case DescValueType::VECTOR:
                    EXPECT_EQ(bc->GetVector(p.id), p.defaultValue.GetVector());
                    break;
                case DescValueType::LINK:
                    EXPECT_EQ(bc->GetLink(p.id, doc), nullptr);
                    break;
                default:
                    ADD_FAILURE() << "unexpected value type";
            }
        }
        for (const auto& entry : bc->GetEntries()) EXPECT_NE(d->Find(entry.first), nullptr) << entry.first;
        // The embedded force is what the cloth object collects.
        EXPECT_NE(op->GetNodeData<drForce>()->solverForce, nullptr);
    }
}

TEST_F(ForceObjects, InitAlsoWritesTheEmbeddedForce) {
    EXPECT_EQ(force<drSgravity>(add(ID_DRGRAVITY)).gravity, (drSvec3{0.0f, -1.0f, 0.0f}));
    EXPECT_EQ(force<drSdamp>(add(ID_DRDAMP)).damping, 0.01f);
    const drSvolum& volume = force<drSvolum>(add(ID_DRVOLUME));
    EXPECT_EQ(volume.pressure, 0.1f);
    EXPECT_EQ(volume.volumeRatio, 1.0f);
    EXPECT_EQ(volume.normalDamping, 0.001f);
    const drScollidePlane& plane = force<drScollidePlane>(add(ID_DRCOLLIDEPLANE));
    EXPECT_EQ(plane.targetNormal, (drSvec3{0.0f, 1.0f, 0.0f}));
    EXPECT_EQ(plane.friction, 0.1f);
    EXPECT_EQ(force<drScollideSphere>(add(ID_DRCOLLIDESPHERE)).radius, 100.0f);
    EXPECT_EQ(force<drScollideCapsule>(add(ID_DRCOLLIDECAPSULE)).halfLength, 100.0f);
    EXPECT_EQ(force<drScollideMesh>(add(ID_DRCOLLIDEMESH)).friction, 0.2f);
    EXPECT_EQ(force<drSnail>(add(ID_DRNAIL)).stiffness, 0.1f);
    EXPECT_EQ(force<drSpin>(add(ID_DRPIN)).damping, 0.01f);
    EXPECT_EQ(force<drSsew>(add(ID_DRSEW)).damping, 100.0f);
    for (Int32 type : kTypes) {
        BaseObject* op = add(type);
        // solverForce points into the object itself.
        const char* self = reinterpret_cast<const char*>(op->GetNodeData());
        const char* force = reinterpret_cast<const char*>(op->GetNodeData<drForce>()->solverForce);
        EXPECT_GT(force, self) << type;
        EXPECT_LT(force, self + 4096) << type;
    }
}

TEST_F(ForceObjects, BoxAndExecutionHookAreFixed) {
    for (Int32 type : kTypes) {
        SCOPED_TRACE(type);
        BaseObject* op = add(type);
        op->GetDataInstance()->SetFloat(1000, 12345.0);  // no parameter changes the box
        Vector mp(7.0), rad(7.0);
        op->GetNodeData<ObjectData>()->GetDimension(op, &mp, &rad);
        EXPECT_EQ(mp, Vector(0.0, 0.0, 0.0));
        EXPECT_EQ(rad, Vector(100.0, 100.0, 100.0));
        PriorityList list;
        EXPECT_TRUE(op->GetNodeData<ObjectData>()->AddToExecution(op, &list));
        ASSERT_EQ(list.GetEntries().size(), 1u);
        EXPECT_EQ(list.GetEntries()[0].node, op);
        EXPECT_EQ(list.GetEntries()[0].priority, type == ID_DRCOLLIDEMESH ? 4000 : 2000);
        EXPECT_EQ(list.GetEntries()[0].flags, type == ID_DRCOLLIDEMESH ? 270 : 2);
    }
}

// Gravity turned 90 degrees about Z and scaled by 2: the default direction
// (0, -1, 0) follows the object's Y axis; the position plays no part.
TEST_F(ForceObjects, GravityFollowsTheObjectsAxes) {
    BaseObject* op = add(ID_DRGRAVITY);
    op->GetDataInstance()->SetFloat(GRAVITY_STRENGTH, 1.5);
    op->SetMg(Matrix(Vector(5.0, 6.0, 7.0), Vector(0.0, 2.0, 0.0), Vector(-2.0, 0.0, 0.0), Vector(0.0, 0.0, 2.0)));
    ASSERT_TRUE(doc->EvaluateFrame(3));
    EXPECT_EQ(force<drSgravity>(op).gravity, (drSvec3{3.0f, 0.0f, 0.0f}));

    op->GetDataInstance()->SetVector(GRAVITY_DIRECTION, Vector(0.1, 0.2, 0.3));
    op->SetMg(Matrix(Vector(), Vector(0.3, 0.0, 0.0), Vector(0.0, 0.7, 0.0), Vector(0.0, 0.0, 1.1)));
    ASSERT_TRUE(doc->EvaluateFrame(4));
    // Computed in double, rounded once.
    EXPECT_EQ(force<drSgravity>(op).gravity,
              (drSvec3{float(0.3 * 0.1 * 1.5), float(0.7 * 0.2 * 1.5), float(1.1 * 0.3 * 1.5)}));
}

TEST_F(ForceObjects, WindDefaultsOnAnUnrotatedObject) {
    BaseObject* op = add(ID_DRWIND);
    op->SetMg(Matrix(Vector(40.0, 50.0, 60.0), Vector(1.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0)));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drSwind& w = force<drSwind>(op);
    const float s = float(0.1 * 0.0010000000474974513);
    EXPECT_EQ(w.windBase, (drSvec3{s, 0.0f, 0.0f}));
    EXPECT_FLOAT_EQ(w.windBase.x, 0.0001f);
    EXPECT_EQ(w.windVariation, (drSvec3{0.0f, 0.0f, std::sin(20.0f) * s}));
    EXPECT_FLOAT_EQ(w.windVariation.z, float(0.0001 * std::sin(20.0)));
    EXPECT_EQ(w.noisePeriod, 30.0f);
    EXPECT_EQ(w.sideMode, -1);
    EXPECT_EQ(w.strengthVariation, 0.1f);
    EXPECT_EQ(w.seed, 0);
}

TEST_F(ForceObjects, WindBlowsAlongTheObjectsXAxis) {
    BaseObject* op = add(ID_DRWIND);
    BaseContainer* bc = op->GetDataInstance();
    bc->SetFloat(WIND_STRENGTH, 2.0);
    bc->SetFloat(WIND_ANGLE, 0.0);
    bc->SetInt32(WIND_BOTH_SIDES, 1);
    bc->SetInt32(WIND_PERIOD, 7);
    // Turned 90 degrees about Y: X points along -Z, Z along +X.
    op->SetMg(Matrix(Vector(), Vector(0.0, 0.0, -1.0), Vector(0.0, 1.0, 0.0), Vector(1.0, 0.0, 0.0)));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drSwind& w = force<drSwind>(op);
    const float s = float(2.0 * 0.0010000000474974513);
    EXPECT_EQ(w.windBase, (drSvec3{0.0f, 0.0f, -s}));
    EXPECT_EQ(w.windVariation, (drSvec3{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(w.sideMode, 0);
    EXPECT_EQ(w.noisePeriod, 7.0f);
}

TEST_F(ForceObjects, DampAndVolumeCopyTheirParameters) {
    BaseObject* damp = add(ID_DRDAMP);
    BaseObject* volume = add(ID_DRVOLUME);
    damp->GetDataInstance()->SetFloat(DAMP_AMOUNT, 0.25);
    volume->GetDataInstance()->SetFloat(VOLUME_PRESSURE, 2.0);
    volume->GetDataInstance()->SetFloat(VOLUME_RATIO, 1.5);
    volume->GetDataInstance()->SetFloat(VOLUME_DAMPING, 0.125);
    ASSERT_TRUE(doc->EvaluateFrame(1));
    EXPECT_EQ(force<drSdamp>(damp).damping, 0.25f);
    EXPECT_EQ(force<drSvolum>(volume).pressure, 2.0f);
    EXPECT_EQ(force<drSvolum>(volume).volumeRatio, 1.5f);
    EXPECT_EQ(force<drSvolum>(volume).normalDamping, 0.125f);
}

// Guides are drawn in the handle and highlight passes only, in world space.
TEST_F(ForceObjects, GuidesAreDrawnInTheHandleAndHighlightPasses) {
    const Matrix mg(Vector(10.0, 0.0, 0.0), Vector(1.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0));
    const struct {
        Int32 type;
        size_t lines;
    } cases[] = {
        {ID_DRGRAVITY, 1},        {ID_DRDAMP, 0},           {ID_DRVOLUME, 0},       {ID_DRWIND, 2 + 32},
        {ID_DRCOLLIDEPLANE, 5},   {ID_DRCOLLIDESPHERE, 96}, {ID_DRCOLLIDECAPSULE, 4 + 64 + 128},
        {ID_DRCOLLIDEMESH, 0},    {ID_DRCOLLIDESELF, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        BaseDocument* d = BaseDocument::Alloc();
        BaseObject* op = BaseObject::Alloc(c.type);
        d->InsertObject(op);
        op->SetMg(mg);
        BaseDraw bd;
        d->Draw(&bd);
        size_t perPass[4] = {0, 0, 0, 0};
        for (const DrawRecord& r : bd.GetRecords()) {
            ASSERT_EQ(r.kind, DrawRecord::Kind::LINE);
            EXPECT_EQ(r.color, Vector(1.0, 1.0, 1.0));
            ++perPass[r.pass];
        }
        EXPECT_EQ(perPass[0], 0u);
        EXPECT_EQ(perPass[2], c.lines);
        EXPECT_EQ(perPass[3], c.lines);
        BaseDocument::Free(d);
    }
}

TEST_F(ForceObjects, GravityAndWindGuidesPointWhereTheyAct) {
    BaseObject* gravity = add(ID_DRGRAVITY);
    gravity->SetMg(Matrix(Vector(0.0, 5.0, 0.0), Vector(1.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0), Vector(0.0, 0.0, 1.0)));
    BaseObject* wind = add(ID_DRWIND);
    wind->GetDataInstance()->SetFloat(WIND_ANGLE, 0.5);
    BaseDraw bd;
    doc->Draw(&bd);
    std::vector<DrawRecord> g, w;
    for (const DrawRecord& r : bd.GetRecords())
        if (r.pass == 2) (r.object == gravity ? g : w).push_back(r);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].a, Vector(0.0, 5.0, 0.0));
    EXPECT_EQ(g[0].b, Vector(0.0, -95.0, 0.0));
    ASSERT_EQ(w.size(), 34u);
    const Vector upper(100.0 * std::cos(0.5), 0.0, 100.0 * std::sin(0.5));
    const Vector lower(upper.x, 0.0, -upper.z);
    EXPECT_EQ(w[0].b, upper);
    EXPECT_EQ(w[1].b, lower);
    // The arc lies in the XZ plane and joins the ends of the two lines.
    for (size_t k = 2; k < w.size(); ++k) {
        EXPECT_NEAR(w[k].a.y, 0.0, 1e-12);
        EXPECT_NEAR((w[k].a).GetLength(), 100.0, 1e-9);
    }
    EXPECT_NEAR((w[2].a - lower).GetLength(), 0.0, 1e-9);
    EXPECT_NEAR((w.back().b - upper).GetLength(), 0.0, 1e-9);
}
