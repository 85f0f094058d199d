#ifndef ZEL_SQL_UTIL_TRUSTED_FILE_H_
#define ZEL_SQL_UTIL_TRUSTED_FILE_H_

// Opening the files that the library reads by itself (the component list's
// backup, the query cache's copies) so that another local user can neither
// feed them nor make the read hang or blow up. Internal: not exported.
//
// The rule follows ssh's StrictModes: a file is used only when it is a
// regular file owned by the effective user or by root and not writable by
// others, in a folder that others cannot change (owned by the effective user
// or root and not writable by others, or sticky like /tmp). A final symbolic
// link is followed only when the effective user or root owns the link; its
// target then passes the same rule, folder included.
//
// The rule does not protect against root or against the effective user
// itself: they may write any of these files anyway.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace zel::util {

/// Why a file with status `file` may not be trusted by a process whose
/// effective user is `euid`: "not a regular file", "owned by uid <n>" or
/// "writable by others"; empty when it may.
std::string why_untrusted_file(const struct stat& file, uid_t euid);

/// Why a folder with status `folder` may not hold trusted files for `euid`:
/// "not a folder", "owned by uid <n>" or "writable by others"; empty when it
/// may.
std::string why_untrusted_folder(const struct stat& folder, uid_t euid);

/// Why a symbolic link with status `link` may not be followed for `euid`:
/// "a symbolic link owned by uid <n>"; empty when it may.
std::string why_untrusted_link(const struct stat& link, uid_t euid);

/// How much of the rule a read applies.
enum class Trust {
    /// A file the caller named: read as asked, only never hung on (opened
    /// without blocking) and refused when it is a FIFO, a device or a socket.
    caller_named,
    /// A file the library falls back on by itself: the whole rule.
    owner_checked,
};

/// A file opened for reading, with its size at open. Closed with the object.
class ReadableFile {
public:
    /// Opens `path` for reading under `trust`. When that fails, is_open() is
    /// false and either refusal() says why the rule refused it or
    /// error_number() holds the errno of the failed call.
    ReadableFile(const std::string& path, Trust trust);
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;
    ~ReadableFile();

    bool is_open() const noexcept { return fd_ >= 0; }
    /// The reason the rule refused the file ("owned by uid 1001", "folder
    /// db_cache is writable by others"), empty when it did not.
    const std::string& refusal() const noexcept { return refusal_; }
    int error_number() const noexcept { return error_; }

    /// The descriptor, still owned by this object.
    int fd() const noexcept { return fd_; }
    /// Gives the descriptor away; the caller closes it.
    int release() noexcept;

    /// The size of the file when it was opened; 0 for a folder.
    std::size_t size() const noexcept { return size_; }
    /// True when the file opened is a folder (only a caller-named one can be).
    bool is_folder() const noexcept { return is_folder_; }

    /// Reads the whole file with plain reads, never more than size(): a file
    /// that grew or shrank meanwhile is refused.
    /// @return false with why() set when a read failed or the size changed.
    bool read_all(std::string& bytes, std::string& why);

private:
    int fd_ = -1;
    std::size_t size_ = 0;
    bool is_folder_ = false;
    std::string refusal_;
    int error_ = 0;
};

}  // namespace zel::util

#endif  // ZEL_SQL_UTIL_TRUSTED_FILE_H_
