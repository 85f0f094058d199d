#include "util/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "util/string.h"
#include "zel/Error.h"

namespace zel::util {

LineReader::LineReader(int fd, std::size_t file_size, std::string name)
    : fd_(fd), name_(std::move(name)), file_size_(file_size) {
    try {
        buffer_.reset(new char[capacity_ + 1]);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

LineReader::~LineReader() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool LineReader::next(std::string_view& line) {
    while (!failed_) {
        char* const data = buffer_.get();
        if (void* const found = std::memchr(data + scanned_, '\n', end_ - scanned_)) {
            char* const line_feed = static_cast<char*>(found);
            *line_feed = '\0';
            line = std::string_view(data + begin_,
                                    static_cast<std::size_t>(line_feed - data) - begin_);
            begin_ = scanned_ = static_cast<std::size_t>(line_feed - data) + 1;
            ++line_number_;
            return true;
        }
        scanned_ = end_;
        if (at_end_) {
            if (begin_ == end_) {
                return false;
            }
            data[end_] = '\0';  // the last line, without a line feed
            line = std::string_view(data + begin_, end_ - begin_);
            begin_ = end_;
            ++line_number_;
            return true;
        }
        fill();
    }
    return false;
}

// Moves the unfinished line to the front of the buffer, refuses that line when
// it fills the buffer, and reads once into the free space behind it.
void LineReader::fill() {
    const std::size_t pending = end_ - begin_;
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, pending);
        scanned_ -= begin_;
        begin_ = 0;
        end_ = pending;
    }
    if (end_ == capacity_) {
        throw Error(cat("Line longer than ", max_line_length, " bytes in ", name_));
    }
    ssize_t got = 0;
    do {
        got = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        failed_ = true;
    } else if (got == 0) {
        at_end_ = true;
    } else {
        end_ += static_cast<std::size_t>(got);
        bytes_read_ += static_cast<std::size_t>(got);
    }
}

}  // namespace zel::util
