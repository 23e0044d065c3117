// Writing output files so that a failure never leaves a truncated file under
// its final name, and so that nothing already in the folder (a symbolic link
// planted there, a file of the same temporary name) is ever written through.
//
// A file is written into a temporary file created fresh and exclusively in
// the destination folder (O_CREAT | O_EXCL: an existing name, a symbolic link
// included, is never opened), then renamed over the final name. rename()
// replaces a final name that is a symbolic link by the file itself; it never
// writes where the link points.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace filewrite_detail {

/// The process's file creation mask, read without changing it (umask() would
/// set it for a moment, under the feet of other threads creating files).
inline mode_t creationMask() {
    static const mode_t mask = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
        return static_cast<mode_t>(022);
    }();
    return mask;
}

inline bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace filewrite_detail

/// One output file being written. create() makes the temporary file, write()
/// appends, commit() renames it to the final name; a file that is not
/// committed is removed when the object goes (failure, interruption).
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& o) noexcept { *this = std::move(o); }
    OutputFile& operator=(OutputFile&& o) noexcept {
        if (this != &o) {
            abandon();
            fd_ = o.fd_, o.fd_ = -1;
            file_ = std::move(o.file_), temporary_ = std::move(o.temporary_);
            buffer_ = std::move(o.buffer_);
        }
        return *this;
    }
    ~OutputFile() { abandon(); }

    bool create(const std::filesystem::path& file, std::string& error) {
        abandon();
        file_ = file;
        // "<name>.partial.XXXXXX" beside the final file; a name too long for
        // that suffix gets a short one instead.
        const std::string name = file.filename().string();
        const std::string stem = name.size() + 15 <= NAME_MAX ? name : std::string("drapeon");
        std::string pattern = (file.parent_path() / (stem + ".partial.XXXXXX")).string();
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0) {
            error = "cannot create a file beside " + file.string() + ": " + std::strerror(errno) +
                    "; check that the folder exists and is writable";
            return false;
        }
        temporary_ = pattern;
        ::fchmod(fd_, 0666 & ~filewrite_detail::creationMask());
        return true;
    }

    /// Appends through a buffer of 1 MiB.
    bool write(std::string_view data, std::string& error) {
        if (buffer_.size() + data.size() > kBufferSize && !flush(error)) return false;
        if (data.size() >= kBufferSize) {
            if (!filewrite_detail::writeAll(fd_, data.data(), data.size())) return failed("write", error);
            return true;
        }
        buffer_.append(data);
        return true;
    }
    bool write(const void* data, size_t size, std::string& error) {
        return write(std::string_view(static_cast<const char*>(data), size), error);
    }

    /// Overwrites bytes already written (a header's count fixed at the end).
    bool patch(size_t offset, const void* data, size_t size, std::string& error) {
        if (!flush(error)) return false;
        if (::pwrite(fd_, data, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
            return failed("write", error);
        return true;
    }

    bool commit(std::string& error) {
        if (!flush(error)) return false;
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            fd_ = -1;
            failed("write", error);
            remove();
            return false;
        }
        if (std::rename(temporary_.c_str(), file_.c_str()) != 0) {
            error = "cannot rename " + temporary_ + " to " + file_.string() + ": " + std::strerror(errno);
            remove();
            return false;
        }
        temporary_.clear();
        return true;
    }

    /// Removes the unfinished file.
    void abandon() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        remove();
        buffer_.clear();
    }

    bool isOpen() const { return fd_ >= 0; }
    const std::filesystem::path& path() const { return file_; }

private:
    static constexpr size_t kBufferSize = size_t(1) << 20;

    bool flush(std::string& error) {
        if (buffer_.empty()) return true;
        if (!filewrite_detail::writeAll(fd_, buffer_.data(), buffer_.size())) return failed("write", error);
        buffer_.clear();
        return true;
    }
    bool failed(const char* what, std::string& error) {
        const int e = errno;
        error = std::string("cannot ") + what + " " + file_.string() + ": " + std::strerror(e) +
                (e == ENOSPC ? " (the disk is full)" : "");
        return false;
    }
    void remove() {
        if (!temporary_.empty()) ::unlink(temporary_.c_str());
        temporary_.clear();
    }

    int fd_ = -1;
    std::filesystem::path file_;
    std::string temporary_;
    std::string buffer_;
};

/// Writes the pieces, one after another, into a fresh temporary file and
/// renames that to `file` once it is complete; on any failure the temporary
/// file is removed and `error` names the file and the problem. The pieces are
/// written as given, so a large payload need not be copied into one string.
inline bool writeFileAtomically(const std::filesystem::path& file, std::initializer_list<std::string_view> pieces,
                                std::string& error) {
    OutputFile out;
    if (!out.create(file, error)) return false;
    for (std::string_view piece : pieces)
        if (!out.write(piece, error)) return false;
    return out.commit(error);
}

/// A scratch file in `folder` without a name: it disappears when closed,
/// whatever ends the process. Data the exports gather frame by frame waits
/// there instead of in memory.
class ScratchFile {
public:
    ScratchFile() = default;
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ScratchFile(ScratchFile&& o) noexcept : fd_(o.fd_), size_(o.size_) { o.fd_ = -1; }
    ScratchFile& operator=(ScratchFile&& o) noexcept {
        if (this != &o) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = o.fd_, size_ = o.size_, o.fd_ = -1;
        }
        return *this;
    }
    ~ScratchFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(const std::filesystem::path& folder, std::string& error) {
        fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            // File systems without unnamed files: a fresh name, removed at once.
            std::string pattern = (folder / "drapeon.scratch.XXXXXX").string();
            fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
            if (fd_ >= 0) ::unlink(pattern.c_str());
        }
        if (fd_ < 0) {
            error = "cannot create a scratch file in " + folder.string() + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool append(const void* data, size_t size, std::string& error) {
        if (::pwrite(fd_, data, size, static_cast<off_t>(size_)) != static_cast<ssize_t>(size)) {
            error = std::string("cannot write a scratch file of the exports: ") + std::strerror(errno);
            return false;
        }
        size_ += size;
        return true;
    }
    bool read(size_t offset, void* data, size_t size, std::string& error) const {
        if (::pread(fd_, data, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size)) {
            error = std::string("cannot read back a scratch file of the exports: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool isOpen() const { return fd_ >= 0; }
    size_t size() const { return size_; }

private:
    int fd_ = -1;
    size_t size_ = 0;
};
