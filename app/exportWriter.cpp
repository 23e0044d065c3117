#include "exportWriter.h"

#include <system_error>

ExportWriter::ExportWriter(ExportStream& stream, size_t capacity)
    : stream_(stream), capacity_(capacity > 0 ? capacity : 1) {
    // A process that has used up its threads (every worker the system let
    // start) still writes its results: on the simulating thread, frame by frame
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
        inline_ = true;
    }
}

ExportWriter::~ExportWriter() {
    std::string ignored;
    drain(ignored);
}

bool ExportWriter::push(ExportFrame&& frame) {
    if (inline_) {
        if (failed_) return false;
        std::string error;
        if (stream_.add(frame, error)) {
            std::lock_guard lock(mutex_);
            ++written_;
            keepSpare(frame);
            return true;
        }
        failed_ = true;
        error_ = error;
        return false;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failed_ || queue_.size() < capacity_; });
    if (failed_) return false;
    queue_.push_back(std::move(frame));
    changed_.notify_all();
    return true;
}

bool ExportWriter::drain(std::string& error) {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    if (failed_) error = error_;
    return !failed_;
}

ExportFrame ExportWriter::spareFrame() {
    std::lock_guard lock(mutex_);
    if (!hasSpare_) return {};
    hasSpare_ = false;
    return std::move(spare_);
}

void ExportWriter::keepSpare(ExportFrame& frame) {
    if (hasSpare_) return;
    // The polygons and own points are the first frame's alone.
    frame.polygons.clear();
    frame.ownPoints.clear();
    spare_ = std::move(frame);
    hasSpare_ = true;
}

Int32 ExportWriter::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

void ExportWriter::loop() {
    for (;;) {
        ExportFrame frame;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;
            frame = std::move(queue_.front());
            queue_.pop_front();
        }
        // The slot is free once the frame is taken: the simulation goes on
        // while it is written.
        changed_.notify_all();
        std::string error;
        const bool ok = stream_.add(frame, error);
        std::lock_guard lock(mutex_);
        if (ok) {
            ++written_;
            keepSpare(frame);
            continue;
        }
        failed_ = true;
        error_ = error;
        queue_.clear();
        changed_.notify_all();
        return;
    }
}
