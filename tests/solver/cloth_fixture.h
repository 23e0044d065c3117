// Fixtures of the solver tests: a cloth built from the grid fixture, simple
// forces of our own, a pool started for one scope, and a temporary folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "drScloth.h"
#include "drSforce.h"
#include "drSsolver.h"
#include "grid.h"
#include "pool.h"
#include "poolWith.h"

/// A cloth with the grid's points at rest, every mass `mass`, and two
/// triangles per grid cell (a, b, c) and (a, c, d).
inline drScloth makeCloth(const GridMesh& grid, float mass = 1.0f) {
    drScloth cloth;
    cloth.pointCount = grid.pointCount();
    cloth.resizePoints();
    for (int32_t i = 0; i < cloth.pointCount; ++i) {
        const size_t j = static_cast<size_t>(i);
        cloth.positions[j] = {static_cast<float>(grid.points[3 * j]), static_cast<float>(grid.points[3 * j + 1]),
                              static_cast<float>(grid.points[3 * j + 2])};
        cloth.masses[j] = mass;
    }
    for (const drSpolygon& q : grid.polygons) {
        cloth.triangles.push_back({q.a, q.b, q.c});
        cloth.triangles.push_back({q.a, q.c, q.d});
    }
    cloth.triangleCount = static_cast<int32_t>(cloth.triangles.size());
    return cloth;
}

/// Adds the same force to every point (phase 1); the type id is chosen by the test.
class ConstantForce : public drSforce {
public:
    explicit ConstantForce(drSvec3 force, int32_t type = 0) : force_(force), type_(type) {}
    int32_t typeId() const override { return type_; }
    void apply(drScloth& cloth, drSsolver&) override {
        for (int32_t i = 0; i < cloth.pointCount; ++i) cloth.forces[static_cast<size_t>(i)] += force_;
    }

private:
    drSvec3 force_;
    int32_t type_;
};

/// A phase-1 force that acts between neighbouring points along x of a grid,
/// in one loop over the pairs (not point-wise: the solver runs it alone
/// between its fused runs). Also adds a push along the normals.
class PairForce : public drSforce {
public:
    explicit PairForce(int32_t nx) : nx_(nx) {}
    int32_t typeId() const override { return 3; }  // reads normals
    void apply(drScloth& cloth, drSsolver&) override { addPairs(cloth, cloth.forces.data(), 0, cloth.pointCount - 1); }

private:
    void addPairs(const drScloth& cloth, drSvec3* out, int32_t begin, int32_t end) const {
        for (int32_t i = begin; i < end; ++i) {
            if ((i + 1) % nx_ == 0) continue;  // no pair across rows
            const drSvec3 d = cloth.positions[i + 1] - cloth.positions[i];
            const drSvec3 f = (length(d) - 0.9f) * 5.0f * d + 0.1f * cloth.normals[i];
            out[i] += f;
            out[i + 1] -= f;
        }
    }
    int32_t nx_;
};

/// A fresh folder under the system's temporary folder, removed with its contents.
class TempFolder {
public:
    TempFolder() {
        static std::atomic<int> counter{0};
        const auto root = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = root / ("drapeon-solver-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    /// Base name of cache files inside the folder.
    std::string base(const char* prefix = "cl") const { return (path_ / prefix).string(); }

private:
    std::filesystem::path path_;
};

/// The whole content of a file (empty if it cannot be read).
inline std::vector<char> fileBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
