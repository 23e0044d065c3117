// The collider objects: placement handed to the solver colliders, and the
// triangle trees of the mesh and self-collision objects.
#include "objects_fixture.h"

#include "drCollideCapsule.h"
#include "drCollideMesh.h"
#include "drCollidePlane.h"
#include "drCollideSelf.h"
#include "drCollideSphere.h"

using ColliderObjects = ObjectsTest;

TEST_F(ColliderObjects, PlaneNormalKeepsTheObjectsYScale) {
    BaseObject* op = add(ID_DRCOLLIDEPLANE);
    BaseContainer* bc = op->GetDataInstance();
    bc->SetFloat(PLANE_FRICTION, 0.5);
    bc->SetFloat(PLANE_DAMPING, 0.25);
    bc->SetFloat(PLANE_THICKNESS, 3.0);
    op->SetMg(Matrix(Vector(1.0, -2.0, 3.0), Vector(1.0, 0.0, 0.0), Vector(0.0, 2.0, 0.0), Vector(0.0, 0.0, 1.0)));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drScollidePlane& c = force<drScollidePlane>(op);
    EXPECT_EQ(c.targetPoint, (drSvec3{1.0f, -2.0f, 3.0f}));
    EXPECT_EQ(c.targetNormal, (drSvec3{0.0f, 2.0f, 0.0f}));
    EXPECT_EQ(c.friction, 0.5f);
    EXPECT_EQ(c.damping, 0.25f);
    EXPECT_EQ(c.thickness, 3.0f);
}

TEST_F(ColliderObjects, SphereRadiusIsNotScaled) {
    BaseObject* op = add(ID_DRCOLLIDESPHERE);
    op->GetDataInstance()->SetFloat(SPHERE_RADIUS, 25.0);
    op->GetDataInstance()->SetFloat(SPHERE_THICKNESS, 0.5);
    op->SetMg(Matrix(Vector(4.0, 5.0, 6.0), Vector(3.0, 0.0, 0.0), Vector(0.0, 3.0, 0.0), Vector(0.0, 0.0, 3.0)));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drScollideSphere& c = force<drScollideSphere>(op);
    EXPECT_EQ(c.radius, 25.0f);
    EXPECT_EQ(c.thickness, 0.5f);
    EXPECT_EQ(c.targetCentre, (drSvec3{4.0f, 5.0f, 6.0f}));
}

// Turned 90 degrees about X, the capsule's axis (its Z) lies along world Y,
// and worldToLocal takes world points back into the capsule's frame.
TEST_F(ColliderObjects, CapsuleRotatedAboutXStandsUp) {
    BaseObject* op = add(ID_DRCOLLIDECAPSULE);
    op->GetDataInstance()->SetFloat(CAPSULE_HALF_LENGTH, 30.0);
    op->GetDataInstance()->SetFloat(CAPSULE_RADIUS, 7.0);
    op->SetMg(Matrix(Vector(10.0, 20.0, 30.0), Vector(1.0, 0.0, 0.0), Vector(0.0, 0.0, 1.0), Vector(0.0, -1.0, 0.0)));
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drScollideCapsule& c = force<drScollideCapsule>(op);
    const float l2w[3][4] = {{1, 0, 0, 10}, {0, 0, -1, 20}, {0, 1, 0, 30}};
    const float w2l[3][4] = {{1, 0, 0, -10}, {0, 0, 1, -30}, {0, -1, 0, 20}};
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(c.localToWorld[r][k], l2w[r][k]) << r << "," << k;
            EXPECT_EQ(c.worldToLocal[r][k], w2l[r][k]) << r << "," << k;
        }
    EXPECT_EQ(c.halfLength, 30.0f);
    EXPECT_EQ(c.radius, 7.0f);
    // A point 25 below the centre on world Y is on the axis at local z = 25.
    const float p[3] = {10.0f, -5.0f, 30.0f};
    float local[3];
    for (int r = 0; r < 3; ++r)
        local[r] = c.worldToLocal[r][0] * p[0] + c.worldToLocal[r][1] * p[1] + c.worldToLocal[r][2] * p[2] +
                   c.worldToLocal[r][3];
    EXPECT_EQ(local[0], 0.0f);
    EXPECT_EQ(local[1], 0.0f);
    EXPECT_EQ(local[2], 25.0f);
}

TEST_F(ColliderObjects, MeshHandsItsPushedOutSurfaceToATree) {
    PolygonObject* surface = grid(3, 3, 10.0);
    // Scaled by 2: the offset along the normals scales with it.
    surface->SetMg(Matrix(Vector(0.0, 100.0, 0.0), Vector(2.0, 0.0, 0.0), Vector(0.0, 2.0, 0.0), Vector(0.0, 0.0, 2.0)));
    BaseObject* op = add(ID_DRCOLLIDEMESH);
    BaseContainer* bc = op->GetDataInstance();
    bc->SetLink(MESH_OBJECT, surface);
    bc->SetFloat(MESH_FRICTION, 0.3);
    bc->SetFloat(MESH_STICK, 0.05);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drScollideMesh& mesh = force<drScollideMesh>(op);
    const drStriangleNode* tree = mesh.tree;
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->pointCount, 9);
    EXPECT_EQ(tree->ownsPositions, 1);
    EXPECT_EQ(tree->upperOffset, 0.0f);
    EXPECT_EQ(tree->lowerOffset, -6.0f);
    EXPECT_EQ(tree->pending.size(), 8u);  // four quads, two triangles each
    EXPECT_EQ(mesh.lastUpdate, 0.0f);
    EXPECT_EQ(mesh.friction, 0.3f);
    EXPECT_EQ(mesh.stick, 0.05f);
    for (Int32 i = 0; i < 9; ++i) {
        // The point normals follow the polygons' winding (+Y here), the
        // side the cloth rests on; the offset of 4 is applied before the
        // scale of 2.
        const Vector p = surface->GetPointR()[i];
        EXPECT_EQ(tree->targetPositions[i], (drSvec3{float(2.0 * p.x), float(100.0 + 8.0), float(2.0 * p.z)}));
        // The own copy started on the targets.
        EXPECT_EQ(tree->positions[i], tree->targetPositions[i]);
    }

    // Moving the surface moves the targets of the same tree.
    surface->SetMg(Matrix(Vector(0.0, 50.0, 0.0), Vector(2.0, 0.0, 0.0), Vector(0.0, 2.0, 0.0), Vector(0.0, 0.0, 2.0)));
    ASSERT_TRUE(doc->EvaluateFrame(1));
    EXPECT_EQ(mesh.tree, tree);
    EXPECT_EQ(tree->targetPositions[4].y, 58.0f);
    EXPECT_EQ(tree->positions[4].y, 108.0f);  // the sub-steps move it

    // Another point count rebuilds the tree.
    surface->ResizeObject(12, 4);
    ASSERT_TRUE(doc->EvaluateFrame(2));
    ASSERT_NE(mesh.tree, nullptr);
    EXPECT_EQ(mesh.tree->pointCount, 12);
}

TEST_F(ColliderObjects, MeshLinkClearedAndRelinked) {
    PolygonObject* surface = grid(2, 2);
    BaseObject* notPolygons = add(Onull);
    BaseObject* op = add(ID_DRCOLLIDEMESH);
    const drScollideMesh& mesh = force<drScollideMesh>(op);
    op->GetDataInstance()->SetLink(MESH_OBJECT, surface);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    ASSERT_NE(mesh.tree, nullptr);

    op->GetDataInstance()->SetLink(MESH_OBJECT, nullptr);
    ASSERT_TRUE(doc->EvaluateFrame(1));
    EXPECT_EQ(mesh.tree, nullptr);

    op->GetDataInstance()->SetLink(MESH_OBJECT, surface);
    ASSERT_TRUE(doc->EvaluateFrame(2));
    ASSERT_NE(mesh.tree, nullptr);
    EXPECT_EQ(mesh.tree->pointCount, 4);

    op->GetDataInstance()->SetLink(MESH_OBJECT, notPolygons);
    ASSERT_TRUE(doc->EvaluateFrame(3));
    EXPECT_EQ(mesh.tree, nullptr);

    // A deleted linked object is an empty link.
    op->GetDataInstance()->SetLink(MESH_OBJECT, surface);
    ASSERT_TRUE(doc->EvaluateFrame(4));
    ASSERT_NE(mesh.tree, nullptr);
    BaseObject* gone = surface;
    BaseObject::Free(gone);
    ASSERT_TRUE(doc->EvaluateFrame(5));
    EXPECT_EQ(mesh.tree, nullptr);
}

TEST_F(ColliderObjects, MeshSkipsPolygonsWithCornersOutsideThePoints) {
    PolygonObject* surface = grid(3, 3);
    surface->GetPolygonW()[1] = CPolygon(0, 1, 99, 2);
    BaseObject* op = add(ID_DRCOLLIDEMESH);
    op->GetDataInstance()->SetLink(MESH_OBJECT, surface);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drStriangleNode* tree = force<drScollideMesh>(op).tree;
    ASSERT_NE(tree, nullptr);
    for (Int32 i = 0; i < 9; ++i) {
        const drSvec3& p = tree->targetPositions[i];
        EXPECT_TRUE(std::isfinite(p.x + p.y + p.z)) << i;
    }
}

TEST_F(ColliderObjects, SelfSideFollowsTheStoredValue) {
    PolygonObject* input = grid(3, 3);
    BaseObject* c = add(Onull, input);
    BaseObject* op = add(ID_DRCOLLIDESELF, c);
    const struct {
        Int32 stored;
        int32_t side;
    } cases[] = {{0, -1}, {1, 0}, {2, 1}};
    for (const auto& k : cases) {
        op->GetDataInstance()->SetInt32(SELF_SIDE, k.stored);
        ASSERT_TRUE(doc->EvaluateFrame(0));
        EXPECT_EQ(force<drScollideSelf>(op).side, k.side) << k.stored;
    }
}

TEST_F(ColliderObjects, SelfBuildsTheTreeOfTheSimulatedMesh) {
    PolygonObject* input = grid(4, 3);
    BaseObject* c = add(Onull, input);
    BaseObject* op = add(ID_DRCOLLIDESELF, c);
    op->GetDataInstance()->SetFloat(SELF_THICKNESS, 2.5);
    op->GetDataInstance()->SetFloat(SELF_FRICTION, 0.4);
    ASSERT_TRUE(doc->EvaluateFrame(0));
    const drScollideSelf& self = force<drScollideSelf>(op);
    const drStriangleNode* tree = self.tree;
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(self.pointCount, 12);
    EXPECT_EQ(tree->pointCount, 12);
    EXPECT_EQ(tree->pendingCount, 12);  // six quads
    // The cloth object supplies the positions; the build copy is gone.
    EXPECT_EQ(tree->positions, nullptr);
    EXPECT_EQ(tree->upperOffset, 2.5f);
    EXPECT_EQ(tree->lowerOffset, -2.5f);
    EXPECT_EQ(self.friction, 0.4f);
    // The boxes grew from the object's points.
    EXPECT_EQ(tree->boxMin, (drSvec3{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(tree->boxMax, (drSvec3{3.0f, 0.0f, 2.0f}));

    // Same point count: the tree stays and takes the new thickness.
    const drStriangleNode* first = tree;
    op->GetDataInstance()->SetFloat(SELF_THICKNESS, 1.0);
    ASSERT_TRUE(doc->EvaluateFrame(1));
    EXPECT_EQ(self.tree, first);
    EXPECT_EQ(tree->lowerOffset, -1.0f);

    // Without a parent nothing changes; without a polygon grandparent the
    // tree goes.
    op->Remove();
    BaseDocument* other = BaseDocument::Alloc();
    other->InsertObject(op);
    ASSERT_TRUE(other->EvaluateFrame(2));
    EXPECT_EQ(self.tree, first);
    BaseObject* lonely = add(Onull);
    op->InsertUnder(lonely);
    ASSERT_TRUE(doc->EvaluateFrame(3));
    EXPECT_EQ(self.tree, nullptr);
    BaseDocument::Free(other);
}
