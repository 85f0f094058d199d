#include "regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace zel_sql_tool {
namespace {

// Closes the descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::string read_regular_file(const std::string& name, std::size_t max_size) {
    const Descriptor fd(::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        throw FileRefused(std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        throw FileRefused(std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        throw FileRefused("not a regular file");
    }
    const std::string too_large = "larger than " + std::to_string(max_size) + " bytes";
    if (static_cast<std::uint64_t>(info.st_size) > max_size) {
        throw FileRefused(too_large);
    }
    // One byte more than allowed, to see a file that grew while it was read.
    std::string content(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t length = 0;
    while (length < content.size()) {
        const ssize_t got = ::read(fd.get(), &content[length], content.size() - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw FileRefused(std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        length += static_cast<std::size_t>(got);
        if (length == content.size() && length <= max_size) {
            content.resize(std::min(max_size + 1, content.size() * 2));
        }
    }
    if (length > max_size) {
        throw FileRefused(too_large);
    }
    content.resize(length);
    return content;
}

}  // namespace zel_sql_tool
