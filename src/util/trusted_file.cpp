#include "util/trusted_file.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "util/error_text.h"
#include "util/file_descriptor.h"
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
constexpr int path_flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
// As many links as the kernel follows in one path.
constexpr int max_links = 40;

// True when the group `gid` lets nobody but `owner` write: it has members,
// and every one of them, by primary group or by the group's member list, is
// `owner`. A group nobody is in (as setgid programs use) does not count.
bool only_member_is(gid_t gid, uid_t owner) {
    std::vector<char> buffer(16384);
    struct group group {};
    struct group* found_group = nullptr;
    if (::getgrgid_r(gid, &group, buffer.data(), buffer.size(), &found_group) != 0 ||
        found_group == nullptr) {
        return false;
    }
    std::vector<char> owner_buffer(16384);
    struct passwd owner_entry {};
    struct passwd* found_owner = nullptr;
    if (::getpwuid_r(owner, &owner_entry, owner_buffer.data(), owner_buffer.size(), &found_owner) !=
            0 ||
        found_owner == nullptr) {
        return false;
    }
    int members = 0;
    if (group.gr_mem[0] != nullptr) {
        if (std::strcmp(group.gr_mem[0], owner_entry.pw_name) != 0 || group.gr_mem[1] != nullptr) {
            return false;
        }
        ++members;
    }
    // The user database is enumerated through one cursor per process.
    static std::mutex enumeration;
    const std::lock_guard<std::mutex> lock(enumeration);
    std::vector<char> entry_buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    bool others = false;
    ::setpwent();
    while (::getpwent_r(&entry, entry_buffer.data(), entry_buffer.size(), &found) == 0 &&
           found != nullptr) {
        if (entry.pw_gid == gid) {
            ++members;
            others = others || entry.pw_uid != owner;
        }
    }
    ::endpwent();
    return !others && members > 0;
}

// A POSIX access ACL as the kernel stores it in "system.posix_acl_access":
// a little-endian version 2, then entries of tag, permissions and id.
struct AclEntry {
    std::uint16_t tag;
    std::uint16_t permissions;
    std::uint32_t id;
};
constexpr std::uint16_t acl_user = 0x02;
constexpr std::uint16_t acl_group_obj = 0x04;
constexpr std::uint16_t acl_group = 0x08;
constexpr std::uint16_t acl_mask = 0x10;
constexpr std::uint16_t acl_write = 0x02;

std::uint32_t little_endian(const unsigned char* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

// The access ACL of the file open at `fd` (also an O_PATH descriptor):
// nullopt when it has none, or `why` set when it cannot be read or parsed.
std::optional<std::vector<AclEntry>> read_acl(int fd, std::string& why) {
    static constexpr const char* name = "system.posix_acl_access";
    unsigned char bytes[4096];
    ssize_t size = ::fgetxattr(fd, name, bytes, sizeof(bytes));
    if (size < 0 && errno == EBADF) {  // an O_PATH descriptor
        size = ::getxattr(cat("/proc/self/fd/", fd).c_str(), name, bytes, sizeof(bytes));
    }
    if (size < 0) {
        if (errno == ENODATA || errno == ENOTSUP) {
            return std::nullopt;
        }
        why = cat("an access list that cannot be read: ", error_text(errno));
        return std::nullopt;
    }
    const auto length = static_cast<std::size_t>(size);
    if (length < 4 || (length - 4) % 8 != 0 || little_endian(bytes, 4) != 2) {
        why = "an access list of an unknown form";
        return std::nullopt;
    }
    std::vector<AclEntry> entries;
    for (std::size_t at = 4; at < length; at += 8) {
        entries.push_back({static_cast<std::uint16_t>(little_endian(bytes + at, 2)),
                           static_cast<std::uint16_t>(little_endian(bytes + at + 2, 2)),
                           little_endian(bytes + at + 4, 4)});
    }
    return entries;
}

// Who besides the owner may write a file or folder with status `info` and
// access list `acl`, as a phrase ("writable by others"); empty when nobody.
std::string why_writable(const struct stat& info, const std::vector<AclEntry>* acl) {
    if ((info.st_mode & S_IWOTH) != 0) {
        return "writable by others";
    }
    const auto group_may_write = [&info](gid_t gid) { return !only_member_is(gid, info.st_uid); };
    std::uint16_t mask = 0xffff;
    bool has_mask = false;
    if (acl != nullptr) {
        for (const AclEntry& entry : *acl) {
            if (entry.tag == acl_mask) {
                mask = entry.permissions;
                has_mask = true;
            }
        }
    }
    // With a mask, the mode's group bits are the mask; the group's own
    // rights are in its entry.
    if (!has_mask && (info.st_mode & S_IWGRP) != 0 && group_may_write(info.st_gid)) {
        return cat("writable by group ", static_cast<unsigned long>(info.st_gid));
    }
    if (acl == nullptr) {
        return {};
    }
    for (const AclEntry& entry : *acl) {
        if ((entry.permissions & mask & acl_write) == 0) {
            continue;
        }
        if (entry.tag == acl_user && entry.id != info.st_uid) {
            return cat("writable by uid ", static_cast<unsigned long>(entry.id),
                       " through its access list");
        }
        if (entry.tag == acl_group_obj && group_may_write(info.st_gid)) {
            return cat("writable by group ", static_cast<unsigned long>(info.st_gid),
                       " through its access list");
        }
        if (entry.tag == acl_group && group_may_write(static_cast<gid_t>(entry.id))) {
            return cat("writable by group ", static_cast<unsigned long>(entry.id),
                       " through its access list");
        }
    }
    return {};
}

std::string file_rule(const struct stat& file, uid_t euid, const std::vector<AclEntry>* acl) {
    if (!S_ISREG(file.st_mode)) {
        return "not a regular file";
    }
    if (!is_trusted_owner(file.st_uid, euid)) {
        return owned_by(file.st_uid);
    }
    // Another name of the file could be in a folder that others change.
    if (file.st_nlink > 1) {
        return cat("a file with ", static_cast<unsigned long>(file.st_nlink), " links");
    }
    return why_writable(file, acl);
}

std::string folder_rule(const struct stat& folder, uid_t euid, const std::vector<AclEntry>* acl) {
    if (!S_ISDIR(folder.st_mode)) {
        return "not a folder";
    }
    if (!is_trusted_owner(folder.st_uid, euid)) {
        return owned_by(folder.st_uid);
    }
    // In a sticky folder only a file's owner may rename or remove it.
    if ((folder.st_mode & S_ISVTX) != 0) {
        return {};
    }
    return why_writable(folder, acl);
}

// The rule applied to what `fd` is open on, its access list included.
std::string checked_at(int fd, const struct stat& info, uid_t euid, bool folder) {
    std::string why;
    const std::optional<std::vector<AclEntry>> acl = read_acl(fd, why);
    if (!why.empty()) {
        return why;
    }
    const std::vector<AclEntry>* entries = acl ? &*acl : nullptr;
    return folder ? folder_rule(info, euid, entries) : file_rule(info, euid, entries);
}

// Where a name of the walk comes from: the working folder of a relative
// path, the path as given, or the target of a link.
enum class Origin { working_folder, given, link };

struct Name {
    std::string text;
    Origin origin;
};

void push_names_front(std::deque<Name>& names, const std::string& path, Origin origin) {
    std::vector<Name> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) {
            parts.push_back({path.substr(start, slash - start), origin});
        }
        start = slash + 1;
    }
    names.insert(names.begin(), parts.begin(), parts.end());
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? cat("/", name) : cat(folder, "/", name);
}

std::string parent_of(const std::string& folder) {
    const auto slash = folder.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : folder.substr(0, slash);
}

}  // namespace

std::string why_untrusted_file(const struct stat& file, uid_t euid) {
    return file_rule(file, euid, nullptr);
}

std::string why_untrusted_folder(const struct stat& folder, uid_t euid) {
    return folder_rule(folder, euid, nullptr);
}

std::string why_untrusted_link(const struct stat& link, uid_t euid) {
    if (S_ISLNK(link.st_mode) && !is_trusted_owner(link.st_uid, euid)) {
        return cat("a symbolic link ", owned_by(link.st_uid));
    }
    return {};
}

TrustedOpen open_trusted(const std::string& path, TrustedKind kind) {
    TrustedOpen result;
    if (path.empty()) {
        result.error = ENOENT;
        return result;
    }
    const uid_t euid = ::geteuid();
    std::deque<Name> names;
    push_names_front(names, path, Origin::given);
    if (path[0] != '/') {
        // A relative name is walked from the root down through the working
        // folder, which is checked like every other folder.
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof(cwd)) == nullptr) {
            result.error = errno;
            return result;
        }
        push_names_front(names, cwd, Origin::working_folder);
    }
    FileDescriptor folder(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    // The folder reached, as the system resolved it and as messages name it:
    // in the caller's words while only the caller's names led there.
    std::string where = "/";
    std::string label = "/";
    bool in_given_words = path[0] == '/';
    bool entered_given = in_given_words;
    int links = 0;
    const auto fail = [&result](int error) {
        result.error = error;
        return std::move(result);
    };
    while (!names.empty()) {
        if (folder.get() < 0) {
            return fail(errno);
        }
        const Name name = std::move(names.front());
        names.pop_front();
        if (name.origin == Origin::given && !entered_given) {
            // The working folder is reached: a relative path's words begin.
            entered_given = true;
            if (links == 0) {
                label = ".";
                in_given_words = true;
            }
        }
        if (name.text == ".") {
            continue;
        }
        // Every folder a name is looked up in must be one others cannot
        // change, or they could swap what the name leads to.
        struct stat info {};
        if (::fstat(folder.get(), &info) != 0) {
            return fail(errno);
        }
        std::string why = checked_at(folder.get(), info, euid, true);
        if (!why.empty()) {
            result.refusal = cat("folder ", label, " is ", why);
            return result;
        }
        const bool keep_words = in_given_words && name.origin == Origin::given;
        const std::string next_where =
            name.text == ".." ? parent_of(where) : joined(where, name.text);
        const std::string next_label = !keep_words    ? next_where
                                       : label == "." ? name.text
                                                      : joined(label, name.text);
        if (name.text == "..") {
            folder.reset(::openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            where = next_where;
            label = next_label;
            in_given_words = keep_words;
            continue;
        }
        const bool last = names.empty();
        const bool read_here = last && kind == TrustedKind::file;
        FileDescriptor step(::openat(folder.get(), name.text.c_str(),
                                     read_here ? read_flags | O_NOFOLLOW : path_flags));
        if (step.get() < 0 && read_here && errno == ELOOP) {
            step.reset(::openat(folder.get(), name.text.c_str(), path_flags));
        }
        if (step.get() < 0) {
            return fail(errno);
        }
        if (::fstat(step.get(), &info) != 0) {
            return fail(errno);
        }
        if (S_ISLNK(info.st_mode)) {
            why = why_untrusted_link(info, euid);
            if (!why.empty()) {
                result.refusal = last ? why : cat(next_label, " is ", why);
                return result;
            }
            if (++links > max_links) {
                return fail(ELOOP);
            }
            std::vector<char> target(PATH_MAX + 1);
            const ssize_t size = ::readlinkat(step.get(), "", target.data(), target.size());
            if (size < 0) {
                return fail(errno);
            }
            if (size == 0 || static_cast<std::size_t>(size) >= target.size()) {
                return fail(size == 0 ? ENOENT : ENAMETOOLONG);
            }
            const std::string to(target.data(), static_cast<std::size_t>(size));
            push_names_front(names, to, Origin::link);
            // From here on messages name folders as the system resolved them.
            label = where;
            in_given_words = false;
            if (to[0] == '/') {
                folder.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                where = "/";
                label = "/";
            }
            continue;
        }
        if (!last) {
            if (!S_ISDIR(info.st_mode)) {
                return fail(ENOTDIR);
            }
            folder.reset(step.release());
            where = next_where;
            label = next_label;
            in_given_words = keep_words;
            continue;
        }
        why = checked_at(step.get(), info, euid, kind == TrustedKind::folder);
        if (!why.empty()) {
            result.refusal = std::move(why);
            return result;
        }
        if (kind == TrustedKind::folder) {
            const int opened = ::openat(step.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (opened < 0) {
                return fail(errno);
            }
            result.fd = opened;
        } else {
            result.fd = step.release();
        }
        result.info = info;
        return result;
    }
    // The path named a folder ("/", "a/.."): no file to read, a folder to use.
    if (kind == TrustedKind::file) {
        result.refusal = "not a regular file";
        return result;
    }
    const int opened =
        folder.get() < 0 ? -1 : ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0) {
        return fail(errno);
    }
    result.fd = opened;
    ::fstat(opened, &result.info);
    return result;
}

ReadableFile::ReadableFile(const std::string& path, Trust trust) {
    int fd = -1;
    struct stat info {};
    if (trust == Trust::owner_checked) {
        TrustedOpen opened = open_trusted(path, TrustedKind::file);
        if (opened.fd < 0) {
            refusal_ = std::move(opened.refusal);
            error_ = opened.error;
            return;
        }
        fd = opened.fd;
        info = opened.info;
    } else {
        fd = ::open(path.c_str(), read_flags);
        if (fd < 0) {
            error_ = errno;
            return;
        }
        if (::fstat(fd, &info) != 0) {
            error_ = errno;
            ::close(fd);
            return;
        }
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            // A FIFO would hang the read, a device like /dev/zero never end it.
            refusal_ = "not a regular file";
            ::close(fd);
            return;
        }
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
