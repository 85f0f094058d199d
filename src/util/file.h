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
///
/// The temporary name holds the writer's process id and 96 random bits, so
/// that nobody can create it first. Temporary files of the same target that a
/// writer left behind when it died are removed before a new one is created.
class AtomicFileWriter {
public:
    /// What the new file's permission bits are.
    enum class Mode {
        /// Those of the file replaced, when it is a regular file of the
        /// effective user, the 0755 bits only (never writable by group or
        /// others); otherwise 0666 less the umask.
        keep_previous,
        /// Always 0600: the file may hold anything.
        private_to_owner,
    };

    /// Creates the temporary file beside `target`; is_open() tells whether
    /// that worked. The folder is opened once, here: the temporary file is
    /// created, renamed and removed relative to it, and it is synced after
    /// the rename, whatever is put at the folder's name meanwhile.
    explicit AtomicFileWriter(std::string target, Mode mode = Mode::keep_previous);
    /// The same for the file `name` (a name without '/') in the folder open
    /// at `folder_fd`, which the writer duplicates: the caller keeps its own.
    AtomicFileWriter(int folder_fd, std::string name, Mode mode);
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

    /// The system's reason (strerror) for the first step that failed: the
    /// creation of the temporary file, a write, the sync or the rename.
    std::string error_text() const;

    static constexpr std::size_t capacity = std::size_t{1} << 20;

private:
    void create();
    void flush();
    void discard() noexcept;

    std::string name_;
    std::string temp_name_;
    int folder_fd_ = -1;
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool failed_ = false;
    int error_ = 0;
    Mode mode_;
};

/// True when `name`, an entry of a folder, is the temporary file of a writer
/// (".<file name>.tmp.<pid>.<suffix>") that died: its process no longer
/// exists, or it is older than an hour. Only a regular file of the effective
/// user counts. `name_prefix` limits the check to the temporary files of one
/// target (".<file name>.tmp."); empty, it accepts those of any target.
bool is_stale_temp_file(const std::string& folder, const std::string& name,
                        const std::string& name_prefix);

/// is_stale_temp_file for an entry of the folder open at `folder_fd`.
bool is_stale_temp_file_at(int folder_fd, const std::string& name, const std::string& name_prefix);

/// Removes the stale temporary files (is_stale_temp_file) in `folder` whose
/// names begin with `name_prefix`, and returns how many. Errors are ignored:
/// the files are only litter.
std::size_t remove_stale_temp_files(const std::string& folder, const std::string& name_prefix);

/// remove_stale_temp_files in the folder open at `folder_fd`.
std::size_t remove_stale_temp_files_at(int folder_fd, const std::string& name_prefix);

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_FILE_H_
