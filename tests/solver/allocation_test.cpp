// Sub-steps in steady state allocate nothing: every global operator new of
// this program is counted while the solver runs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "cloth_fixture.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* allocate(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return operator new(size, std::nothrow); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

/// A phase-2 force that reads and changes the complete force sum.
class Clamp : public drSforce {
public:
    int32_t phase() const override { return 2; }
    void apply(drScloth& cloth, drSsolver&) override {
        for (drSvec3& f : cloth.forces)
            if (f.y < -1.0f) f.y = -1.0f;
    }
};

}  // namespace

TEST(Allocation, SteadyStateSubStepsAllocateNothing) {
    for (int32_t processors : {1, 2}) {
        SCOPED_TRACE(processors);
        PoolWith pool(processors);
        // Large enough for every pass to run on the pool with two workers.
        const int32_t nx = 80;
        drScloth cloth = makeCloth(makeGrid(nx, 80), 1.0f);
        PairForce pairs(nx);  // also makes the solver compute normals
        ConstantForce pull({0.0f, -0.01f, 0.0f});
        Clamp clamp;
        drSsolver solver;
        solver.addForce(&clamp);
        solver.addForce(&pairs);
        solver.addForce(&pull);
        ASSERT_EQ(solver.needNormals, 1);
        solver.maxStep = 0.25f;

        solver.advanceTo(cloth, 1.0f);  // warm-up: buffers reach their size
        allocations = 0;
        counting = true;
        solver.advanceTo(cloth, 3.0f);
        counting = false;
        EXPECT_EQ(allocations.load(), 0);
        EXPECT_EQ(solver.time, 3.0f);
    }
}
