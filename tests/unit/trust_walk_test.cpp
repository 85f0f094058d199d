// The trust rule applied to a whole path: every folder from the root down and
// every link on the way, files that others may write through their group or
// an access list, files with a second name; and writes that stay in the
// folder they opened while it is swapped. Giving files to another uid needs
// root; the tests run as root in CI, and say so when they cannot.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "util/file.h"
#include "util/trusted_file.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/trust.h"

namespace zel::util {
namespace {

using zel::sql::test::error_message;
using zel::sql::test::read_file;
using zel::sql::test::TempDir;
using zel::sql::test::write_file;

constexpr uid_t stranger = 4242;

// An access list in the kernel's form: version 2, then tag, permissions and
// id of each entry, little-endian, sorted by tag and id.
struct Entry {
    std::uint16_t tag;
    std::uint16_t permissions;
    std::uint32_t id;
};

void set_acl(const std::string& path, const std::vector<Entry>& entries) {
    std::string bytes;
    const auto put = [&bytes](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xff);
        }
    };
    put(2, 4);
    for (const Entry& e : entries) {
        put(e.tag, 2);
        put(e.permissions, 2);
        put(e.id, 4);
    }
    ASSERT_EQ(::setxattr(path.c_str(), "system.posix_acl_access", bytes.data(), bytes.size(), 0), 0)
        << path << ": " << std::strerror(errno);
}

constexpr std::uint32_t no_id = 0xffffffff;

void make_folder(const std::string& path, mode_t mode, uid_t owner = 0, gid_t group = 0) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(::chown(path.c_str(), owner, group), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

void make_file(const std::string& path, mode_t mode, uid_t owner = 0, gid_t group = 0) {
    write_file(path, "<flag_names>\n</flag_names>\n");
    ASSERT_EQ(::chown(path.c_str(), owner, group), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

void make_link(const std::string& path, const std::string& target, uid_t owner = 0) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
    ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
}

struct WalkCase {
    const char* label;
    // Builds the layout in the folder given and returns the path to read.
    std::function<std::string(const std::string&)> layout;
    // The refusal, "{dir}" standing for the folder; empty: the file opens.
    std::string refusal;
};

std::string with_dir(std::string text, const std::string& dir) {
    const auto at = text.find("{dir}");
    return at == std::string::npos ? text : text.replace(at, 5, dir);
}

TEST(TrustedPath, EveryFolderLinkAndWriterOnTheWayIsChecked) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving files to another uid needs root";
    }
    const WalkCase cases[] = {
        {"group-writable, of a group others are in",
         [](const std::string& d) {
             make_file(d + "/list.txt", 0664, 0, stranger);
             return d + "/list.txt";
         },
         "writable by group 4242"},
        {"group-writable, of a group whose only member is the owner",
         [](const std::string& d) {
             make_file(d + "/list.txt", 0664, 0, 0);
             return d + "/list.txt";
         },
         ""},
        {"an access list giving another user write",
         [](const std::string& d) {
             make_file(d + "/list.txt", 0640);
             set_acl(d + "/list.txt", {{0x01, 6, no_id},
                                       {0x02, 6, stranger},
                                       {0x04, 4, no_id},
                                       {0x10, 6, no_id},
                                       {0x20, 0, no_id}});
             return d + "/list.txt";
         },
         "writable by uid 4242 through its access list"},
        {"an access list giving a shared group write",
         [](const std::string& d) {
             make_file(d + "/list.txt", 0640);
             set_acl(d + "/list.txt", {{0x01, 6, no_id},
                                       {0x04, 4, no_id},
                                       {0x08, 6, stranger},
                                       {0x10, 6, no_id},
                                       {0x20, 0, no_id}});
             return d + "/list.txt";
         },
         "writable by group 4242 through its access list"},
        {"an access list whose mask takes the write away",
         [](const std::string& d) {
             make_file(d + "/list.txt", 0640);
             set_acl(d + "/list.txt", {{0x01, 6, no_id},
                                       {0x02, 6, stranger},
                                       {0x04, 4, no_id},
                                       {0x10, 4, no_id},
                                       {0x20, 0, no_id}});
             return d + "/list.txt";
         },
         ""},
        {"a folder on the way whose access list lets another user write",
         [](const std::string& d) {
             make_folder(d + "/a", 0755);
             set_acl(d + "/a", {{0x01, 7, no_id},
                                {0x02, 7, stranger},
                                {0x04, 5, no_id},
                                {0x10, 7, no_id},
                                {0x20, 5, no_id}});
             make_file(d + "/a/list.txt", 0644);
             return d + "/a/list.txt";
         },
         "folder {dir}/a is writable by uid 4242 through its access list"},
        {"a second name of the file",
         [](const std::string& d) {
             make_file(d + "/list.txt", 0644);
             EXPECT_EQ(::link((d + "/list.txt").c_str(), (d + "/other_name").c_str()), 0);
             return d + "/list.txt";
         },
         "a file with 2 links"},
        {"a folder above the last that others may write",
         [](const std::string& d) {
             make_folder(d + "/a", 0777);
             make_folder(d + "/a/b", 0755);
             make_file(d + "/a/b/list.txt", 0644);
             return d + "/a/b/list.txt";
         },
         "folder {dir}/a is writable by others"},
        {"a folder above the last, group-writable by a shared group",
         [](const std::string& d) {
             make_folder(d + "/a", 0775, 0, stranger);
             make_folder(d + "/a/b", 0755);
             make_file(d + "/a/b/list.txt", 0644);
             return d + "/a/b/list.txt";
         },
         "folder {dir}/a is writable by group 4242"},
        {"the folder above is someone else's, who swapped in a link to an old folder",
         [](const std::string& d) {
             make_folder(d + "/old", 0755);
             make_file(d + "/old/list.txt", 0644);
             make_folder(d + "/theirs", 0755, stranger, stranger);
             make_link(d + "/theirs/cache", d + "/old", stranger);
             return d + "/theirs/cache/list.txt";
         },
         "folder {dir}/theirs is owned by uid 4242"},
        {"a link in the middle owned by someone else",
         [](const std::string& d) {
             make_folder(d + "/real", 0755);
             make_file(d + "/real/list.txt", 0644);
             make_link(d + "/mid", "real", stranger);
             return d + "/mid/list.txt";
         },
         "{dir}/mid is a symbolic link owned by uid 4242"},
        {"root's link into someone else's folder, where a second link waits",
         [](const std::string& d) {
             make_file(d + "/secret", 0600);
             write_file(d + "/secret", "root:*:20228:0:99999:7:::\n");
             make_folder(d + "/theirs", 0755, stranger, stranger);
             make_link(d + "/theirs/next", d + "/secret", stranger);
             make_link(d + "/backup.txt", d + "/theirs/next");
             return d + "/backup.txt";
         },
         "folder {dir}/theirs is owned by uid 4242"},
        {"a link that climbs out of a folder others may write",
         [](const std::string& d) {
             make_folder(d + "/w", 0777);
             make_file(d + "/list.txt", 0644);
             make_link(d + "/up", "w/../list.txt");
             return d + "/up";
         },
         "folder {dir}/w is writable by others"},
        {"a link of the user's into a sticky folder, like /tmp",
         [](const std::string& d) {
             make_folder(d + "/s", 01777);
             make_file(d + "/s/list.txt", 0644);
             make_link(d + "/ok", "s/list.txt");
             return d + "/ok";
         },
         ""},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string path = c.layout(dir.path());
        const std::string expected = with_dir(c.refusal, dir.path());
        const ReadableFile file(path, Trust::owner_checked);
        EXPECT_EQ(file.is_open() ? "" : file.refusal(), expected);
        EXPECT_EQ(file.error_number(), 0) << std::strerror(file.error_number());
        EXPECT_EQ(zel::sql::why_untrusted(path), expected);
    }
}

TEST(TrustedPath, ARelativePathIsWalkedFromTheRootThroughTheWorkingFolder) {
    TempDir dir;
    write_file(dir.file("list.txt"), "x");
    const std::string back = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const ReadableFile file("./list.txt", Trust::owner_checked);
    const TrustedOpen folder = open_trusted(".", TrustedKind::folder);
    std::filesystem::current_path(back);
    EXPECT_TRUE(file.is_open()) << file.refusal() << std::strerror(file.error_number());
    ASSERT_GE(folder.fd, 0) << folder.refusal;
    EXPECT_TRUE(S_ISDIR(folder.info.st_mode));
    ::close(folder.fd);
}

// A folder swapped with another again and again while files are written into
// it: each temporary file is created, renamed and removed in the one folder
// the writer opened, so every commit works, and neither folder keeps a stray
// temporary file or a part of a file.
TEST(AtomicFileWriterSafety, AFolderSwappedDuringWritesGetsNoStrayFile) {
    TempDir dir;
    const std::string a = dir.file("a");
    const std::string b = dir.file("b");
    std::filesystem::create_directory(a);
    std::filesystem::create_directory(b);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done) {
            ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        }
    });
    const std::string content(5000, 'x');
    int failed = 0;
    for (int i = 0; i < 300; ++i) {
        AtomicFileWriter file(a + "/list.txt");
        file.write(content);
        failed += file.commit() ? 0 : 1;
    }
    done = true;
    swapper.join();
    EXPECT_EQ(failed, 0);
    for (const std::string& folder : {a, b}) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            EXPECT_EQ(entry.path().filename(), "list.txt") << "stray file " << entry.path();
            EXPECT_EQ(read_file(entry.path().string()), content);
        }
    }
}

TEST(AtomicFileWriterSafety, ARewriteNeverKeepsTheRightOfOthersToWrite) {
    TempDir dir;
    const std::string target = dir.file("list.txt");
    write_file(target, "old");
    ::chmod(target.c_str(), 0666);
    AtomicFileWriter file(target);
    file.write("new");
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(zel::sql::test::permissions_of(target), 0644u);
}

// With every descriptor taken, each open fails, and says it is for lack of
// descriptors rather than leaving the operator to guess.
TEST(TrustedPath, AnOpenThatFailsForLackOfDescriptorsSaysSo) {
    TempDir dir;
    const std::string path = dir.file("list.txt");
    write_file(path, "<flag_names>\n</flag_names>\n");
    rlimit old_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old_limit), 0);
    rlimit low = old_limit;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        taken.push_back(fd);
    }
    // The errors are looked at only once descriptors are back: a sanitizer's
    // own checks of an object may need one.
    const auto caught = [](auto&& call) {
        try {
            call();
        } catch (...) {
            return std::current_exception();
        }
        return std::exception_ptr();
    };
    zel::sql::ComponentList list;
    const std::exception_ptr read_error = caught([&] { list.read_from_file(path); });
    const std::exception_ptr trust_error = caught([&] { zel::sql::why_untrusted(path); });
    const ReadableFile backup(path, Trust::owner_checked);
    const int backup_error = backup.error_number();
    for (const int fd : taken) {
        ::close(fd);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old_limit), 0);
    const auto message_of = [](const std::exception_ptr& error) {
        return error ? error_message([&] { std::rethrow_exception(error); })
                     : std::string("(nothing thrown)");
    };
    const std::string read_message = message_of(read_error);
    const std::string trust_message = message_of(trust_error);
    EXPECT_EQ(read_message, "Unable to open " + path + " for reading: Too many open files");
    EXPECT_EQ(trust_message, "Cannot open " + path + ": Too many open files");
    EXPECT_EQ(backup_error, EMFILE);
}

}  // namespace
}  // namespace zel::util
