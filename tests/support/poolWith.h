// Scoped job pool for tests and benchmarks.
#pragma once

#include <cstdint>

#include "drScloth.h"
#include "pool.h"

/// Cloth size from which the passes split over the pool in tests: small
/// enough that the tests' small cloths run the split passes.
constexpr int32_t kTestSplitPoints = 301;

/// Starts the pool with a given processor count for one scope
/// (1 processor means no workers: every pass runs inline), and has the
/// passes split from `splitPoints` cloth points on (0: the program's size).
struct PoolWith {
    explicit PoolWith(int32_t processors, int32_t splitPoints = kTestSplitPoints) {
        drSsetParallelClothPoints(splitPoints);
        poolSetProcessorCount(processors);
        poolStart();
    }
    ~PoolWith() {
        poolStop();
        poolSetProcessorCount(0);
        drSsetParallelClothPoints(0);
    }
    PoolWith(const PoolWith&) = delete;
    PoolWith& operator=(const PoolWith&) = delete;
};
