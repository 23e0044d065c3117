// Point caches: layout, samples in the object's own coordinates, the rest
// mesh beside them, file names, and refusals that leave nothing behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "export.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("drapeon_pc2_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// A quad and a triangle (5 points) over 3 frames, under a world matrix that
/// moves, turns and scales unevenly, so that object and world coordinates
/// differ in every component.
RecordedMesh movingMesh(const std::string& name, bool simulated) {
    RecordedMesh mesh;
    mesh.name = name;
    mesh.path = "Scene/" + name;
    mesh.simulated = simulated;
    mesh.polygons = {CPolygon(0, 1, 2, 3), CPolygon(1, 4, 2)};
    mesh.restPoints = {{0, 0, 0}, {10, 0, 0}, {10, 0, 10}, {0, 0, 10}, {20, 0, 5}};
    for (int f = 0; f < 3; ++f) {
        const Matrix worldFromObject =
            MatrixMove(Vector(5.0 * f, 100.0, -3.0)) * MatrixRotY(0.3 * f) * MatrixScale(Vector(1.0, 2.0, 0.5));
        std::vector<Vector> world;
        for (size_t i = 0; i < mesh.restPoints.size(); ++i) {
            const Vector own = mesh.restPoints[i] + Vector(0.0, -1.5 * f * double(i), 0.25 * f);
            world.push_back(worldFromObject * own);
        }
        mesh.worldPoints.push_back(world);
        mesh.worldFromObject.push_back(worldFromObject);
    }
    return mesh;
}

Recording recordingOf(std::vector<RecordedMesh> meshes) {
    Recording r;
    r.sceneName = "test";
    r.firstFrame = 12;
    r.frameCount = 3;
    r.meshes = std::move(meshes);
    r.guides.resize(3);
    return r;
}

template <typename T>
T at(const std::string& bytes, size_t offset) {
    T v;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

}  // namespace

TEST(ExportPc2, LayoutAndSamplesInObjectCoordinates) {
    TempDir dir;
    const Recording recording = recordingOf({movingMesh("Cloth", true), movingMesh("Floor", false)});
    std::string error;
    ASSERT_TRUE(exportPc2(recording, dir.path, error)) << error;

    // Only the simulated object gets a cache.
    EXPECT_FALSE(fs::exists(dir.path / "Floor.pc2"));
    const std::string bytes = readFile(dir.path / "Cloth.pc2");
    const size_t n = 5, frames = 3;
    ASSERT_EQ(bytes.size(), 32 + 12 * n * frames);
    EXPECT_EQ(std::memcmp(bytes.data(), "POINTCACHE2\0", 12), 0);
    EXPECT_EQ(at<int32_t>(bytes, 12), 1);
    EXPECT_EQ(at<int32_t>(bytes, 16), 5);
    EXPECT_EQ(at<float>(bytes, 20), 12.0f);
    EXPECT_EQ(at<float>(bytes, 24), 1.0f);
    EXPECT_EQ(at<int32_t>(bytes, 28), 3);

    const RecordedMesh& mesh = recording.meshes[0];
    for (size_t f = 0; f < frames; ++f) {
        for (size_t i = 0; i < n; ++i) {
            // The object's own point of that frame, as the fixture built it.
            const Vector expected = mesh.restPoints[i] + Vector(0.0, -1.5 * double(f) * double(i), 0.25 * double(f));
            const size_t o = 32 + 12 * (f * n + i);
            EXPECT_NEAR(at<float>(bytes, o), expected.x, 1e-4) << "frame " << f << " point " << i;
            EXPECT_NEAR(at<float>(bytes, o + 4), expected.y, 1e-4) << "frame " << f << " point " << i;
            EXPECT_NEAR(at<float>(bytes, o + 8), expected.z, 1e-4) << "frame " << f << " point " << i;
        }
    }

    // The rest mesh: own points of the first frame, 1-based faces, quad kept.
    const std::string obj = readFile(dir.path / "Cloth.rest.obj");
    EXPECT_NE(obj.find("v 20 0 5\n"), std::string::npos) << obj;
    EXPECT_NE(obj.find("f 1 2 3 4\n"), std::string::npos) << obj;
    EXPECT_NE(obj.find("f 2 5 3\n"), std::string::npos) << obj;
    for (const auto& entry : fs::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
}

TEST(ExportPc2, NamesStayInTheFolderAndDoNotOverwriteEachOther) {
    TempDir dir;
    const Recording recording =
        recordingOf({movingMesh("Cloth", true), movingMesh("Cloth", true), movingMesh("../up/..", true), movingMesh("..", true)});
    std::string error;
    ASSERT_TRUE(exportPc2(recording, dir.path, error)) << error;
    EXPECT_TRUE(fs::exists(dir.path / "Cloth.pc2"));
    EXPECT_TRUE(fs::exists(dir.path / "Cloth_2.pc2"));
    EXPECT_TRUE(fs::exists(dir.path / "_._up_...pc2"));  // visible: no leading dot
    EXPECT_TRUE(fs::exists(dir.path / "object.pc2"));
    EXPECT_TRUE(fs::exists(dir.path / "object.rest.obj"));
    EXPECT_FALSE(fs::exists(dir.path.parent_path() / "up"));
}

TEST(ExportPc2, RefusesWhatACacheCannotHold) {
    struct Case {
        const char* what;
        void (*spoil)(Recording&);
        const char* message;
    };
    const Case cases[] = {
        {"point count changes", [](Recording& r) { r.meshes[0].worldPoints[2].pop_back(); }, "frame 14 has 4 points"},
        {"polygon outside the points", [](Recording& r) { r.meshes[0].polygons[1].b = 5; }, "point 5 of 5"},
        {"frames missing", [](Recording& r) { r.meshes[0].worldFromObject.pop_back(); }, "2 matrices for 3 frames"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        Recording recording = recordingOf({movingMesh("Cloth", true)});
        c.spoil(recording);
        std::string error;
        EXPECT_FALSE(exportPc2(recording, dir.path, error)) << c.what;
        EXPECT_NE(error.find("Scene/Cloth"), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
        EXPECT_TRUE(fs::is_empty(dir.path)) << c.what;
    }

    // A file where the folder should be.
    TempDir dir;
    std::ofstream(dir.path / "taken") << "x";
    std::string error;
    EXPECT_FALSE(exportPc2(recordingOf({movingMesh("Cloth", true)}), dir.path / "taken", error));
    EXPECT_NE(error.find("taken"), std::string::npos) << error;
}
