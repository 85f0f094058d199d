#ifndef ZEL_SQL_UTIL_TRUSTED_FILE_H_
#define ZEL_SQL_UTIL_TRUSTED_FILE_H_

// Opening the files that the library reads by itself (the component list's
// backup, the query cache's copies) so that another local user can neither
// feed them nor make the read hang or blow up. Internal: not exported.
//
// The rule follows ssh's StrictModes. A file is used only when it is a
// regular file with one link, owned by the effective user or by root, that
// nobody else may write: not by its mode's other bits, nor by its group
// unless the owner is that group's only member, nor through an access list
// (ACL). Every folder a name of the path is looked up in, from the root down
// and through every symbolic link, passes the same rule as a folder (save that
// a sticky folder such as /tmp may be writable by all); every link on the way
// must be the effective user's or root's. The path is walked one name at a
// time with openat and O_NOFOLLOW, so what was checked is what is read.
//
// The rule does not protect against root or against the effective user
// itself: they may write any of these files anyway.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace zel::util {

/// Why a file with status `file` may not be trusted by a process whose
/// effective user is `euid`, by its status alone (no access list): "not a
/// regular file", "owned by uid <n>", "a file with <n> links", "writable by
/// others" or "writable by group <gid>"; empty when it may.
std::string why_untrusted_file(const struct stat& file, uid_t euid);

/// Why a folder with status `folder` may not hold trusted files for `euid`:
/// "not a folder", "owned by uid <n>", "writable by others" or "writable by
/// group <gid>"; empty when it may.
std::string why_untrusted_folder(const struct stat& folder, uid_t euid);

/// Why a symbolic link with status `link` may not be followed for `euid`:
/// "a symbolic link owned by uid <n>"; empty when it may.
std::string why_untrusted_link(const struct stat& link, uid_t euid);

/// What open_trusted opens at the end of the path.
enum class TrustedKind { file, folder };

/// The result of open_trusted: an open descriptor (the caller closes it) and
/// its status, or refusal (a phrase naming the folder, link or file at
/// fault) or error (the errno of the call that failed).
struct TrustedOpen {
    int fd = -1;
    struct stat info {};
    std::string refusal;
    int error = 0;
};

/// Opens `path` under the whole rule: a file for reading (without blocking,
/// so a FIFO is refused rather than waited for) or a folder (O_DIRECTORY, for
/// creating files relative to it).
TrustedOpen open_trusted(const std::string& path, TrustedKind kind);

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
