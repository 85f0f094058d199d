#include "util/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "util/string.h"

namespace zel::util {
namespace {

// A file descriptor that is closed when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

bool write_all(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A temporary file in the folder of `target`, created exclusively. Returns its
// descriptor (or -1) and stores its name in `temp_name`. The name keeps at
// most 64 bytes of the target's, so that a target whose name is near the file
// system's limit still gets a temporary file.
int create_temp_file(const std::string& target, std::string& temp_name) {
    static std::atomic<unsigned> counter{0};
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base =
        target.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 64);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_name = cat(folder, ".", base, ".tmp.", static_cast<long>(::getpid()), ".",
                        counter.fetch_add(1));
        const int fd = ::open(temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

AtomicFileWriter::AtomicFileWriter(std::string target)
    : target_(std::move(target)), buffer_(new char[capacity]) {
    fd_ = create_temp_file(target_, temp_name_);
}

AtomicFileWriter::~AtomicFileWriter() {
    discard();
}

void AtomicFileWriter::write(std::string_view bytes) {
    if (bytes.size() <= capacity - used_) {
        std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return;
    }
    flush();
    if (bytes.size() < capacity) {
        std::memcpy(buffer_.get(), bytes.data(), bytes.size());
        used_ = bytes.size();
    } else if (!failed_ && !write_all(fd_, bytes.data(), bytes.size())) {
        failed_ = true;
    }
}

void AtomicFileWriter::flush() {
    if (!failed_ && (fd_ < 0 || !write_all(fd_, buffer_.get(), used_))) {
        failed_ = true;
    }
    used_ = 0;
}

bool AtomicFileWriter::commit() {
    if (fd_ < 0) {
        return false;
    }
    flush();
    struct stat previous {};
    if (::stat(target_.c_str(), &previous) == 0) {
        // Keep the permissions that the previous version had.
        ::fchmod(fd_, previous.st_mode & 07777);
    }
    const int fd = std::exchange(fd_, -1);
    const bool synced = !failed_ && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !synced || ::rename(temp_name_.c_str(), target_.c_str()) != 0) {
        ::unlink(temp_name_.c_str());
        return false;
    }
    // Make the rename itself durable; a folder that cannot be synced is no
    // reason to report the written file as lost.
    const FileDescriptor folder(
        ::open(folder_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) {
        ::fsync(folder.get());
    }
    return true;
}

void AtomicFileWriter::discard() noexcept {
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
        ::unlink(temp_name_.c_str());
    }
}

}  // namespace zel::util
