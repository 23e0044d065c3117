#include <gtest/gtest.h>

#include "poolWith.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "pool.h"

namespace {

std::atomic<int> executed{0};
void countJob(void*) { ++executed; }

}  // namespace

TEST(Pool, OneProcessorHasNoWorkersAndRunsSubmittedJobsInline) {
    PoolWith pool(1);
    EXPECT_EQ(poolWorkerCount(), 0);
    executed = 0;
    poolSubmit(countJob, nullptr);
    EXPECT_EQ(executed, 1);
    poolFlush();
    poolStop();  // nothing to stop
    EXPECT_EQ(poolWorkerCount(), 0);
}

TEST(Pool, StartsOneWorkerPerProcessorAndStartIsIdempotent) {
    PoolWith pool(4);
    EXPECT_EQ(poolWorkerCount(), 4);
    poolSetProcessorCount(2);
    poolStart();  // already running: nothing changes
    EXPECT_EQ(poolWorkerCount(), 4);
}

TEST(Pool, RefusedThreadsLeaveAPoolOfTheWorkersThatStarted) {
    // Worker k's thread is refused: the pool runs with k workers and its
    // stop returns (it used to wait for the workers that never started).
    const struct {
        int32_t refusedFrom, workers;
    } cases[] = {{3, 3}, {1, 0}, {2, 2}};
    for (const auto& c : cases) {
        poolRefuseThreadsFrom(c.refusedFrom);
        {
            PoolWith pool(6);
            poolRefuseThreadsFrom(0);
            EXPECT_EQ(poolWorkerCount(), c.workers) << c.refusedFrom;
            EXPECT_EQ(poolRequestedWorkerCount(), 6);
            EXPECT_NE(std::string(poolStartError()), "");
            executed = 0;
            for (int i = 0; i < 10; ++i) poolSubmit(countJob, nullptr);
            poolFlush();
            EXPECT_EQ(executed, 10);
        }
        EXPECT_EQ(poolWorkerCount(), 0);
    }
    PoolWith pool(2);
    EXPECT_EQ(poolWorkerCount(), 2);
    EXPECT_EQ(std::string(poolStartError()), "") << "a later start that gets its threads clears the reason";
}

TEST(Pool, FullQueueFlushesAtOnceAndNextSubmitGoesToWorkerZero) {
    for (int32_t T : {2, 3}) {
        PoolWith pool(T);
        executed = 0;
        const int fullAt = 127 * T + 1;  // worker 0 receives submits 1, T+1, ...
        for (int i = 1; i < fullAt; ++i) poolSubmit(countJob, nullptr);
        EXPECT_EQ(executed, 0) << "nothing runs before a flush";
        poolSubmit(countJob, nullptr);
        EXPECT_EQ(executed, fullAt) << "the submit that fills a queue runs every queued job";
        poolSubmit(countJob, nullptr);
        poolFlush();
        EXPECT_EQ(executed, fullAt + 1);
    }
}

TEST(Pool, QueueRunsLastInFirstOut) {
    PoolWith pool(2);
    std::vector<int> order;
    struct Arg {
        std::vector<int>* order;
        int id;
    };
    Arg args[3] = {{&order, 0}, {&order, 1}, {&order, 2}};
    // With two workers, submits 0 and 2 go to worker 0; 1 goes to worker 1.
    // Only worker 0's jobs append, so the order is deterministic.
    auto job = [](void* p) {
        auto* a = static_cast<Arg*>(p);
        if (a->id != 1) a->order->push_back(a->id);
    };
    for (auto& a : args) poolSubmit(job, &a);
    poolFlush();
    EXPECT_EQ(order, (std::vector<int>{2, 0}));
}

TEST(Pool, EmptyFlushWakesEveryWorkerAndReturns) {
    PoolWith pool(4);
    for (int i = 0; i < 100; ++i) poolFlush();
    SUCCEED();
}

TEST(Pool, EveryJobRunsOnceWhicheverThreadTakesItsQueue) {
    // Tiny jobs in many flushes: the flushing thread often finds a queue not
    // yet taken by its worker and runs it itself. No job may be lost or run twice.
    for (int32_t T : {2, 4}) {
        PoolWith pool(T);
        std::vector<std::atomic<int>> runs(static_cast<size_t>(3 * T));
        struct Arg {
            std::atomic<int>* counter;
        };
        std::vector<Arg> args(runs.size());
        for (size_t j = 0; j < runs.size(); ++j) args[j].counter = &runs[j];
        const int flushes = 5000;
        for (int f = 0; f < flushes; ++f) {
            for (Arg& a : args) poolSubmit([](void* p) { ++*static_cast<Arg*>(p)->counter; }, &a);
            poolFlush();
        }
        for (size_t j = 0; j < runs.size(); ++j) EXPECT_EQ(runs[j].load(), flushes) << "T=" << T << " job " << j;
    }
}

TEST(Pool, ScratchBuffersGrowOnlyAndAreSeparate) {
    PoolWith pool(2);
    void* a = poolScratch(200);
    EXPECT_EQ(poolScratch(100), a);
    void* b = poolScratch2(64);
    EXPECT_NE(a, b);
    EXPECT_NE(poolScratch(400), nullptr);
}

TEST(Pool, ParallelForCoversEveryItemOnceWithTheRangeRule) {
    for (int32_t T : {2, 3, 4}) {
        PoolWith pool(T);
        for (int32_t n : {0, 1, 3, 10, 1001}) {
            std::vector<int> hits(static_cast<size_t>(n), 0);
            std::vector<int> jobOf(static_cast<size_t>(n), -1);
            poolParallelFor(n, [&](int32_t k, int32_t begin, int32_t end) {
                for (int32_t i = begin; i < end; ++i) {
                    ++hits[i];
                    jobOf[i] = k;
                }
            });
            for (int32_t i = 0; i < n; ++i) {
                ASSERT_EQ(hits[i], 1) << "T=" << T << " n=" << n << " i=" << i;
                const int32_t chunk = n / T;
                const int32_t expected = chunk == 0 ? T - 1 : std::min(i / chunk, T - 1);
                EXPECT_EQ(jobOf[i], expected);
            }
        }
    }
}

// Chunks are claimed by whichever worker is free, but chunk c always gets the
// range rule's piece c, and runs exactly once (also with more chunks than
// items, and many rounds in a row: a claim counter must not leak between them).
TEST(Pool, ParallelChunksRunEachChunkOnceOnItsFixedRange) {
    for (int32_t T : {2, 3}) {
        PoolWith pool(T);
        for (int32_t n : {0, 5, 1001, 40000}) {
            for (int32_t chunks : {1, 2, 7, 64}) {
                std::vector<std::atomic<int>> runs(static_cast<size_t>(chunks));
                std::vector<int> hits(static_cast<size_t>(n), 0);
                for (int round = 0; round < 3; ++round) {
                    for (auto& r : runs) r = 0;
                    std::fill(hits.begin(), hits.end(), 0);
                    poolParallelChunks(n, chunks, [&](int32_t c, int32_t begin, int32_t end) {
                        ++runs[static_cast<size_t>(c)];
                        int32_t b = 0, e = 0;
                        poolRange(n, chunks, c, b, e);
                        EXPECT_EQ(begin, b);
                        EXPECT_EQ(end, e);
                        for (int32_t i = begin; i < end; ++i) ++hits[static_cast<size_t>(i)];
                    });
                    for (int32_t c = 0; c < chunks; ++c) ASSERT_EQ(runs[static_cast<size_t>(c)], 1) << "T=" << T << " n=" << n << " c=" << c;
                    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(hits[static_cast<size_t>(i)], 1) << "T=" << T << " n=" << n << " i=" << i;
                }
            }
        }
    }
}

TEST(Pool, GlobalLockIsReentrantForItsHolder) {
    poolLock();
    poolLock();
    poolUnlock();
    poolUnlock();
    SUCCEED();
}
