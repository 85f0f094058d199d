#include "util/trusted_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "util/error_text.h"
#include "util/path.h"
#include "util/string.h"

namespace zel::util {
namespace {

bool is_trusted_owner(uid_t owner, uid_t euid) {
    return owner == euid || owner == 0;
}

std::string owned_by(uid_t owner) {
    return cat("owned by uid ", static_cast<unsigned long>(owner));
}

constexpr int read_flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Why `folder` may not hold a trusted file, as a whole phrase; empty when it
// may. A path that is no folder is left to the open that follows, which fails
// with the system's reason.
std::string check_folder(const std::string& folder, uid_t euid) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return {};
    }
    const std::string why = why_untrusted_folder(info, euid);
    return why.empty() ? why : cat("folder ", folder, " is ", why);
}

}  // namespace

std::string why_untrusted_file(const struct stat& file, uid_t euid) {
    if (!S_ISREG(file.st_mode)) {
        return "not a regular file";
    }
    if (!is_trusted_owner(file.st_uid, euid)) {
        return owned_by(file.st_uid);
    }
    if ((file.st_mode & S_IWOTH) != 0) {
        return "writable by others";
    }
    return {};
}

std::string why_untrusted_folder(const struct stat& folder, uid_t euid) {
    if (!S_ISDIR(folder.st_mode)) {
        return "not a folder";
    }
    if (!is_trusted_owner(folder.st_uid, euid)) {
        return owned_by(folder.st_uid);
    }
    // In a sticky folder only a file's owner may rename or remove it.
    if ((folder.st_mode & S_IWOTH) != 0 && (folder.st_mode & S_ISVTX) == 0) {
        return "writable by others";
    }
    return {};
}

std::string why_untrusted_link(const struct stat& link, uid_t euid) {
    if (S_ISLNK(link.st_mode) && !is_trusted_owner(link.st_uid, euid)) {
        return cat("a symbolic link ", owned_by(link.st_uid));
    }
    return {};
}

ReadableFile::ReadableFile(const std::string& path, Trust trust) {
    const uid_t euid = ::geteuid();
    int flags = read_flags;
    bool followed_link = false;
    if (trust == Trust::owner_checked) {
        struct stat name_info {};
        if (::lstat(path.c_str(), &name_info) != 0) {
            error_ = errno;
            return;
        }
        refusal_ = check_folder(folder_of(path), euid);
        if (refusal_.empty()) {
            refusal_ = why_untrusted_link(name_info, euid);
        }
        if (!refusal_.empty()) {
            return;
        }
        followed_link = S_ISLNK(name_info.st_mode);
        if (!followed_link) {
            // Whatever replaces the name after the lstat is not followed.
            flags |= O_NOFOLLOW;
        }
    }
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        error_ = errno;
        if (error_ == ELOOP && (flags & O_NOFOLLOW) != 0) {
            refusal_ = "replaced by a symbolic link while it was opened";
        }
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error_ = errno;
        ::close(fd);
        return;
    }
    if (trust == Trust::owner_checked) {
        refusal_ = why_untrusted_file(info, euid);
        if (refusal_.empty() && followed_link) {
            // The link is ours; the folder of what it points to must be too.
            const std::unique_ptr<char, decltype(&std::free)> target(
                ::realpath(path.c_str(), nullptr), &std::free);
            refusal_ = target ? check_folder(folder_of(target.get()), euid)
                              : "a symbolic link whose target cannot be resolved";
        }
    } else if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        // A FIFO would hang the read, a device like /dev/zero never end it.
        refusal_ = "not a regular file";
    }
    if (!refusal_.empty()) {
        ::close(fd);
        return;
    }
    // Only the open was to be kept from blocking; reads of a regular file
    // never block anyway.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    is_folder_ = S_ISDIR(info.st_mode);
    size_ = S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) : 0;
}

ReadableFile::~ReadableFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int ReadableFile::release() noexcept {
    return std::exchange(fd_, -1);
}

bool ReadableFile::read_all(std::string& bytes, std::string& why) {
    bytes.resize(size_);
    std::size_t done = 0;
    for (;;) {
        // One byte more than expected: a file that grew is seen at once.
        char probe = 0;
        char* const into = done < size_ ? &bytes[done] : &probe;
        const std::size_t wanted = done < size_ ? size_ - done : 1;
        const ssize_t got = ::read(fd_, into, wanted);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            why = cat("cannot be read: ", error_text(errno));
            return false;
        }
        if (got == 0) {
            if (done < size_) {
                why = "changed size while it was read";
                return false;
            }
            return true;
        }
        if (done == size_) {
            why = "changed size while it was read";
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
}

}  // namespace zel::util
