#ifndef ZEL_SQL_UTIL_FILE_H_
#define ZEL_SQL_UTIL_FILE_H_

// Replacing a file atomically. Internal: not exported.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace zel::util {

/// Writes a new version of a file so that nobody ever sees half of it: the
/// bytes go to a temporary file in the target's folder, which commit() syncs
/// and renames over the target. A reader, another process or a crash sees the
/// old file or the new one, and a failure at any step leaves the old file as it
/// was. Two writers of the same target each leave one complete file; the last
/// rename wins.
///
/// Writes are buffered (about 1 MiB) and a failed write is remembered, so a
/// caller may write everything and ask once, at commit(), whether it worked.
/// A writer destroyed without a successful commit() removes its temporary
/// file.
class AtomicFileWriter {
public:
    /// Creates the temporary file beside `target`; is_open() tells whether
    /// that worked.
    explicit AtomicFileWriter(std::string target);
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    ~AtomicFileWriter();

    /// False when the temporary file could not be created.
    bool is_open() const noexcept { return fd_ >= 0; }

    /// Appends `bytes` to the new file.
    void write(std::string_view bytes);

    /// Appends one character to the new file.
    void put(char c) {
        if (used_ == capacity) {
            flush();
        }
        buffer_[used_++] = c;
    }

    /// A place for at least `count` bytes (at most `capacity`) at the end of
    /// the buffer; advance() then takes the bytes written there. For
    /// formatting numbers in place.
    char* reserve(std::size_t count) {
        if (capacity - used_ < count) {
            flush();
        }
        return buffer_.get() + used_;
    }
    void advance(std::size_t count) noexcept { used_ += count; }

    /// Writes what is buffered, gives the new file the permission bits of the
    /// file it replaces, syncs it, renames it over the target and syncs the
    /// folder. False when any write or any of these steps failed; the target
    /// is then as it was and the temporary file is gone.
    bool commit();

    static constexpr std::size_t capacity = std::size_t{1} << 20;

private:
    void flush();
    void discard() noexcept;

    std::string target_;
    std::string temp_name_;
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool failed_ = false;
};

/// The folder part of `path`: "." for a bare file name, "/" for a file in the
/// root folder.
std::string folder_of(const std::string& path);

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_FILE_H_
