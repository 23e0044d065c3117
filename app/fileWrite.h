// Writing output files so that a failure never leaves a truncated file under
// its final name, and so that nothing already in the folder (a symbolic link
// planted there, a file of the same temporary name) is ever written through.
//
// A file is written into a temporary file created fresh and exclusively in
// the destination folder (O_CREAT | O_EXCL: an existing name, a symbolic link
// included, is never opened), then renamed over the final name. rename()
// replaces a final name that is a symbolic link by the file itself; it never
// writes where the link points. The file gets the permissions of any new
// file (0666 less the process's creation mask), from open itself.
#pragma once

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace filewrite_detail {

/// Creates the file `pattern` names, with its last six characters ("XXXXXX")
/// replaced by random letters, exclusively (O_CREAT | O_EXCL: an existing
/// name, a symbolic link included, is never opened; a taken name makes the
/// next one be tried). It gets `mode` less the process's creation mask, as
/// any new file does. Returns the descriptor, or -1 with errno.
inline int createExclusive(std::string& pattern, mode_t mode) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local uint64_t state = [] {
        uint64_t seed = 0;
        if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed))
            seed = static_cast<uint64_t>(::getpid()) << 32 ^ reinterpret_cast<uintptr_t>(&seed);
        return seed;
    }();
    if (pattern.size() < 6) {
        errno = EINVAL;
        return -1;
    }
    char* letters = pattern.data() + pattern.size() - 6;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        // splitmix64: a fresh 64-bit value per name
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int i = 0; i < 6; ++i, z /= 62) letters[i] = kLetters[z % 62];
        const int fd = ::open(pattern.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
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

/// Writes every byte of the pieces, in one call where the system takes them all.
inline bool writeAllv(int fd, iovec* pieces, int count) {
    while (count > 0) {
        const ssize_t n = ::writev(fd, pieces, std::min(count, IOV_MAX));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= pieces->iov_len) done -= pieces->iov_len, ++pieces, --count;
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + done;
            pieces->iov_len -= done;
        }
    }
    return true;
}

}  // namespace filewrite_detail

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
            fd_ = filewrite_detail::createExclusive(pattern, 0600);
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
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
    size_t size_ = 0;
};

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
        fd_ = filewrite_detail::createExclusive(pattern, 0666);
        if (fd_ < 0) {
            error = "cannot create a file beside " + file.string() + ": " + std::strerror(errno) +
                    "; check that the folder exists and is writable";
            return false;
        }
        temporary_ = pattern;
        return true;
    }

    /// Appends. Small pieces gather in a buffer of 64 KiB (taken once, not
    /// grown); a piece that does not fit goes out at once, with what the
    /// buffer holds, in one call.
    bool write(std::string_view data, std::string& error) {
        if (buffer_.size() + data.size() <= kBufferSize) {
            if (buffer_.capacity() < kBufferSize) buffer_.reserve(kBufferSize);
            buffer_.append(data);
            return true;
        }
        if (data.size() < kBufferSize / 2) {
            if (!flush(error)) return false;
            buffer_.append(data);
            return true;
        }
        iovec pieces[2] = {{buffer_.data(), buffer_.size()}, {const_cast<char*>(data.data()), data.size()}};
        if (!filewrite_detail::writeAllv(fd_, pieces, 2)) return failed("write", error);
        buffer_.clear();
        return true;
    }
    bool write(const void* data, size_t size, std::string& error) {
        return write(std::string_view(static_cast<const char*>(data), size), error);
    }
    /// Appends the pieces in one call, without copying them.
    bool writePieces(std::initializer_list<std::string_view> pieces, std::string& error) {
        if (!flush(error)) return false;
        iovec list[8];
        const size_t count = std::min(pieces.size(), std::size(list));
        for (size_t i = 0; i < count; ++i)
            list[i] = {const_cast<char*>(pieces.begin()[i].data()), pieces.begin()[i].size()};
        if (!filewrite_detail::writeAllv(fd_, list, static_cast<int>(count))) return failed("write", error);
        for (size_t i = count; i < pieces.size(); ++i)
            if (!filewrite_detail::writeAll(fd_, pieces.begin()[i].data(), pieces.begin()[i].size()))
                return failed("write", error);
        return true;
    }

    /// Appends `size` bytes of `source` from `offset`, copied by the system
    /// from file to file where it can (no pass through this process's memory).
    bool copyFrom(const ScratchFile& source, size_t offset, size_t size, std::string& error) {
        if (!flush(error)) return false;
        off_t from = static_cast<off_t>(offset);
        while (size > 0) {
            const ssize_t n = ::copy_file_range(source.descriptor(), &from, fd_, nullptr, size, 0);
            if (n > 0) {
                size -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                errno == EBADF || errno == EPERM)
                break;  // not between these files: read and write instead
            return failed("write", error);
        }
        char chunk[kBufferSize / 4];
        while (size > 0) {
            const size_t n = std::min(size, sizeof chunk);
            if (::pread(source.descriptor(), chunk, n, from) != static_cast<ssize_t>(n)) {
                error = std::string("cannot read back a scratch file of the exports: ") + std::strerror(errno);
                return false;
            }
            if (!filewrite_detail::writeAll(fd_, chunk, n)) return failed("write", error);
            from += static_cast<off_t>(n);
            size -= n;
        }
        return true;
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
    static constexpr size_t kBufferSize = size_t(64) << 10;

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
    return out.create(file, error) && out.writePieces(pieces, error) && out.commit(error);
}

