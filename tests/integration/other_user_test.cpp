// Files and names that another local user controls. The program runs as root
// in a shared working folder (sticky and writable by all, like /tmp); a
// throwaway account made by the test setup plays the other user, in a child
// process, and plants, links or swaps the files the library falls back on, or
// writes into root's own through a group they share or an access list.
// Every attack must end in a refusal that names the file and the reason, or
// in the database's rows, and never in his data, a hang or a crash.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backends.h"
#include "connections.h"
#include "sample_lists.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"
#include "zel/sql/trust.h"

namespace zel::sql::test::integration {
namespace {

using test::error_message;
using test::read_file;
using test::TempDir;
using test::TempWorkingDir;
using test::write_file;
using ::testing::HasSubstr;
using Rows = std::vector<std::vector<std::optional<std::string>>>;

const char* const no_database = "zel_no_such_dsn";
const char* const no_database_message = "Unable to allocate SQL statement handle";
const std::string magnet_sql = "SELECT current FROM magnet";

void check(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }
}

class OtherUser : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "the tests of another local user run as root";
        const passwd* account = ::getpwnam(other_user);
        ASSERT_NE(account, nullptr) << "the test setup did not create " << other_user;
        uid_ = account->pw_uid;
        for (const auto& [name, gid] : {std::pair{shared_group, &shared_gid_},
                                        std::pair{owner_only_group, &owner_only_gid_}}) {
            const group* found = ::getgrnam(name);
            ASSERT_NE(found, nullptr) << "the test setup did not create the group " << name;
            *gid = found->gr_gid;
        }
        // A working folder like /tmp: everybody may create files in it.
        ASSERT_EQ(::chmod(scratch_.path().c_str(), 01777), 0);
        old_umask_ = ::umask(022);
    }
    void TearDown() override { ::umask(old_umask_); }

    // Runs the other user's steps; they throw std::runtime_error on failure.
    void as_other_user(const std::function<void()>& steps) {
        EXPECT_EQ(run_as_user(other_user,
                              [&steps] {
                                  steps();
                                  return std::string("done");
                              }),
                  "done");
    }

    std::string owned_by_him() const { return "owned by uid " + std::to_string(uid_); }

    // A folder of root's whose new files get `gid` as their group (setgid),
    // and which only root may change.
    static void make_setgid_folder(const std::string& path, gid_t gid) {
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
        ASSERT_EQ(::chown(path.c_str(), 0, gid), 0) << path;
        ASSERT_EQ(::chmod(path.c_str(), 02755), 0) << path;
    }

    // Whether he can open `path` for writing, from his own process.
    bool he_can_write(const std::string& path) {
        return run_as_user(other_user, [&path] {
                   const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
                   if (fd >= 0) {
                       ::close(fd);
                       return std::string("yes");
                   }
                   check(errno == EACCES, "open " + path);
                   return std::string("no");
               }) == "yes";
    }

    static uid_t owner_of(const std::string& path) {
        struct stat info {};
        EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
        return info.st_uid;
    }

    static unsigned mode_of(const std::string& path) {
        struct stat info {};
        EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }

    // The ways a file of root's can be open to his writes while root still
    // owns it: the group's write bit, in a setgid folder of the group root
    // shares with him, or an entry of its access list naming him or that
    // group. Each opens the file given and returns the refusal it earns.
    struct Opening {
        const char* label;
        std::function<std::string(const std::string& path)> open_to_him;
    };
    std::vector<Opening> openings() const {
        const auto set_acl = [](const std::string& entry, const std::string& path) {
            EXPECT_EQ(::chmod(path.c_str(), 0640), 0) << path;
            const std::string command = "setfacl -m " + entry + " -- " + path;
            EXPECT_EQ(std::system(command.c_str()), 0) << command << " (package acl)";
        };
        const std::string group = std::to_string(shared_gid_);
        return {
            {"group-writable in a setgid folder of a group he is in",
             [group](const std::string& path) {
                 EXPECT_EQ(::chmod(path.c_str(), 0664), 0) << path;
                 return "writable by group " + group;
             }},
            {"0640 with an access list that gives him write",
             [this, set_acl](const std::string& path) {
                 set_acl("u:" + std::string(other_user) + ":rw", path);
                 return "writable by uid " + std::to_string(uid_) + " through its access list";
             }},
            {"0640 with an access list that gives the shared group write",
             [group, set_acl](const std::string& path) {
                 set_acl("g:" + std::string(shared_group) + ":rw", path);
                 return "writable by group " + group + " through its access list";
             }},
        };
    }

    TempWorkingDir scratch_;
    uid_t uid_ = 0;
    gid_t shared_gid_ = 0;
    gid_t owner_only_gid_ = 0;
    mode_t old_umask_ = 0;
};

// A SQLite connection on which `magnet_sql` gives `current`: a temporary
// table, seen by this connection only.
std::unique_ptr<Database> magnet_database(const std::string& current) {
    std::unique_ptr<Database> db = open_database(sqlite);
    db->send_query("CREATE TEMP TABLE magnet AS SELECT " + current + " AS current");
    return db;
}

// A genuine cache copy of `magnet_sql` through the SQLite data source, holding
// his value: the format and the digest are no secret.
std::string forged_copy() {
    TempDir workshop;
    std::unique_ptr<Database> db = magnet_database("99999");
    db->get_cache().set_folder(workshop.file("cache"));
    EXPECT_EQ(db->read_with_cache(magnet_sql).message, "");
    return read_file(db->get_cache().get_full_file_name(magnet_sql));
}

TEST_F(OtherUser, CacheFolderHeMadeIsNeitherReadNorWritten) {
    const std::string forged = forged_copy();
    std::unique_ptr<Database> db = magnet_database("450");
    const std::string copy = db->get_cache().get_full_file_name(magnet_sql);
    as_other_user([&] {
        check(::mkdir("db_cache", 0777) == 0 && ::chmod("db_cache", 0777) == 0, "mkdir");
        write_file(copy, forged);
    });
    const std::string folder_refusal = "folder db_cache is " + owned_by_him();

    // The database up: prefer_cache asks it, and nothing is stored.
    QueryResult result =
        db->read_with_cache(magnet_sql, CachePolicy::prefer_cache, std::chrono::hours(1));
    EXPECT_EQ(result.rows, (Rows{{"450"}}));
    EXPECT_FALSE(result.from_cache);
    EXPECT_EQ(result.message, "Cache folder \"db_cache\" refused: " + owned_by_him());
    EXPECT_EQ(read_file(copy), forged);

    // The database down: the copy is refused, with the file and the reason.
    db->send_query("DROP TABLE magnet");
    const std::string message = error_message([&] { db->read_with_cache(magnet_sql); });
    EXPECT_THAT(message, HasSubstr("; Cache file \"" + copy + "\" refused: " + folder_refusal));
    EXPECT_EQ(error_message([&] { db->read_with_cache(magnet_sql, CachePolicy::cache_only); }),
              "Cache file \"" + copy + "\" refused: " + folder_refusal);
}

TEST_F(OtherUser, CopyInAFolderOpenToAllIsRefused) {
    const std::string forged = forged_copy();
    std::unique_ptr<Database> db = magnet_database("450");
    const std::string copy = db->get_cache().get_full_file_name(magnet_sql);
    ASSERT_EQ(::mkdir("db_cache", 0777), 0);
    ASSERT_EQ(::chmod("db_cache", 0777), 0);  // made by root, but open to all
    as_other_user([&] { write_file(copy, forged); });

    EXPECT_EQ(error_message([&] { db->read_with_cache(magnet_sql, CachePolicy::cache_only); }),
              "Cache file \"" + copy + "\" refused: folder db_cache is writable by others");
    const QueryResult result = db->read_with_cache(magnet_sql);
    EXPECT_EQ(result.rows, (Rows{{"450"}}));
    EXPECT_EQ(result.message, "Cache folder \"db_cache\" refused: writable by others");
}

TEST_F(OtherUser, BackupHePlantedIsNotLoadedNorAdopted) {
    TempDir workshop;
    expected_miran_list().write_to_file(workshop.file("list.txt"));
    const std::string his_list = read_file(workshop.file("list.txt"));
    as_other_user([&] {
        write_file(miran_backup, his_list);
        check(::chmod(miran_backup, 0666) == 0, "chmod");
    });

    Database down(no_database, reader, reader_password);
    ComponentList list;
    EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(down, "miran"); }),
              std::string(no_database_message) + "; Unable to use " + miran_backup + ": " +
                  owned_by_him());
    EXPECT_EQ(list, ComponentList());
    EXPECT_EQ(owner_of(miran_backup), uid_);

    // With the database up the list is loaded and the backup replaced by one
    // of root's, with the umask's mode and not his 0666.
    std::unique_ptr<Database> up = open_database(sqlite);
    EXPECT_EQ(list.read_from_db_with_backup(*up, "miran"), "");
    EXPECT_EQ(owner_of(miran_backup), 0u);
    EXPECT_EQ(mode_of(miran_backup), 0644u);
}

// Root's own backup, which he can write through a group they share or an
// access list, and does: it is refused by name while the database is down,
// and rewritten closed to him once it is up.
TEST_F(OtherUser, BackupHeCanWriteThroughAGroupOrAccessListIsRefusedAndClosed) {
    TempDir workshop;
    backup_only_list().write_to_file(workshop.file("his.txt"));
    const std::string his_list = read_file(workshop.file("his.txt"));
    Database down(no_database, reader, reader_password);
    std::unique_ptr<Database> up = open_database(sqlite);
    int number = 0;
    for (const Opening& opening : openings()) {
        SCOPED_TRACE(opening.label);
        const std::string folder = "project" + std::to_string(number++);
        make_setgid_folder(folder, shared_gid_);
        const std::string backup = folder + "/" + miran_backup;
        expected_miran_list().write_to_file(backup);
        const std::string refusal = opening.open_to_him(backup);
        as_other_user([&] { write_file(backup, his_list); });
        ASSERT_EQ(read_file(backup), his_list) << "he could not write the backup";

        EXPECT_EQ(why_untrusted(backup), refusal);
        ComponentList list;
        EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(down, "miran", backup); }),
                  std::string(no_database_message) + "; Unable to use " + backup + ": " + refusal);
        EXPECT_EQ(list, ComponentList());

        EXPECT_EQ(list.read_from_db_with_backup(*up, "miran", backup), "");
        EXPECT_EQ(list, expected_miran_list());
        EXPECT_EQ(owner_of(backup), 0u);
        EXPECT_EQ(mode_of(backup) & 022, 0u) << std::oct << mode_of(backup);
        EXPECT_EQ(why_untrusted(backup), "");
        EXPECT_FALSE(he_can_write(backup));
        ComponentList again;
        EXPECT_EQ(again.read_from_db_with_backup(down, "miran", backup), no_database_message);
        EXPECT_EQ(again, expected_miran_list());
    }
}

// The same for a cache copy: his forged copy is refused by name, and the
// database's rows, once it is back, are stored in a copy closed to him.
TEST_F(OtherUser, CacheCopyHeCanWriteThroughAGroupOrAccessListIsRefusedAndClosed) {
    const std::string forged = forged_copy();
    int number = 0;
    for (const Opening& opening : openings()) {
        SCOPED_TRACE(opening.label);
        const std::string folder = "cache" + std::to_string(number++);
        make_setgid_folder(folder, shared_gid_);
        std::unique_ptr<Database> db = magnet_database("450");
        db->get_cache().set_folder(folder);
        ASSERT_EQ(db->read_with_cache(magnet_sql).message, "");
        const std::string copy = db->get_cache().get_full_file_name(magnet_sql);
        const std::string refusal = opening.open_to_him(copy);
        as_other_user([&] { write_file(copy, forged); });
        ASSERT_EQ(read_file(copy), forged) << "he could not write the copy";

        EXPECT_EQ(why_untrusted(copy), refusal);
        db->send_query("DROP TABLE magnet");
        const std::string copy_refusal = "Cache file \"" + copy + "\" refused: " + refusal;
        EXPECT_EQ(error_message([&] { db->read_with_cache(magnet_sql, CachePolicy::cache_only); }),
                  copy_refusal);
        EXPECT_THAT(error_message([&] { db->read_with_cache(magnet_sql); }),
                    HasSubstr("; " + copy_refusal));

        db->send_query("CREATE TEMP TABLE magnet AS SELECT 450 AS current");
        const QueryResult result =
            db->read_with_cache(magnet_sql, CachePolicy::prefer_cache, std::chrono::hours(1));
        EXPECT_EQ(result.rows, (Rows{{"450"}}));
        EXPECT_FALSE(result.from_cache);
        EXPECT_EQ(result.message, "");
        EXPECT_EQ(owner_of(copy), 0u);
        EXPECT_EQ(mode_of(copy), 0600u);
        EXPECT_EQ(why_untrusted(copy), "");
        EXPECT_FALSE(he_can_write(copy));
    }
}

// The one group whose write bit is no one else's: a group that has the owner
// as its only member, as OpenSSH allows it. Its group-writable files serve.
TEST_F(OtherUser, GroupWritableFilesOfAGroupOnlyTheOwnerIsInServe) {
    make_setgid_folder("own", owner_only_gid_);
    const std::string backup = std::string("own/") + miran_backup;
    expected_miran_list().write_to_file(backup);
    ASSERT_EQ(::chmod(backup.c_str(), 0664), 0);
    std::unique_ptr<Database> db = magnet_database("450");
    db->get_cache().set_folder("own");
    ASSERT_EQ(db->read_with_cache(magnet_sql).message, "");
    const std::string copy = db->get_cache().get_full_file_name(magnet_sql);
    ASSERT_EQ(::chmod(copy.c_str(), 0660), 0);
    for (const std::string& path : {backup, copy}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(why_untrusted(path), "");
        EXPECT_FALSE(he_can_write(path));
    }

    Database down(no_database, reader, reader_password);
    ComponentList list;
    EXPECT_EQ(list.read_from_db_with_backup(down, "miran", backup), no_database_message);
    EXPECT_EQ(list, expected_miran_list());
    db->send_query("DROP TABLE magnet");
    const QueryResult cached = db->read_with_cache(magnet_sql);
    EXPECT_TRUE(cached.from_cache);
    EXPECT_EQ(cached.rows, (Rows{{"450"}}));
}

TEST_F(OtherUser, FifosAndDevicesAtTheNamesNeitherHangNorFeedTheRead) {
    Database down(no_database, reader, reader_password);
    ComponentList list;
    const std::string prefix = std::string(no_database_message) + "; Unable to use ";

    // His FIFO, and root's own: either would block an open for reading.
    as_other_user([] { check(::mkfifo(miran_backup, 0666) == 0, "mkfifo"); });
    EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(down, "miran"); }),
              prefix + miran_backup + ": not a regular file");
    ASSERT_EQ(::mkfifo("root_fifo.txt", 0600), 0);
    EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(down, "miran", "root_fifo.txt"); }),
              prefix + "root_fifo.txt: not a regular file");
    EXPECT_EQ(error_message([&] { list.read_from_file("root_fifo.txt"); }),
              "Unable to open root_fifo.txt for reading: not a regular file");

    // His link to /dev/zero is not followed; root's own reaches a device.
    as_other_user([] { check(::symlink("/dev/zero", "zero.txt") == 0, "symlink"); });
    EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(down, "miran", "zero.txt"); }),
              prefix + "zero.txt: a symbolic link " + owned_by_him());
    ASSERT_EQ(::symlink("/dev/zero", "root_zero.txt"), 0);
    EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(down, "miran", "root_zero.txt"); }),
              prefix + "root_zero.txt: not a regular file");

    // A FIFO at the name of a copy in root's own folder: prefer_cache asks
    // the database, and the store replaces the FIFO.
    std::unique_ptr<Database> db = magnet_database("450");
    ASSERT_EQ(::mkdir("db_cache", 0755), 0);
    const std::string copy = db->get_cache().get_full_file_name(magnet_sql);
    ASSERT_EQ(::mkfifo(copy.c_str(), 0600), 0);
    const QueryResult result =
        db->read_with_cache(magnet_sql, CachePolicy::prefer_cache, std::chrono::hours(1));
    EXPECT_EQ(result.rows, (Rows{{"450"}}));
    EXPECT_EQ(result.message, "");
    EXPECT_TRUE(std::filesystem::is_regular_file(copy));
}

TEST_F(OtherUser, HugeFilesAreBoundedNotAllocated) {
    // Root's own 2 GiB sparse backup: no line feed in the first MiB ends the
    // read at once, without growing a buffer.
    {
        std::ofstream sparse("sparse.txt");
        sparse.seekp((std::streamoff{1} << 31) - 1);
        sparse.put('\n');
    }
    Database down(no_database, reader, reader_password);
    ComponentList list;
    EXPECT_EQ(error_message([&] { list.read_from_db_with_backup(down, "miran", "sparse.txt"); }),
              std::string(no_database_message) + "; Line longer than 1048576 bytes in sparse.txt");
}

TEST_F(OtherUser, LinkToHisSetuidFileGivesNoModeAndIsReplaced) {
    as_other_user([] {
        write_file("his_file", "his\n");
        check(::chmod("his_file", 06777) == 0, "chmod");
        check(::symlink("his_file", miran_backup) == 0, "symlink");
    });
    Database down(no_database, reader, reader_password);
    ComponentList list;
    EXPECT_THAT(error_message([&] { list.read_from_db_with_backup(down, "miran"); }),
                HasSubstr(std::string(": a symbolic link ") + owned_by_him()));

    std::unique_ptr<Database> up = open_database(sqlite);
    EXPECT_EQ(list.read_from_db_with_backup(*up, "miran"), "");
    EXPECT_FALSE(std::filesystem::is_symlink(miran_backup));
    EXPECT_EQ(owner_of(miran_backup), 0u);
    EXPECT_EQ(mode_of(miran_backup), 0644u);
    EXPECT_EQ(read_file("his_file"), "his\n");
    EXPECT_EQ(mode_of("his_file"), 06777u);
}

TEST_F(OtherUser, CachedResultsAreUnreadableToHim) {
    std::unique_ptr<Database> db = magnet_database("450");
    EXPECT_EQ(db->read_with_cache(magnet_sql).message, "");
    const std::string copy = db->get_cache().get_full_file_name(magnet_sql);
    EXPECT_EQ(mode_of(copy), 0600u);
    EXPECT_EQ(mode_of("db_cache"), 0755u) << "a listing shows only digests";
    as_other_user([&] {
        std::ifstream in(copy);
        if (in.is_open()) {
            throw std::runtime_error("he could open " + copy);
        }
        check(std::filesystem::exists(copy), "the copy is listed");
    });
}

TEST_F(OtherUser, TemporaryNamesHeCreatedFirstBlockNoWrite) {
    // The names the writer used to try in turn, as files and as links to a
    // file of root's: none is used, none followed.
    write_file("victim", "untouched");
    const std::string pid = std::to_string(::getpid());
    as_other_user([&] {
        for (int i = 0; i < 100; ++i) {
            const std::string name =
                std::string(".") + miran_backup + ".tmp." + pid + "." + std::to_string(i);
            if (i % 2 == 0) {
                write_file(name, "");
            } else {
                check(::symlink("victim", name.c_str()) == 0, "symlink");
            }
        }
    });
    std::unique_ptr<Database> up = open_database(sqlite);
    ComponentList list;
    EXPECT_EQ(list.read_from_db_with_backup(*up, "miran"), "");
    EXPECT_EQ(list, expected_miran_list());
    EXPECT_EQ(read_file("victim"), "untouched");
    EXPECT_EQ(owner_of(miran_backup), 0u);
}

TEST_F(OtherUser, PruningFollowsNoLinkAndRemovesOnlyRootsFiles) {
    // Another data source's cache, reached through his link.
    TempDir other_source;
    const std::string old_copy = other_source.file(std::string(56, 'a') + ".dat");
    write_file(old_copy, "zel_sql_cache_00");
    as_other_user([&] { check(::symlink(other_source.path().c_str(), "db_cache") == 0, "link"); });
    Cache cache;
    EXPECT_EQ(error_message([&] { cache.remove_older_than(std::chrono::seconds(0)); }),
              "Cache folder \"db_cache\" refused: a symbolic link");
    EXPECT_TRUE(std::filesystem::exists(old_copy));

    // A cache folder open to all (sticky): his files there are not root's to
    // remove.
    cache.set_folder("shared_cache");
    ASSERT_EQ(::mkdir("shared_cache", 01777), 0);
    ASSERT_EQ(::chmod("shared_cache", 01777), 0);
    const std::string mine = "shared_cache/" + std::string(56, 'b') + ".dat";
    const std::string his = "shared_cache/" + std::string(56, 'c') + ".dat";
    write_file(mine, "zel_sql_cache_00");
    as_other_user([&] { write_file(his, "zel_sql_cache_00"); });
    ::sleep(1);
    EXPECT_EQ(cache.remove_older_than(std::chrono::seconds(0)), 1u);
    EXPECT_FALSE(std::filesystem::exists(mine));
    EXPECT_TRUE(std::filesystem::exists(his));
}

// What held before and must keep holding: root's own backup and copies in the
// shared folder serve as ever.
TEST_F(OtherUser, RootsOwnFilesInTheSharedFolderServeAsBefore) {
    expected_miran_list().write_to_file(miran_backup);
    Database down(no_database, reader, reader_password);
    ComponentList list;
    EXPECT_EQ(list.read_from_db_with_backup(down, "miran"), no_database_message);
    EXPECT_EQ(list, expected_miran_list());

    // Root's own link to root's backup elsewhere is followed.
    TempDir elsewhere;
    expected_miran_list().write_to_file(elsewhere.file("list.txt"));
    ASSERT_EQ(::symlink(elsewhere.file("list.txt").c_str(), "linked.txt"), 0);
    ComponentList linked;
    EXPECT_EQ(linked.read_from_db_with_backup(down, "miran", "linked.txt"), no_database_message);
    EXPECT_EQ(linked, expected_miran_list());

    std::unique_ptr<Database> db = magnet_database("450");
    EXPECT_EQ(db->read_with_cache(magnet_sql).message, "");
    db->send_query("DROP TABLE magnet");
    const QueryResult cached = db->read_with_cache(magnet_sql);
    EXPECT_TRUE(cached.from_cache);
    EXPECT_EQ(cached.rows, (Rows{{"450"}}));
}

}  // namespace
}  // namespace zel::sql::test::integration
