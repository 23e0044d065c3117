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

/// A claim counter of poolParallelChunks, alone in its cache line so that
/// workers claiming from different counters do not take the line from
/// each other.
struct alignas(64) poolChunkCounter {
    std::atomic<int32_t> next{0};
};

/// Claim counters of poolParallelChunks, one per worker; grow-only, used
/// only by the thread that holds the pool lock and by its jobs.
poolChunkCounter* poolChunkCounters(int32_t count);

/// Splits [0, n) into `chunks` fixed ranges (the range rule with T = chunks)
/// and runs body(c, begin, end) for every chunk c, then flushes. Worker k
/// owns the chunks of its share (the range rule over the chunks) and runs
/// them in order, so in a balanced pass every worker keeps to the same
/// points pass after pass; a worker that has finished its own takes the
/// next unclaimed chunk of the others. So a worker on a slower or shared
/// processor (a virtual processor lent elsewhere, the export writer) does
/// less, and one that wakes late finds its chunks done. Chunk c covers the
/// same range whoever runs it, so results stored per chunk do not depend
/// on the split. Call it only when poolWorkerCount() >= 2.
template <class Body>
void poolParallelChunks(int32_t n, int32_t chunks, const Body& body) {
    struct Shared {
        const Body* body;
        int32_t n, chunks, workers;
        poolChunkCounter* next;  ///< per worker: its next unclaimed chunk
    };
    struct Record {
        Shared* shared;
        int32_t k;
    };
    const int32_t T = poolWorkerCount();
    Shared shared{&body, n, chunks < 1 ? 1 : chunks, T, poolChunkCounters(T)};
    auto* records = static_cast<Record*>(poolScratch(static_cast<int32_t>(sizeof(Record)) * T));
    for (int32_t k = 0; k < T; ++k) {
        int32_t first = 0, last = 0;
        poolRange(shared.chunks, T, k, first, last);
        shared.next[k].next.store(first, std::memory_order_relaxed);
    }
    for (int32_t k = 0; k < T; ++k) {
        records[k] = {&shared, k};
        poolSubmit(
            [](void* p) {
                const auto* rec = static_cast<const Record*>(p);
                Shared& sh = *rec->shared;
                // Own chunks first, then the others' from the next worker on
                for (int32_t j = 0; j < sh.workers; ++j) {
                    const int32_t w = (rec->k + j) % sh.workers;
                    int32_t first = 0, last = 0;
                    poolRange(sh.chunks, sh.workers, w, first, last);
                    for (;;) {
                        const int32_t c = sh.next[w].next.fetch_add(1, std::memory_order_relaxed);
                        if (c >= last) break;
                        int32_t begin = 0, end = 0;
                        poolRange(sh.n, sh.chunks, c, begin, end);
                        (*sh.body)(c, begin, end);
                    }
                }
            },
            &records[k]);
    }
    poolFlush();
}
