#include "util/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <signal.h>
#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "util/error_text.h"
#include "util/file_descriptor.h"
#include "util/hex.h"
#include "util/path.h"
#include "util/string.h"

namespace zel::util {
namespace {

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

constexpr auto stale_age = std::chrono::hours(1);

// The prefix of the temporary files' names of the file `name`. It keeps at
// most 64 bytes of the name, so that a target whose name is near the file
// system's limit still gets a temporary file.
std::string temp_prefix(const std::string& name) {
    return cat(".", name.substr(0, 64), ".tmp.");
}

std::string base_name(const std::string& target) {
    const auto slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

// 96 random bits in hexadecimal, from the kernel's generator; false with
// errno set when it fails.
bool random_suffix(std::string& suffix) {
    unsigned char bits[12];
    std::size_t got = 0;
    while (got < sizeof(bits)) {
        const ssize_t n = ::getrandom(bits + got, sizeof(bits) - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    suffix = to_hex(bits, bits + sizeof(bits));
    return true;
}

// A temporary file for `name` in the folder open at `folder_fd`, created
// exclusively with `mode` (less the umask). Returns its descriptor, or -1 with
// errno set, and stores its name in `temp_name`. A name that exists already is
// someone else's: a few more random names are tried, then the write fails.
int create_temp_file(int folder_fd, const std::string& name, mode_t mode, std::string& temp_name) {
    const std::string prefix = cat(temp_prefix(name), static_cast<long>(::getpid()), ".");
    std::string suffix;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (!random_suffix(suffix)) {
            return -1;
        }
        temp_name = cat(prefix, suffix);
        const int fd = ::openat(folder_fd, temp_name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

}  // namespace

bool is_stale_temp_file_at(int folder_fd, const std::string& name, const std::string& name_prefix) {
    if (name.size() < 2 || name[0] != '.' ||
        (name_prefix.empty() ? name.find(".tmp.") == std::string::npos
                             : !starts_with(name, name_prefix))) {
        return false;
    }
    // The process id follows the last ".tmp." and ends at the next dot.
    const auto tmp = name.rfind(".tmp.");
    if (tmp == std::string::npos) {
        return false;
    }
    const char* const digits = name.c_str() + tmp + 5;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(digits, &end, 10);
    if (end == digits || *end != '.' || errno != 0 || pid <= 0) {
        return false;
    }
    struct stat info {};
    if (::fstatat(folder_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        return false;
    }
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(info.st_mtim.tv_sec) +
            std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
    if (std::chrono::system_clock::now() - modified > stale_age) {
        return true;
    }
    // Another thread of this process may be writing it right now.
    return pid != static_cast<long>(::getpid()) && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
           errno == ESRCH;
}

bool is_stale_temp_file(const std::string& folder, const std::string& name,
                        const std::string& name_prefix) {
    const FileDescriptor folder_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder_fd.get() >= 0 && is_stale_temp_file_at(folder_fd.get(), name, name_prefix);
}

std::size_t remove_stale_temp_files_at(int folder_fd, const std::string& name_prefix) {
    // The listing gets a descriptor of its own, of the very same folder.
    const int listing_fd = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
    if (listing_fd < 0) {
        return 0;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listing_fd), &::closedir);
    if (!dir) {
        ::close(listing_fd);
        return 0;
    }
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (is_stale_temp_file_at(folder_fd, name, name_prefix) &&
            ::unlinkat(folder_fd, name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    return removed;
}

std::size_t remove_stale_temp_files(const std::string& folder, const std::string& name_prefix) {
    const FileDescriptor folder_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder_fd.get() < 0 ? 0 : remove_stale_temp_files_at(folder_fd.get(), name_prefix);
}

AtomicFileWriter::AtomicFileWriter(std::string target, Mode mode)
    : name_(base_name(target)), buffer_(new char[capacity]), mode_(mode) {
    folder_fd_ = ::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd_ < 0) {
        error_ = errno;
        return;
    }
    create();
}

AtomicFileWriter::AtomicFileWriter(int folder_fd, std::string name, Mode mode)
    : name_(std::move(name)), buffer_(new char[capacity]), mode_(mode) {
    folder_fd_ = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
    if (folder_fd_ < 0) {
        error_ = errno;
        return;
    }
    create();
}

void AtomicFileWriter::create() {
    if (name_.empty() || name_ == "." || name_ == ".." || name_.find('/') != std::string::npos) {
        error_ = EISDIR;
        return;
    }
    remove_stale_temp_files_at(folder_fd_, temp_prefix(name_));
    fd_ = create_temp_file(folder_fd_, name_, mode_ == Mode::private_to_owner ? 0600 : 0666,
                           temp_name_);
    if (fd_ < 0) {
        error_ = errno;
    }
}

AtomicFileWriter::~AtomicFileWriter() {
    discard();
    if (folder_fd_ >= 0) {
        ::close(folder_fd_);
    }
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
        error_ = errno;
    }
}

void AtomicFileWriter::flush() {
    if (!failed_ && (fd_ < 0 || !write_all(fd_, buffer_.get(), used_))) {
        failed_ = true;
        error_ = fd_ < 0 ? EBADF : errno;
    }
    used_ = 0;
}

bool AtomicFileWriter::commit() {
    if (fd_ < 0) {
        return false;
    }
    flush();
    struct stat previous {};
    if (mode_ == Mode::keep_previous &&
        ::fstatat(folder_fd_, name_.c_str(), &previous, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(previous.st_mode) && previous.st_uid == ::geteuid()) {
        // Keep the permissions that the previous version had, save the
        // setuid, setgid and sticky bits and the right of others to write
        // it: a file others may change would not be read back. Never those
        // of a link's target, nor of a file that someone else owns: they are
        // not this user's choice.
        ::fchmod(fd_, previous.st_mode & 0755);
    }
    const int fd = std::exchange(fd_, -1);
    const bool synced = !failed_ && ::fsync(fd) == 0;
    if (!failed_ && !synced) {
        error_ = errno;
    }
    const bool closed = ::close(fd) == 0;
    if (synced && !closed) {
        error_ = errno;
    }
    // Renamed and removed relative to the folder opened at the start: a folder
    // swapped meanwhile gets neither the file nor a stray temporary file.
    if (!closed || !synced) {
        ::unlinkat(folder_fd_, temp_name_.c_str(), 0);
        return false;
    }
    if (::renameat(folder_fd_, temp_name_.c_str(), folder_fd_, name_.c_str()) != 0) {
        error_ = errno;
        ::unlinkat(folder_fd_, temp_name_.c_str(), 0);
        return false;
    }
    // Make the rename itself durable; a folder that cannot be synced is no
    // reason to report the written file as lost.
    ::fsync(folder_fd_);
    return true;
}

std::string AtomicFileWriter::error_text() const {
    return util::error_text(error_);
}

void AtomicFileWriter::discard() noexcept {
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
        ::unlinkat(folder_fd_, temp_name_.c_str(), 0);
    }
}

}  // namespace zel::util
