// The writer thread of a run: frames are handed over to it as they are
// simulated and written while the next ones simulate. At most `capacity`
// frames wait in its queue; the simulation waits when it is full, so memory
// stays bounded whatever the number of frames.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "exportStream.h"

class ExportWriter {
public:
    ExportWriter(ExportStream& stream, size_t capacity);
    ~ExportWriter();
    ExportWriter(const ExportWriter&) = delete;
    ExportWriter& operator=(const ExportWriter&) = delete;

    /// Queues a frame, waiting while the queue is full. False once writing
    /// has failed (error() says why); the frame is then dropped.
    bool push(ExportFrame&& frame);

    /// Waits until every queued frame is written and ends the thread; false
    /// when writing failed, with `error`.
    bool drain(std::string& error);

    /// The frames written so far.
    Int32 written() const;

    /// A frame to capture the next one into: the last frame written, whose
    /// point arrays keep their room (no allocation and no fresh pages for
    /// the simulating thread, none given back by the writer), or an empty
    /// one.
    ExportFrame spareFrame();

private:
    void loop();
    /// Keeps a written frame for spareFrame(); called with the lock held.
    void keepSpare(ExportFrame& frame);

    ExportStream& stream_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ExportFrame> queue_;
    bool closing_ = false;
    bool failed_ = false;
    bool inline_ = false;  ///< no writer thread could start: push writes the frame itself
    Int32 written_ = 0;
    std::string error_;
    ExportFrame spare_;
    bool hasSpare_ = false;
    std::thread thread_;
};
