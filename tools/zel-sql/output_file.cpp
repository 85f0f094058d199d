#include "output_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zel/Error.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zel_sql_tool {
namespace {

// Closes a descriptor when the scope ends, however it ends.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    // Closes now, for the error that close() itself may report.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

[[noreturn]] void fail(const std::string& path, const char* step, int error) {
    throw zel::Error("Unable to write " + path + ": " + step + ": " + std::strerror(error));
}

// A name that nobody can have created first: the process id and 96 random
// bits, after a dot so that listings hide it. The target's name is cut so
// that the whole name stays within NAME_MAX.
std::string temporary_name(const std::string& base) {
    unsigned char random[12];
    std::size_t got = 0;
    while (got < sizeof(random)) {
        const ssize_t n = ::getrandom(random + got, sizeof(random) - got, 0);
        if (n < 0 && errno != EINTR) {
            throw zel::Error(std::string("Unable to draw a temporary file name: ") +
                             std::strerror(errno));
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    std::string name = "." + base.substr(0, 150) + ".tmp." + std::to_string(::getpid()) + ".";
    for (const unsigned char byte : random) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        name += hex;
    }
    return name;
}

void write_all(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(path, "write", errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

void write_output_file(const std::string& path, std::string_view bytes) {
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") {
        throw zel::Error("Unable to write " + path + ": not a file name");
    }

    // Every step relative to the folder's descriptor: a folder swapped while
    // we write gets neither a stray temporary file nor the new file.
    const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        fail(path, "open the folder", errno);
    }
    const std::string temporary = temporary_name(base);
    Descriptor file(::openat(dir.get(), temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.get() < 0) {
        fail(path, "create a temporary file", errno);
    }
    try {
        // An operator who made the old file private keeps it private.
        struct stat previous {};
        if (::fstatat(dir.get(), base.c_str(), &previous, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(previous.st_mode) && previous.st_uid == ::geteuid() &&
            ::fchmod(file.get(), previous.st_mode & 0777) != 0) {
            fail(path, "set the permission bits", errno);
        }
        write_all(file.get(), bytes, path);
        if (::fsync(file.get()) != 0) {
            fail(path, "sync", errno);
        }
        if (file.close() != 0) {
            fail(path, "close", errno);
        }
        // rename() replaces a link at the target's name, not what it points to.
        if (::renameat(dir.get(), temporary.c_str(), dir.get(), base.c_str()) != 0) {
            fail(path, "rename", errno);
        }
    } catch (...) {
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        throw;
    }
    // The rename itself survives a crash once the folder is synced; the file
    // is complete either way, so a failure here is not reported.
    ::fsync(dir.get());
}

}  // namespace zel_sql_tool
