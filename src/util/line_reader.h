#ifndef ZEL_SQL_UTIL_LINE_READER_H_
#define ZEL_SQL_UTIL_LINE_READER_H_

// Reading a text file line by line without a string per line. Internal: not
// exported.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace zel::util {

/// Reads a file in large blocks and hands out its lines as views into the
/// block. Lines end at line feeds only, as with std::getline: the line feed
/// is removed and nothing else, the last line counts even without its line
/// feed, and a file that ends in a line feed has no empty line after it.
///
/// A line may hold at most max_line_length bytes, so that a file without line
/// feeds (or /dev/zero behind a link) cannot make the buffer grow without end.
class LineReader {
public:
    /// Reads the open file `fd`, which it closes at the end; `file_size` is
    /// its size at open (0 when unknown), `name` its name for messages.
    LineReader(int fd, std::size_t file_size, std::string name);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    /// Sets `line` to the next line, without its line feed, and returns true;
    /// false at the end of the file and once a read has failed. The view is
    /// valid until the next call, and the byte after it is a NUL, so that the
    /// C library can parse it in place.
    /// @throws zel::Error "Line longer than 1048576 bytes in <name>".
    bool next(std::string_view& line);

    /// True once a read failed; next() then returns false, as at the end.
    bool failed() const noexcept { return failed_; }

    /// The number of lines handed out so far: the 1-based number of the line
    /// that next() gave last, 0 before the first.
    std::size_t line_number() const noexcept { return line_number_; }

    /// The bytes of the file behind the lines handed out so far, by the size
    /// that the file had when it was opened: an estimate for sizing what is
    /// read, 0 for what is not a regular file.
    std::size_t bytes_left() const noexcept {
        const std::size_t handed_out = bytes_read_ - (end_ - begin_);
        return file_size_ > handed_out ? file_size_ - handed_out : 0;
    }

    /// The longest line, without its line feed: 1 MiB.
    static constexpr std::size_t max_line_length = std::size_t{1} << 20;

private:
    void fill();

    // The longest line and its line feed fit; bytes are read this many at once.
    static constexpr std::size_t capacity_ = max_line_length + 1;

    int fd_ = -1;
    std::string name_;
    std::unique_ptr<char[]> buffer_;  // capacity_ bytes and one for a final NUL
    std::size_t begin_ = 0;           // start of the first line not handed out yet
    std::size_t scanned_ = 0;         // bytes before this hold no line feed after begin_
    std::size_t end_ = 0;             // end of the bytes read
    std::size_t bytes_read_ = 0;
    std::size_t file_size_ = 0;
    std::size_t line_number_ = 0;
    bool at_end_ = false;
    bool failed_ = false;
};

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_LINE_READER_H_
