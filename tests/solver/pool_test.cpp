#include <gtest/gtest.h>

#include "poolWith.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
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
// items, and many rounds in a row: the lists a round leaves behind must hold
// every chunk once for the next).
TEST(Pool, ParallelChunksRunEachChunkOnceOnItsFixedRange) {
    for (int32_t T : {2, 3}) {
        PoolWith pool(T);
        for (int32_t n : {0, 5, 1001, 40000}) {
            // More chunk counts than the pool keeps plans for
            for (int32_t chunks : {1, 2, 7, 64, 3, 4, 5, 6, 8, 9}) {
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

// The chunks a worker ran are its own in the next pass: here the second
// worker is held up in its first chunk until the first worker has taken all
// the others, its own and the rest of the second's list.
TEST(Pool, ParallelChunksLeaveEachWorkerTheChunksItRan) {
    PoolWith pool(2);
    const int32_t chunks = 8;
    const std::thread::id caller = std::this_thread::get_id();
    for (int round = 0; round < 20; ++round) {
        std::atomic<int32_t> takenByCaller{0};
        std::vector<int> byCaller(chunks, -1);
        poolParallelChunks(chunks, chunks, [&](int32_t c, int32_t, int32_t) {
            const bool onCaller = std::this_thread::get_id() == caller;
            if (onCaller) ++takenByCaller;
            while (!onCaller && takenByCaller < chunks - 1) std::this_thread::yield();
            byCaller[static_cast<size_t>(c)] = onCaller ? 1 : 0;
        });
        // The caller runs job 0: its list is the chunks it ran, in order
        const poolChunkPlan& plan = *poolChunkPlanFor(chunks);
        std::vector<int32_t> lists[2], ran[2];
        for (int32_t k = 0; k < 2; ++k) lists[k].assign(plan.order + plan.first[k], plan.order + plan.first[k + 1]);
        for (int32_t c = 0; c < chunks; ++c) {
            ASSERT_NE(byCaller[static_cast<size_t>(c)], -1) << c;
            ran[byCaller[static_cast<size_t>(c)] == 1 ? 0 : 1].push_back(c);
        }
        EXPECT_EQ(lists[0], ran[0]) << "round " << round;
        EXPECT_EQ(lists[1], ran[1]) << "round " << round;
        EXPECT_GE(ran[0].size(), 7u) << "the held-up worker runs one chunk at most";
    }
}

TEST(Pool, GlobalLockIsReentrantForItsHolder) {
    poolLock();
    poolLock();
    poolUnlock();
    poolUnlock();
    SUCCEED();
}
