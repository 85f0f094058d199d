#ifndef ZEL_SQL_UTIL_FILE_DESCRIPTOR_H_
#define ZEL_SQL_UTIL_FILE_DESCRIPTOR_H_

// Owning a file descriptor. Internal: not exported.

#include <unistd.h>

#include <utility>

namespace zel::util {

/// A file descriptor that is closed when it goes out of scope or is reset.
/// -1 stands for none. Not copyable; not thread-safe.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    /// Closes the descriptor held and takes `fd` instead.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int get() const noexcept { return fd_; }
    /// Gives the descriptor away; the caller closes it.
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_FILE_DESCRIPTOR_H_
