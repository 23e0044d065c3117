// The objects at work under a cloth object: nailed, pinned and colliding
// cloths over a few dozen frames.
#include "objects_fixture.h"

#include "drCollideMesh.h"
#include "drCollideSphere.h"
#include "drNail.h"
#include "drPin.h"

class ObjectScenes : public ObjectsTest {
protected:
    /// An n x n sheet of the given spacing centred on x = z = 0 at height y,
    /// with a cloth object under it and gravity under the cloth.
    void sheet(Int32 n, Float spacing, Float y) {
        input = grid(n, n, spacing, y);
        input->SetMg(Matrix(Vector(-(n - 1) * spacing / 2, 0.0, -(n - 1) * spacing / 2), Vector(1, 0, 0),
                            Vector(0, 1, 0), Vector(0, 0, 1)));
        clothObject = cloth(input);
        add(ID_DRGRAVITY, clothObject)->GetDataInstance()->SetFloat(1001, 0.5);
    }
    void run(Int32 last) {
        for (Int32 f = 0; f <= last; ++f) ASSERT_TRUE(doc->EvaluateFrame(f)) << f;
    }
    PolygonObject* input = nullptr;
    BaseObject* clothObject = nullptr;
};

TEST_F(ObjectScenes, HardNailedPointsStayExactlyOnTheirTargets) {
    sheet(6, 4.0, 10.0);
    BaseObject* nail = add(ID_DRNAIL, clothObject);
    nail->GetDataInstance()->SetLink(NAIL_POINTS, selection(input, {{0, 5}}));
    run(15);
    const std::vector<Vector> now = worldPoints(input);
    const drSnail& c = force<drSnail>(nail);
    ASSERT_EQ(c.count, 6);
    for (Int32 i = 0; i < 6; ++i) {
        EXPECT_EQ(float(now[i].x), c.targets[i].x);
        EXPECT_EQ(float(now[i].y), c.targets[i].y);
        EXPECT_EQ(float(now[i].z), c.targets[i].z);
        EXPECT_EQ(c.targets[i].y, 10.0f);
    }
    EXPECT_LT(now[35].y, 0.0);  // the free edge hangs down
}

TEST_F(ObjectScenes, SheetComesToRestOnAPlane) {
    sheet(6, 4.0, 12.0);
    add(ID_DRCOLLIDEPLANE, clothObject);
    run(60);
    const std::vector<Vector> now = worldPoints(input);
    for (const Vector& p : now) {
        EXPECT_GT(p.y, -0.05);
        EXPECT_LT(p.y, 2.0);
    }
}

TEST_F(ObjectScenes, SheetRestsOnAMeshAtTheOffsetAboveIt) {
    // A ground mesh at y = 0 whose faces point up, and a sheet falling on it:
    // the cloth comes to rest on the surface pushed out by the offset.
    sheet(6, 4.0, 12.0);
    PolygonObject* ground = grid(5, 5, 20.0, 0.0);
    ground->SetMg(Matrix(Vector(-40.0, 0.0, -40.0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1)));
    BaseObject* mesh = add(ID_DRCOLLIDEMESH, clothObject);
    mesh->GetDataInstance()->SetLink(MESH_OBJECT, ground);
    mesh->GetDataInstance()->SetFloat(MESH_OFFSET, 4.0);
    run(60);
    for (const Vector& p : worldPoints(input)) {
        EXPECT_GT(p.y, 3.5);
        EXPECT_LT(p.y, 5.0);
    }
}

TEST_F(ObjectScenes, SheetDrapesOverASphereWithoutPassingThrough) {
    sheet(9, 4.0, 14.0);
    BaseObject* sphere = add(ID_DRCOLLIDESPHERE, clothObject);
    sphere->GetDataInstance()->SetFloat(SPHERE_RADIUS, 10.0);
    sphere->SetMg(Matrix());  // children inherit the sheet's offset: put it back at the origin
    run(60);
    const std::vector<Vector> now = worldPoints(input);
    Float top = -1e9;
    for (const Vector& p : now) {
        EXPECT_GT(p.GetLength(), 10.0 - 0.05);
        top = std::max(top, p.y);
    }
    EXPECT_LT(top, 12.0);                  // it came down
    EXPECT_GT(now[40].y, 10.0 - 0.05);     // and the middle rests on top
}

TEST_F(ObjectScenes, PinnedPointsFollowAMovingTarget) {
    sheet(5, 4.0, 0.0);
    PolygonObject* target = grid(2, 2, 40.0, -2.0);
    const Matrix start(Vector(-20.0, 0.0, -20.0), Vector(1, 0, 0), Vector(0, 1, 0), Vector(0, 0, 1));
    target->SetMg(start);
    BaseObject* pin = add(ID_DRPIN, clothObject);
    pin->GetDataInstance()->SetLink(PIN_POINTS, selection(input, {{0, 4}}));
    pin->GetDataInstance()->SetLink(PIN_TARGET, target);
    const std::vector<Vector> rest = worldPoints(input);
    for (Int32 f = 0; f <= 20; ++f) {
        Matrix m = start;
        m.off += Vector(0.5 * f, 0.25 * f, 0.0);
        target->SetMg(m);
        ASSERT_TRUE(doc->EvaluateFrame(f));
        const std::vector<Vector> now = worldPoints(input);
        for (Int32 i = 0; i < 5; ++i) {
            EXPECT_NEAR(now[i].x, rest[i].x + 0.5 * f, 1e-3) << f;
            EXPECT_NEAR(now[i].y, rest[i].y + 0.25 * f, 1e-3) << f;
            EXPECT_NEAR(now[i].z, rest[i].z, 1e-3) << f;
        }
    }
    EXPECT_LT(worldPoints(input)[24].y, -5.0);  // the rest of the sheet falls
}

TEST_F(ObjectScenes, ObjectsOutsideTheClothAffectNothing) {
    input = grid(4, 4, 5.0, 3.0);
    clothObject = cloth(input);
    add(ID_DRGRAVITY);                                  // top level
    add(ID_DRGRAVITY, add(Onull, clothObject));         // nested one level too deep
    run(10);
    const std::vector<Vector> now = worldPoints(input);
    for (Int32 i = 0; i < 16; ++i) EXPECT_NEAR(now[i].y, 3.0, 1e-6) << i;
}
