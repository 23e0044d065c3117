#include "pool.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <semaphore>
#include <thread>

namespace {

constexpr int32_t kQueueSize = 128;

/// One worker thread with its private queue. The calling thread writes the
/// queue only between flushes; the start/done semaphores (auto-reset events)
/// hand the queue over and back, which also orders the memory accesses.
struct Worker {
    drSjobFunction functions[kQueueSize] = {};
    void* arguments[kQueueSize] = {};
    int32_t jobCount = 0;
    std::thread thread;
    std::binary_semaphore start{0};
    std::binary_semaphore done{0};
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

void workerLoop(Worker* w) {
    if (running.load() == 0) return;
    for (;;) {
        w->start.acquire();
        // Last in, first out: the count names the slot of the job to run.
        while (w->jobCount > 0) {
            --w->jobCount;
            w->functions[w->jobCount](w->arguments[w->jobCount]);
        }
        w->done.release();
        if (running.load() == 0) break;
    }
}

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
    if (P <= 1) return;  // one processor: every pass runs inline
    workerCount = P;
    running.store(1);
    nextWorker = 0;
    workers.reset(new Worker[static_cast<size_t>(P)]);
    for (int32_t k = 0; k < P; ++k) workers[k].thread = std::thread(workerLoop, &workers[k]);
}

void poolStop() {
    if (workerCount == 0) return;
    running.store(0);
    for (int32_t k = 0; k < workerCount; ++k) {
        workers[k].start.release();
        workers[k].done.acquire();
        workers[k].thread.join();
    }
    workerCount = 0;
    nextWorker = 0;
    workers.reset();
    release(scratch1);
    release(scratch2);
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
    for (int32_t k = 0; k < workerCount; ++k) workers[k].start.release();
    for (int32_t k = 0; k < workerCount; ++k) workers[k].done.acquire();
    nextWorker = 0;
}

void* poolScratch(int32_t size) { return grow(scratch1, size); }
void* poolScratch2(int32_t size) { return grow(scratch2, size); }

void poolLock() { globalLock.lock(); }
void poolUnlock() { globalLock.unlock(); }
