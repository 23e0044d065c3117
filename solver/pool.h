// Job pool: one worker per processor, fork-join batches.
//
//   caller thread = worker 0     worker 1   ...  worker T-1
//   poolSubmit(job 0) -> queue
//   poolSubmit(job 1) ---------> queue
//   ...
//   poolFlush()  --- start events --> run queue (last in, first out)
//   runs its own queue meanwhile
//                <-- done events ---  (waited for in worker order)
//
// The workers number P, one per processor (none on a one-processor machine:
// every pass then runs inline). Worker 0 is the thread that flushes: it runs
// its own queue while the P - 1 worker threads run theirs, so a flush keeps
// exactly P threads busy on P processors. A caller that only waited would
// be a (P + 1)-th thread competing with the workers for the processors and
// would have to be woken after every batch; on two processors that cost
// most of the second worker's gain.
// A queue holds at most 128 jobs; the submit that fills one flushes at once.
// Every flush resets the next worker to 0, so a pass that submits exactly T
// jobs runs job k on worker k: per-worker buffers may be indexed by k.
//
// Range rule: with N items and T workers, job k gets
// [k * (N / T), (k + 1) * (N / T)) and the last job ends at N.
//
// Only the thread that holds the global lock (poolLock) submits and flushes;
// a job never submits jobs itself.
#pragma once

#include <atomic>
#include <cstdint>

using drSjobFunction = void (*)(void*);

/// Starts the pool if it is not running (no workers with one processor).
/// When the system refuses a worker thread, the pool runs with the workers
/// whose threads started (inline when none did); poolStartError() says why.
void poolStart();
/// Stops the workers and frees both scratch buffers. Nothing if not running.
void poolStop();
/// Number of workers T (0 when stopped or on one processor).
int32_t poolWorkerCount();
void poolSubmit(drSjobFunction function, void* argument);
/// Runs every queued job and returns when all have run.
void poolFlush();
/// Grow-only scratch buffers; the result stays valid until the next larger request.
void* poolScratch(int32_t size);
void* poolScratch2(int32_t size);
void poolLock();
void poolUnlock();

/// The processor count the pool asks for at start: the override when set
/// (> 0), else the machine's. The host stand-in overrides it (--threads N).
void poolSetProcessorCount(int32_t count);
int32_t poolProcessorCount();

/// The workers the last poolStart asked for: poolWorkerCount() is lower
/// when the system refused some of their threads (or all: then 0).
int32_t poolRequestedWorkerCount();
/// Why the last poolStart got fewer workers than it asked for ("" when it did not).
const char* poolStartError();
/// Test hook: from the next poolStart on, the thread of worker k and of every
/// later worker fails to start as if the system refused it; 0 switches it off.
void poolRefuseThreadsFrom(int32_t k);

/// Range of job k of T over n items (the range rule above).
inline void poolRange(int32_t n, int32_t T, int32_t k, int32_t& begin, int32_t& end) {
    const int32_t chunk = n / T;
    begin = k * chunk;
    end = (k == T - 1) ? n : (k + 1) * chunk;
}

/// Splits [0, n) into T = poolWorkerCount() jobs and runs body(k, begin, end)
/// for each, then flushes. The job records live in poolScratch, so nothing is
/// allocated in steady state. Call it only when poolWorkerCount() >= 2.
template <class Body>
void poolParallelFor(int32_t n, const Body& body) {
    struct Record {
        const Body* body;
        int32_t k, begin, end;
    };
    const int32_t T = poolWorkerCount();
    auto* records = static_cast<Record*>(poolScratch(static_cast<int32_t>(sizeof(Record)) * T));
    for (int32_t k = 0; k < T; ++k) {
        Record& r = records[k];
        r.body = &body;
        r.k = k;
        poolRange(n, T, k, r.begin, r.end);
        poolSubmit(
            [](void* p) {
                auto* rec = static_cast<Record*>(p);
                (*rec->body)(rec->k, rec->begin, rec->end);
            },
            &r);
    }
    poolFlush();
}

/// How poolParallelChunks hands out `chunks` chunks to the workers. Every
/// worker owns a list of chunks: the ones it ran in the last pass with as
/// many chunks (at first, its share by the range rule), in ascending order,
/// at order[first[k], first[k + 1]). The chunks of list k not yet claimed
/// are those at [front, back) of claims[k]: its worker claims at the front,
/// a worker that has finished its own list claims at the back, where the
/// owner would come last. Each worker notes the chunks it ran in its row
/// of `ran`; after the flush they become its list for the next pass.
/// So a worker keeps to the same points pass after pass, and those stay in
/// its processor's cache, while a worker on a slower or shared processor
/// (a virtual processor lent elsewhere, the export writer) still does
/// less: the others take its last chunks, and keep them.
struct alignas(64) poolChunkClaims {
    std::atomic<uint64_t> span{0};  ///< front in the low half, back in the high half
};

struct poolChunkPlan {
    int32_t chunks = 0;
    int32_t workers = 0;
    int32_t* order = nullptr;           ///< chunks, grouped by owner
    int32_t* first = nullptr;           ///< workers + 1 offsets into order
    int32_t* ran = nullptr;             ///< row k (ranStride entries): the chunks worker k ran, in its order
    int32_t ranStride = 0;
    int32_t* ranCount = nullptr;        ///< entry k * kRanCountStride: length of row k
    poolChunkClaims* claims = nullptr;  ///< one per worker
    static constexpr int32_t kRanCountStride = 16;  ///< one cache line per worker
};

/// The plan for `chunks` chunks over the current workers, with every list
/// unclaimed; nullptr when memory for it is lacking. Only the thread that
/// holds the pool lock calls this and poolChunkPlanDone.
poolChunkPlan* poolChunkPlanFor(int32_t chunks);
/// After the flush: the chunks each worker ran become its list.
void poolChunkPlanDone(poolChunkPlan& plan);

/// Claims the next chunk of list `owner` for worker `k`: at the front when
/// k owns the list, else at the back. -1 when the list is used up.
inline int32_t poolClaimChunk(poolChunkPlan& plan, int32_t owner, int32_t k) {
    std::atomic<uint64_t>& span = plan.claims[owner].span;
    uint64_t s = span.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t front = static_cast<uint32_t>(s), back = static_cast<uint32_t>(s >> 32);
        if (front >= back) return -1;
        const bool own = owner == k;
        const uint64_t claimed = own ? s + 1 : s - (uint64_t{1} << 32);
        if (span.compare_exchange_weak(s, claimed, std::memory_order_relaxed)) return plan.order[own ? front : back - 1];
    }
}

/// Splits [0, n) into `chunks` fixed ranges (the range rule with T = chunks)
/// and runs body(c, begin, end) for every chunk c, then flushes. Each worker
/// runs the chunks of its list, then takes the last unclaimed chunks of the
/// others' lists, from the next worker on (see poolChunkPlan). A worker that
/// wakes late finds its chunks done. Chunk c covers the same range whoever
/// runs it, so results stored per chunk do not depend on the split. Without
/// memory for the plan the chunks run in order on the calling thread. Call
/// it only when poolWorkerCount() >= 2.
template <class Body>
void poolParallelChunks(int32_t n, int32_t chunks, const Body& body) {
    if (chunks < 1) chunks = 1;
    poolChunkPlan* plan = poolChunkPlanFor(chunks);
    if (plan == nullptr) {
        for (int32_t c = 0; c < chunks; ++c) {
            int32_t begin = 0, end = 0;
            poolRange(n, chunks, c, begin, end);
            body(c, begin, end);
        }
        return;
    }
    struct Shared {
        const Body* body;
        poolChunkPlan* plan;
        int32_t n;
    };
    struct Record {
        Shared* shared;
        int32_t k;
    };
    Shared shared{&body, plan, n};
    const int32_t T = plan->workers;
    auto* records = static_cast<Record*>(poolScratch(static_cast<int32_t>(sizeof(Record)) * T));
    for (int32_t k = 0; k < T; ++k) {
        records[k] = {&shared, k};
        poolSubmit(
            [](void* p) {
                const auto* rec = static_cast<const Record*>(p);
                const Shared& sh = *rec->shared;
                poolChunkPlan& plan = *sh.plan;
                const int32_t k = rec->k;
                int32_t* ran = plan.ran + static_cast<size_t>(k) * static_cast<size_t>(plan.ranStride);
                int32_t count = 0;
                // Own list first, then the others' from the next worker on
                for (int32_t j = 0; j < plan.workers; ++j) {
                    const int32_t owner = (k + j) % plan.workers;
                    for (int32_t c; (c = poolClaimChunk(plan, owner, k)) >= 0;) {
                        int32_t begin = 0, end = 0;
                        poolRange(sh.n, plan.chunks, c, begin, end);
                        (*sh.body)(c, begin, end);
                        ran[count++] = c;
                    }
                }
                plan.ranCount[k * poolChunkPlan::kRanCountStride] = count;
            },
            &records[k]);
    }
    poolFlush();
    poolChunkPlanDone(*plan);
}
