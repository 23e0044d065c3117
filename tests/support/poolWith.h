// Scoped job pool for tests and benchmarks.
#pragma once

#include <cstdint>

#include "pool.h"

/// Starts the pool with a given processor count for one scope
/// (1 processor means no workers: every pass runs inline).
struct PoolWith {
    explicit PoolWith(int32_t processors) {
        poolSetProcessorCount(processors);
        poolStart();
    }
    ~PoolWith() {
        poolStop();
        poolSetProcessorCount(0);
    }
    PoolWith(const PoolWith&) = delete;
    PoolWith& operator=(const PoolWith&) = delete;
};
