#include "pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <system_error>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <thread>

#include <sched.h>

namespace {

constexpr int32_t kQueueSize = 128;

/// True while the pool's threads can each have a processor of their own
/// (no more workers than processors this process may run on): waiters then
/// spin on the processor instead of yielding it. Set by poolStart.
std::atomic<bool> spinWaits{false};

/// Tells the processor that this thread is spinning: it then slows the loop
/// down and lets the other hardware thread of the core run.
inline void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

/// An auto-reset event: set() releases one wait(), which clears it again.
///
/// A waiter first polls the state for a short time and only then sleeps on
/// a condition variable. The passes of a sub-step follow each other within
/// microseconds, far quicker than a sleeping thread is woken (on a virtual
/// machine an idle processor has to be woken by its host first), so most
/// hand-overs complete while polling. When every thread of the pool has a
/// processor, the first part of the poll spins with a pause between reads:
/// a hand-over is then seen within a fraction of a microsecond, whereas
/// each yield is a call into the kernel, which costs a microsecond or more
/// on a virtual machine. After that, and always when there are more
/// workers than processors, the waiter yields between polls, so that a
/// thread with work can run. A spin that runs out halves the next one
/// (down to kLeastSpin), and one that ends in time doubles it again (up to
/// kSpinTime): when other programs keep the processors busy, the thread
/// waited for is often not running, and the waiter soon yields instead of
/// spinning in its way.
/// (Mutex and condition variable rather than std::binary_semaphore, whose
/// implementation in the system's standard library can miss a wake-up.)
class AutoResetEvent {
public:
    void set() {
        state_.store(1, std::memory_order_seq_cst);
        // A sleeper registers before it looks at the state for the last
        // time, so either it sees the state or we see it (both seq_cst).
        if (sleepers_.load(std::memory_order_seq_cst) > 0) {
            std::lock_guard<std::mutex> guard(mutex_);
            condition_.notify_one();
        }
    }
    void wait() {
        const auto begin = std::chrono::steady_clock::now();
        if (spinWaits.load(std::memory_order_relaxed)) {
            const int32_t spin = spin_.load(std::memory_order_relaxed);
            const auto until = begin + std::chrono::microseconds(spin);
            for (int32_t poll = 1;; ++poll) {
                if (tryTake()) {
                    spin_.store(std::min<int32_t>(2 * spin, kSpinTime.count()), std::memory_order_relaxed);
                    return;
                }
                spinPause();
                if (poll % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
            }
            spin_.store(std::max<int32_t>(spin / 2, kLeastSpin.count()), std::memory_order_relaxed);
        }
        const auto until = begin + kPollTime;
        for (int32_t poll = 1;; ++poll) {
            if (tryTake()) return;
            std::this_thread::yield();
            if (poll % 16 == 0 && std::chrono::steady_clock::now() >= until) break;
        }
        std::unique_lock<std::mutex> guard(mutex_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        condition_.wait(guard, [this] { return state_.load(std::memory_order_seq_cst) == 1; });
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
        state_.store(0, std::memory_order_relaxed);
    }

private:
    /// Clears the state if it is set; true if it was.
    bool tryTake() {
        return state_.load(std::memory_order_acquire) == 1 && state_.exchange(0, std::memory_order_acquire) == 1;
    }
    /// How long a waiter spins at most before it yields: longer than most
    /// waits within a sub-step; and at least, after spins that ran out.
    static constexpr std::chrono::microseconds kSpinTime{50};
    static constexpr std::chrono::microseconds kLeastSpin{2};
    /// How long a waiter polls before it sleeps: longer than the gap
    /// between two passes, short enough that an idle pool soon stops
    /// using the processors.
    static constexpr std::chrono::microseconds kPollTime{200};
    std::atomic<int32_t> state_{0};
    std::atomic<int32_t> sleepers_{0};
    /// The next spin in microseconds; only the waiter uses it (atomic since
    /// the flushing thread may change between flushes).
    std::atomic<int32_t> spin_{kSpinTime.count()};
    std::mutex mutex_;
    std::condition_variable condition_;
};

/// One worker with its private queue; workers 1..P-1 have a thread. The
/// calling thread writes a queue only between flushes; the start/done events
/// hand the queue over and back, which also orders the memory accesses.
/// Worker 0's queue is run by the flushing thread itself.
///
/// A flush offers each queue to its worker by making `ticket` odd; whoever
/// turns it even first runs the queue. The worker does so when it wakes;
/// the flushing thread does so when it has finished its own queue and the
/// worker has not yet taken its own, which happens when the worker's
/// processor is busy elsewhere (on a virtual machine, lent to another guest):
/// the batch then completes instead of waiting for that processor. Which
/// thread runs a queue changes nothing in the results: a job reads its index
/// from its own record.
struct Worker {
    drSjobFunction functions[kQueueSize] = {};
    void* arguments[kQueueSize] = {};
    int32_t jobCount = 0;
    std::thread thread;
    AutoResetEvent start;
    AutoResetEvent done;                 ///< set after the worker ran a queue it took
    std::atomic<uint32_t> ticket{0};     ///< odd: the queue is offered; even: taken (or none)
};

int32_t workerCount = 0;
std::unique_ptr<Worker[]> workers;
std::atomic<int32_t> running{0};
int32_t nextWorker = 0;

struct Scratch {
    void* buffer = nullptr;
    int32_t capacity = 0;
};
Scratch scratch1, scratch2;

/// Re-entrant for the thread that holds it, like an operating-system critical section.
std::recursive_mutex globalLock;
std::atomic<int32_t> processorOverride{0};

/// What the last poolStart asked for and why it got fewer workers (empty: it did not).
int32_t requestedWorkers = 0;
char startError[256] = "";
int32_t refuseThreadFrom = 0;  ///< test hook: thread k >= this one fails to start (0: off)

/// Runs the queued jobs last in, first out: the count names the slot of the job to run.
void runQueue(Worker* w) {
    while (w->jobCount > 0) {
        --w->jobCount;
        w->functions[w->jobCount](w->arguments[w->jobCount]);
    }
}

/// Takes the queue on offer (`offered` odd): true for the one thread that turns the ticket even.
bool take(Worker* w, uint32_t offered) {
    return w->ticket.compare_exchange_strong(offered, offered + 1, std::memory_order_acq_rel);
}

// A worker answers every queue it takes with a done, also the empty one that
// poolStop offers, even when the thread only starts running after the pool
// was told to stop: leaving at once without the done signal would make
// poolStop wait forever for a thread that starts late.
void workerLoop(Worker* w) {
    for (;;) {
        w->start.wait();
        // A start whose queue the flushing thread has already run: nothing to answer
        const uint32_t offered = w->ticket.load(std::memory_order_acquire);
        if ((offered & 1u) == 0 || !take(w, offered)) continue;
        runQueue(w);
        // Read the flag before answering: once the done signal is out, the
        // caller may already be inside poolStop, and a flag read after it
        // would make this worker leave without answering the stop's start.
        const bool stop = running.load() == 0;
        w->done.set();
        if (stop) break;
    }
}

/// Offers a worker its queue for the coming batch. Every ticket is even
/// between batches, so the odd value is the only offer outstanding.
void offer(Worker& w) { w.ticket.store(w.ticket.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

void* grow(Scratch& s, int32_t size) {
    if (size <= s.capacity) return s.buffer;
    void* grown = std::realloc(s.buffer, static_cast<size_t>(size));
    if (grown == nullptr) return nullptr;  // the old buffer stays valid and owned
    s.buffer = grown;
    s.capacity = size;
    return s.buffer;
}

void release(Scratch& s) {
    std::free(s.buffer);
    s.buffer = nullptr;
    s.capacity = 0;
}

/// Processors this process may run on (its affinity mask: fewer than the
/// machine has when it was started pinned, as with taskset).
int32_t usableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : static_cast<int32_t>(hardware);
}

/// A chunk plan with its storage. Plans are kept per chunk count (each cloth
/// size has its own), a few at a time, and freed when the pool stops.
struct PlanSlot {
    poolChunkPlan plan;
    uint64_t lastUse = 0;
    std::unique_ptr<int32_t[]> ints;  ///< order, first, ran, ranCount and the owners
    std::unique_ptr<poolChunkClaims[]> claims;
    int32_t* owner = nullptr;         ///< per chunk: whose list it is on
};
constexpr int32_t kPlanSlots = 8;
PlanSlot planSlots[kPlanSlots];
uint64_t planUses = 0;

/// Lists the chunks of every worker in ascending order after `owner`.
void groupByOwner(PlanSlot& slot) {
    poolChunkPlan& p = slot.plan;
    std::fill(p.first, p.first + p.workers + 1, 0);
    for (int32_t c = 0; c < p.chunks; ++c) ++p.first[slot.owner[c] + 1];
    for (int32_t k = 0; k < p.workers; ++k) p.first[k + 1] += p.first[k];
    int32_t* fill = p.ran;  // row 0 is free as scratch here: every count starts over
    std::copy(p.first, p.first + p.workers, fill);
    for (int32_t c = 0; c < p.chunks; ++c) p.order[fill[slot.owner[c]]++] = c;
}

/// The range rule over the chunks: worker k owns its share.
void ownByRangeRule(PlanSlot& slot) {
    poolChunkPlan& p = slot.plan;
    for (int32_t k = 0; k < p.workers; ++k) {
        int32_t begin = 0, end = 0;
        poolRange(p.chunks, p.workers, k, begin, end);
        std::fill(slot.owner + begin, slot.owner + end, k);
    }
    groupByOwner(slot);
}

/// Sets up `slot` for `chunks` chunks over `workers` workers; false without memory.
bool makePlan(PlanSlot& slot, int32_t chunks, int32_t workers) {
    slot = PlanSlot{};
    // Rows in separate cache lines; row 0 also serves groupByOwner as scratch
    const int32_t stride = (std::max(chunks, workers) + 15) / 16 * 16;
    const size_t ints = static_cast<size_t>(chunks) * 2 + static_cast<size_t>(workers + 1) +
                        static_cast<size_t>(workers) * (static_cast<size_t>(stride) + poolChunkPlan::kRanCountStride);
    slot.ints.reset(new (std::nothrow) int32_t[ints + 15]);
    slot.claims.reset(new (std::nothrow) poolChunkClaims[static_cast<size_t>(workers)]);
    if (!slot.ints || !slot.claims) {
        slot = PlanSlot{};
        return false;
    }
    poolChunkPlan& p = slot.plan;
    p.chunks = chunks;
    p.workers = workers;
    p.ranStride = stride;
    // Rows from a cache line's start
    const auto base = reinterpret_cast<uintptr_t>(slot.ints.get());
    p.ran = slot.ints.get() + ((64 - base % 64) % 64) / sizeof(int32_t);
    p.ranCount = p.ran + static_cast<size_t>(workers) * static_cast<size_t>(stride);
    p.order = p.ranCount + static_cast<size_t>(workers) * poolChunkPlan::kRanCountStride;
    p.first = p.order + chunks;
    slot.owner = p.first + workers + 1;
    p.claims = slot.claims.get();
    ownByRangeRule(slot);
    return true;
}

void releasePlans() {
    for (PlanSlot& s : planSlots) s = PlanSlot{};
    planUses = 0;
}

}  // namespace

void poolSetProcessorCount(int32_t count) { processorOverride.store(count > 0 ? count : 0); }

int32_t poolProcessorCount() {
    const int32_t forced = processorOverride.load();
    if (forced > 0) return forced;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : static_cast<int32_t>(hardware);
}

void poolStart() {
    if (workerCount != 0) return;
    const int32_t P = poolProcessorCount();
    requestedWorkers = P;
    startError[0] = '\0';
    if (P <= 1) return;  // one processor: every pass runs inline
    try {
        workers.reset(new Worker[static_cast<size_t>(P)]);
    } catch (const std::bad_alloc&) {
        std::snprintf(startError, sizeof startError, "out of memory for %d workers", static_cast<int>(P));
        return;  // no workers: every pass runs inline
    }
    running.store(1);
    nextWorker = 0;
    // The system may refuse threads (a limit on threads or on address
    // space, which every thread's stack takes from). The pool then runs
    // with the workers whose threads started, and stopping it waits only
    // for those: a worker without a thread would never answer.
    int32_t started = 1;
    for (; started < P; ++started) {
        try {
            if (refuseThreadFrom > 0 && started >= refuseThreadFrom)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            workers[started].thread = std::thread(workerLoop, &workers[started]);
        } catch (const std::system_error& e) {
            std::snprintf(startError, sizeof startError, "%s", e.code().message().c_str());
            break;
        }
    }
    workerCount = started;
    spinWaits.store(started <= usableProcessors(), std::memory_order_relaxed);
    if (started <= 1) {
        // Only the calling thread: run inline, as on one processor
        running.store(0);
        workerCount = 0;
        workers.reset();
    }
}

int32_t poolRequestedWorkerCount() { return requestedWorkers; }

const char* poolStartError() { return startError; }

void poolRefuseThreadsFrom(int32_t k) { refuseThreadFrom = k; }

void poolStop() {
    if (workerCount == 0) return;
    running.store(0);
    for (int32_t k = 1; k < workerCount; ++k) {
        offer(workers[k]);
        workers[k].start.set();
        workers[k].done.wait();
        workers[k].thread.join();
    }
    workerCount = 0;
    nextWorker = 0;
    workers.reset();
    release(scratch1);
    release(scratch2);
    releasePlans();
}

int32_t poolWorkerCount() { return workerCount; }

void poolSubmit(drSjobFunction function, void* argument) {
    if (workerCount == 0) {
        // No workers: run at once rather than lose the job.
        function(argument);
        return;
    }
    Worker& w = workers[nextWorker];
    w.functions[w.jobCount] = function;
    w.arguments[w.jobCount] = argument;
    ++w.jobCount;
    if (w.jobCount == kQueueSize) {
        poolFlush();
        return;
    }
    nextWorker = (nextWorker + 1) % workerCount;
}

void poolFlush() {
    if (workerCount == 0) return;
    for (int32_t k = 1; k < workerCount; ++k) {
        offer(workers[k]);
        workers[k].start.set();
    }
    runQueue(&workers[0]);
    // In worker order: run a queue that is still on offer, else wait for its worker
    for (int32_t k = 1; k < workerCount; ++k) {
        Worker* w = &workers[k];
        const uint32_t offered = w->ticket.load(std::memory_order_relaxed);
        if ((offered & 1u) != 0 && take(w, offered))
            runQueue(w);
        else
            w->done.wait();
    }
    nextWorker = 0;
}

void* poolScratch(int32_t size) { return grow(scratch1, size); }
void* poolScratch2(int32_t size) { return grow(scratch2, size); }

void poolLock() { globalLock.lock(); }
void poolUnlock() { globalLock.unlock(); }

poolChunkPlan* poolChunkPlanFor(int32_t chunks) {
    PlanSlot* slot = nullptr;
    for (PlanSlot& s : planSlots)
        if (s.plan.chunks == chunks && s.plan.workers == workerCount) slot = &s;
    if (slot == nullptr) {
        // A new chunk count takes the slot used longest ago
        slot = &planSlots[0];
        for (PlanSlot& s : planSlots)
            if (s.lastUse < slot->lastUse) slot = &s;
        if (!makePlan(*slot, chunks, workerCount)) return nullptr;
    }
    slot->lastUse = ++planUses;
    poolChunkPlan& p = slot->plan;
    for (int32_t k = 0; k < p.workers; ++k)
        p.claims[k].span.store(static_cast<uint32_t>(p.first[k]) | uint64_t{static_cast<uint32_t>(p.first[k + 1])} << 32,
                               std::memory_order_relaxed);
    return &p;
}

void poolChunkPlanDone(poolChunkPlan& plan) {
    PlanSlot* found = nullptr;
    for (PlanSlot& s : planSlots)
        if (&s.plan == &plan) found = &s;
    if (found == nullptr) return;
    PlanSlot& slot = *found;
    int32_t total = 0;
    for (int32_t k = 0; k < plan.workers; ++k) {
        const int32_t count = plan.ranCount[k * poolChunkPlan::kRanCountStride];
        const int32_t* row = plan.ran + static_cast<size_t>(k) * static_cast<size_t>(plan.ranStride);
        for (int32_t i = 0; i < count; ++i) slot.owner[row[i]] = k;
        total += count;
    }
    if (total == plan.chunks)
        groupByOwner(slot);
    else
        ownByRangeRule(slot);  // cannot happen: every chunk runs once
}
