// The files the library falls back on by itself: who may have written them,
// what they are, and reads and writes that nobody else can hang, blow up,
// predict or redirect. The owner cases give files to a made-up uid, which
// needs root; the tests run as root in CI, and say so when they cannot.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/cache_file.h"
#include "test_support.h"
#include "util/file.h"
#include "util/string.h"
#include "util/trusted_file.h"
#include "zel/Error.h"
#include "zel/sql/Cache.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/trust.h"

namespace zel::util {
namespace {

using zel::sql::test::dead_pid;
using zel::sql::test::error_message;
using zel::sql::test::permissions_of;
using zel::sql::test::read_file;
using zel::sql::test::TempDir;
using zel::sql::test::write_file;

constexpr uid_t me = 1000;
constexpr uid_t stranger = 4242;

struct stat status(mode_t mode, uid_t owner, nlink_t links = 1) {
    struct stat info {};
    info.st_mode = mode;
    info.st_uid = owner;
    info.st_nlink = links;
    return info;
}

struct RuleCase {
    const char* label;
    struct stat info;
    const char* file_reason;
    const char* folder_reason;
};

TEST(TrustRule, FilesAndFoldersOfTheUserOrRootThatOthersCannotChange) {
    const RuleCase cases[] = {
        {"mine, 0644", status(S_IFREG | 0644, me), "", "not a folder"},
        {"root's, 0600", status(S_IFREG | 0600, 0), "", "not a folder"},
        // Group 0 is root's: root, not `me`, is its member.
        {"group-writable, of a group with others than the owner", status(S_IFREG | 0664, me),
         "writable by group 0", "not a folder"},
        {"group-writable, of a group whose only member is the owner", status(S_IFREG | 0664, 0), "",
         "not a folder"},
        {"a file with a second name", status(S_IFREG | 0644, me, 2), "a file with 2 links",
         "not a folder"},
        {"someone else's", status(S_IFREG | 0644, stranger), "owned by uid 4242", "not a folder"},
        {"writable by others", status(S_IFREG | 0666, me), "writable by others", "not a folder"},
        {"setuid and writable by all", status(S_IFREG | 06777, 0), "writable by others",
         "not a folder"},
        {"a FIFO", status(S_IFIFO | 0600, me), "not a regular file", "not a folder"},
        {"a character device", status(S_IFCHR | 0666, 0), "not a regular file", "not a folder"},
        {"a socket", status(S_IFSOCK | 0600, me), "not a regular file", "not a folder"},
        {"my folder", status(S_IFDIR | 0755, me), "not a regular file", ""},
        {"root's folder", status(S_IFDIR | 0755, 0), "not a regular file", ""},
        {"a folder of someone else", status(S_IFDIR | 0700, stranger), "not a regular file",
         "owned by uid 4242"},
        {"a folder all may write", status(S_IFDIR | 0777, me), "not a regular file",
         "writable by others"},
        {"a folder its group may write", status(S_IFDIR | 0775, me), "not a regular file",
         "writable by group 0"},
        {"a sticky folder all may write, like /tmp", status(S_IFDIR | 01777, 0),
         "not a regular file", ""},
    };
    for (const RuleCase& c : cases) {
        EXPECT_EQ(why_untrusted_file(c.info, me), c.file_reason) << c.label;
        EXPECT_EQ(why_untrusted_folder(c.info, me), c.folder_reason) << c.label;
    }
}

TEST(TrustRule, LinksAreFollowedOnlyWhenTheUserOrRootOwnsThem) {
    EXPECT_EQ(why_untrusted_link(status(S_IFLNK | 0777, me), me), "");
    EXPECT_EQ(why_untrusted_link(status(S_IFLNK | 0777, 0), me), "");
    EXPECT_EQ(why_untrusted_link(status(S_IFLNK | 0777, stranger), me),
              "a symbolic link owned by uid 4242");
    EXPECT_EQ(why_untrusted_link(status(S_IFREG | 0644, stranger), me), "") << "not a link";
}

TEST(MessageExcerpt, CutsAt200BytesAndEscapesControlCharacters) {
    const struct {
        std::string text;
        std::string excerpt;
    } cases[] = {
        {"plain text", "plain text"},
        {"\xc3\x84rger", "\xc3\x84rger"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {std::string("nul\0\x1b[2J\x7f", 9), "nul\\x00\\x1b[2J\\x7f"},
        {std::string(200, 'x'), std::string(200, 'x')},
        {std::string(201, 'x'), std::string(200, 'x') + "..."},
        {std::string(10000, '\n'),
         [] {
             std::string s;
             for (int i = 0; i < 200; ++i) {
                 s += "\\n";
             }
             return s + "...";
         }()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(excerpt_for_message(c.text), c.excerpt);
    }
}

TEST(NamesWithNul, AreRefusedWithTheNameEscaped) {
    EXPECT_NO_THROW(check_no_nul("ok.txt", "Invalid file name"));
    EXPECT_EQ(
        error_message([] { check_no_nul(std::string("ok.txt\0.evil", 12), "Invalid file name"); }),
        "Invalid file name: \"ok.txt\\x00.evil\"");
}

// --- opening -------------------------------------------------------------------

bool is_root() {
    return ::geteuid() == 0;
}

std::string refusal_of(const std::string& path, Trust trust) {
    const ReadableFile file(path, trust);
    return file.is_open() ? "opened" : file.refusal();
}

TEST(ReadableFile, NeverWaitsForAFifoNorReadsADevice) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const Trust trust : {Trust::caller_named, Trust::owner_checked}) {
        EXPECT_EQ(refusal_of(fifo, trust), "not a regular file");
        EXPECT_EQ(refusal_of("/dev/zero", trust), "not a regular file");
    }
    // A folder named by the caller opens, and its read fails as before.
    EXPECT_EQ(refusal_of(dir.path(), Trust::caller_named), "opened");
    EXPECT_EQ(refusal_of(dir.path(), Trust::owner_checked), "not a regular file");
}

TEST(ReadableFile, OwnerCheckedRefusesWhatOthersOwnOrMayChange) {
    if (!is_root()) {
        GTEST_SKIP() << "giving files to another uid needs root";
    }
    TempDir dir;
    const std::string mine = dir.file("mine.txt");
    write_file(mine, "x");
    ::chmod(mine.c_str(), 0644);
    EXPECT_EQ(refusal_of(mine, Trust::owner_checked), "opened");

    const std::string theirs = dir.file("theirs.txt");
    write_file(theirs, "x");
    ASSERT_EQ(::chown(theirs.c_str(), stranger, stranger), 0);
    EXPECT_EQ(refusal_of(theirs, Trust::owner_checked), "owned by uid 4242");
    EXPECT_EQ(refusal_of(theirs, Trust::caller_named), "opened");

    const std::string open_to_all = dir.file("open.txt");
    write_file(open_to_all, "x");
    ::chmod(open_to_all.c_str(), 0666);
    EXPECT_EQ(refusal_of(open_to_all, Trust::owner_checked), "writable by others");

    // Links: mine to my file is followed; theirs, or mine into a folder that
    // others may change, is not.
    const std::string my_link = dir.file("my_link");
    ::symlink("mine.txt", my_link.c_str());
    EXPECT_EQ(refusal_of(my_link, Trust::owner_checked), "opened");
    const std::string their_link = dir.file("their_link");
    ::symlink("mine.txt", their_link.c_str());
    ASSERT_EQ(::lchown(their_link.c_str(), stranger, stranger), 0);
    EXPECT_EQ(refusal_of(their_link, Trust::owner_checked), "a symbolic link owned by uid 4242");
    const std::string shared = dir.file("shared");
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 0777);
    write_file(shared + "/list.txt", "x");
    const std::string link_out = dir.file("link_out");
    ::symlink((shared + "/list.txt").c_str(), link_out.c_str());
    EXPECT_EQ(refusal_of(link_out, Trust::owner_checked),
              "folder " + shared + " is writable by others");

    // The folder: writable by others unless sticky, or someone else's.
    EXPECT_EQ(refusal_of(shared + "/list.txt", Trust::owner_checked),
              "folder " + shared + " is writable by others");
    ::chmod(shared.c_str(), 01777);
    EXPECT_EQ(refusal_of(shared + "/list.txt", Trust::owner_checked), "opened");
    ::chmod(shared.c_str(), 0755);
    ASSERT_EQ(::chown(shared.c_str(), stranger, stranger), 0);
    EXPECT_EQ(refusal_of(shared + "/list.txt", Trust::owner_checked),
              "folder " + shared + " is owned by uid 4242");
}

TEST(ReadableFile, ReadsExactlyTheSizeAtOpenAndRefusesAChange) {
    TempDir dir;
    const std::string path = dir.file("copy.dat");
    write_file(path, "0123456789");
    std::string bytes;
    std::string why;
    {
        ReadableFile file(path, Trust::owner_checked);
        ASSERT_TRUE(file.is_open());
        EXPECT_TRUE(file.read_all(bytes, why)) << why;
        EXPECT_EQ(bytes, "0123456789");
    }
    {
        ReadableFile file(path, Trust::owner_checked);
        write_file(path + ".grown", "");
        std::FILE* grow = std::fopen(path.c_str(), "a");
        std::fputs("more", grow);
        std::fclose(grow);
        EXPECT_FALSE(file.read_all(bytes, why));
        EXPECT_EQ(why, "changed size while it was read");
    }
    {
        ReadableFile file(path, Trust::owner_checked);
        ASSERT_EQ(::truncate(path.c_str(), 3), 0);
        EXPECT_FALSE(file.read_all(bytes, why));
        EXPECT_EQ(why, "changed size while it was read");
    }
}

// --- writing -------------------------------------------------------------------

std::vector<std::string> temp_files(const TempDir& dir) {
    std::vector<std::string> names;
    for (const std::string& name : dir.entries()) {
        if (name.find(".tmp.") != std::string::npos) {
            names.push_back(name);
        }
    }
    return names;
}

TEST(AtomicFileWriterSafety, TemporaryNamesHoldThePidAndRandomBits) {
    TempDir dir;
    AtomicFileWriter first(dir.file("list.txt"));
    AtomicFileWriter second(dir.file("list.txt"));
    const std::vector<std::string> names = temp_files(dir);
    ASSERT_EQ(names.size(), 2u);
    const std::string prefix = ".list.txt.tmp." + std::to_string(::getpid()) + ".";
    for (const std::string& name : names) {
        ASSERT_EQ(name.substr(0, prefix.size()), prefix);
        EXPECT_EQ(name.size(), prefix.size() + 24) << name;
    }
    EXPECT_NE(names[0], names[1]);
}

TEST(AtomicFileWriterSafety, NewFilesFollowTheUmaskOrArePrivate) {
    TempDir dir;
    const mode_t old_mask = ::umask(022);
    AtomicFileWriter backup(dir.file("list.txt"));
    backup.write("x");
    ASSERT_TRUE(backup.commit());
    AtomicFileWriter copy(dir.file("copy.dat"), AtomicFileWriter::Mode::private_to_owner);
    copy.write("x");
    ASSERT_TRUE(copy.commit());
    ::umask(old_mask);
    EXPECT_EQ(permissions_of(dir.file("list.txt")), 0644u);
    EXPECT_EQ(permissions_of(dir.file("copy.dat")), 0600u);
}

TEST(AtomicFileWriterSafety, ARewriteKeepsOnlyThe0777BitsOfTheUsersOwnRegularFile) {
    if (!is_root()) {
        GTEST_SKIP() << "setuid bits and other owners need root";
    }
    TempDir dir;
    const mode_t old_mask = ::umask(022);
    const auto rewrite = [&](const std::string& name) {
        AtomicFileWriter file(dir.file(name));
        file.write("new");
        EXPECT_TRUE(file.commit());
        return permissions_of(dir.file(name));
    };
    write_file(dir.file("mine"), "old");
    ::chmod(dir.file("mine").c_str(), 06750);
    EXPECT_EQ(rewrite("mine"), 0750u) << "no setuid or setgid";

    write_file(dir.file("theirs"), "old");
    ::chmod(dir.file("theirs").c_str(), 0666);
    ASSERT_EQ(::chown(dir.file("theirs").c_str(), stranger, stranger), 0);
    EXPECT_EQ(rewrite("theirs"), 0644u) << "someone else's mode is not this user's choice";

    write_file(dir.file("target"), "old");
    ::chmod(dir.file("target").c_str(), 06777);
    ::symlink("target", dir.file("link").c_str());
    EXPECT_EQ(rewrite("link"), 0644u) << "never through a link";
    EXPECT_FALSE(std::filesystem::is_symlink(dir.file("link")));
    EXPECT_EQ(read_file(dir.file("target")), "old");
    ::umask(old_mask);
}

TEST(AtomicFileWriterSafety, FailuresCarryTheSystemsReason) {
    TempDir dir;
    AtomicFileWriter file(dir.file("missing/list.txt"));
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.error_text(), "No such file or directory");
}

// A writer killed part way (kill -9, power loss) leaves its temporary file;
// the next write of the same target removes it, and leaves alone the files of
// writers still at work and of other targets.
TEST(AtomicFileWriterSafety, TheNextWriteRemovesTheTemporaryFileOfAWriterThatDied) {
    TempDir dir;
    const std::string target = dir.file("list.txt");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* crashed = new AtomicFileWriter(target);  // never destroyed
        crashed->write(std::string(AtomicFileWriter::capacity + 1, 'x'));
        ::_exit(crashed->is_open() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(temp_files(dir).size(), 1u);
    const std::string crashed = temp_files(dir)[0];
    const std::string other_target = ".other.txt.tmp." + dead_pid() + ".00";
    write_file(dir.file(other_target), "");

    AtomicFileWriter still_writing(target);
    AtomicFileWriter next(target);
    next.write("new");
    ASSERT_TRUE(next.commit());

    const std::vector<std::string> left = temp_files(dir);
    EXPECT_EQ(std::count(left.begin(), left.end(), crashed), 0);
    EXPECT_EQ(std::count(left.begin(), left.end(), other_target), 1);
    EXPECT_EQ(left.size(), 2u) << "the writer still at work keeps its file";
}

TEST(AtomicFileWriterSafety, AnHourOldTemporaryFileIsStaleWhateverItsPid) {
    TempDir dir;
    const std::string mine_old = ".list.txt.tmp." + std::to_string(::getpid()) + ".aa";
    write_file(dir.file(mine_old), "");
    const std::string mine_young = ".list.txt.tmp." + std::to_string(::getpid()) + ".bb";
    write_file(dir.file(mine_young), "");
    const struct timeval two_hours_ago[2] = {{::time(nullptr) - 7200, 0},
                                             {::time(nullptr) - 7200, 0}};
    ::utimes(dir.file(mine_old).c_str(), two_hours_ago);
    EXPECT_TRUE(is_stale_temp_file(dir.path(), mine_old, ".list.txt.tmp."));
    EXPECT_FALSE(is_stale_temp_file(dir.path(), mine_young, ".list.txt.tmp."));
    EXPECT_FALSE(is_stale_temp_file(dir.path(), mine_old, ".other.txt.tmp."));
    EXPECT_FALSE(is_stale_temp_file(dir.path(), "list.txt", ""));
}

// --- the readers' bounds and messages --------------------------------------------

std::string read_error(const std::string& path) {
    sql::ComponentList list;
    return error_message([&] { list.read_from_file(path); });
}

std::string flag_block(std::size_t count) {
    std::string out = "<flag_names>\n";
    for (std::size_t i = 0; i < count; ++i) {
        out += "F" + std::to_string(i) + "\n";
    }
    return out + "</flag_names>\n";
}

TEST(BackupReader, BoundsLinesAndFlags) {
    TempDir dir;
    const std::string path = dir.file("list.txt");
    const std::size_t longest = std::size_t{1} << 20;

    write_file(path, "<flag_names>\n" + std::string(longest, 'F') + "\n</flag_names>\n");
    sql::ComponentList list;
    list.read_from_file(path);
    EXPECT_EQ(list.flag_names_.at(0).size(), longest) << "the longest line reads";
    write_file(path, "<flag_names>\n" + std::string(longest + 1, 'F') + "\n</flag_names>\n");
    EXPECT_EQ(read_error(path), "Line longer than 1048576 bytes in " + path);
    write_file(path, std::string(3 * longest, '\0'));
    EXPECT_EQ(read_error(path), "Line longer than 1048576 bytes in " + path);

    write_file(path, flag_block(65536));
    list.read_from_file(path);
    EXPECT_EQ(list.flag_names_.size(), 65536u);
    write_file(path, flag_block(65537));
    EXPECT_EQ(read_error(path), "More than 65536 flag names");
    write_file(path, "<components>\n<component>\n\n\n\n\n\n\n\n\n0\n0\n0\n0\n" +
                         std::string(65537, '1') + "\n</component>\n</components>\n");
    EXPECT_EQ(read_error(path), "More than 65536 flags in a component");

    // The writer refuses what the reader would.
    list.flag_names_.assign(65537, "F");
    EXPECT_EQ(error_message([&] { list.write_to_file(path); }),
              "Unable to write " + path + ": more than 65536 flags");
}

TEST(BackupReader, RefusesDevicesAndNamesWithNul) {
    EXPECT_EQ(read_error("/dev/zero"), "Unable to open /dev/zero for reading: not a regular file");
    const std::string with_nul("ok.txt\0.evil", 12);
    EXPECT_EQ(read_error(with_nul), "Invalid file name: \"ok.txt\\x00.evil\"");
}

TEST(BackupReader, FileTextInMessagesIsCutAndEscaped) {
    TempDir dir;
    const std::string path = dir.file("list.txt");
    write_file(path, flag_block(1) + "\x1b[2J" + std::string(300, 'x') + "\n");
    EXPECT_EQ(read_error(path),
              "Unexpected line in " + path + ": \\x1b[2J" + std::string(196, 'x') + "...");
}

// A link that ends at a secret file (/etc/shadow, say, behind a link that
// another user planted): the file is no component list, and the message gives
// its line's number and nothing of what the line holds. The backup's own read
// of such a link is in the fault tests.
TEST(BackupReader, NeverQuotesAFileThatIsNotAComponentList) {
    TempDir dir;
    const std::string secret = dir.file("shadow");
    write_file(secret, "\n  \nroot:secret-hash:20228:0:99999:7:::\n" + flag_block(1));
    ::chmod(secret.c_str(), 0600);
    const std::string link = dir.file("db_component_list_MIRAN.txt");
    ASSERT_EQ(::symlink(secret.c_str(), link.c_str()), 0);
    const std::string message = read_error(link);
    EXPECT_EQ(message, "Unexpected line 3 in " + link);
    EXPECT_EQ(message.find("secret"), std::string::npos) << message;
}

TEST(CacheCopies, ForeignSqlInAMessageIsCutAndEscaped) {
    TempDir dir;
    sql::Cache cache;
    cache.set_folder(dir.file("cache"));
    const std::string foreign = "SELECT '\n" + std::string(300, 'x') + "'";
    sql::QueryResult result;
    result.column_names = {"x"};
    sql::detail::CacheFiles::store(cache, foreign, "dsn", result);
    EXPECT_EQ(permissions_of(cache.get_full_file_name(foreign)), 0600u);
    std::filesystem::rename(cache.get_full_file_name(foreign),
                            cache.get_full_file_name("SELECT 1"));
    EXPECT_EQ(error_message([&] { sql::detail::CacheFiles::load(cache, "SELECT 1", "dsn"); }),
              "Cache file \"" + cache.get_full_file_name("SELECT 1") +
                  "\" holds the result of another query: SELECT '\\n" + std::string(191, 'x') +
                  "...");
    EXPECT_EQ(error_message([&] { cache.set_folder(std::string("a\0b", 3)); }),
              "Invalid cache folder: \"a\\x00b\"");
}

}  // namespace
}  // namespace zel::util

namespace zel::sql {
namespace {

TEST(WhyUntrusted, AnswersForAPathInTheWordsOfTheRefusals) {
    test::TempDir dir;
    const std::string file = dir.file("db_component_list_MIRAN.txt");
    test::write_file(file, "x");
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(why_untrusted(file), "");
    ::chmod(file.c_str(), 0666);
    EXPECT_EQ(why_untrusted(file), "writable by others");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(why_untrusted(fifo), "not a regular file");

    const std::string missing = dir.file("missing");
    EXPECT_EQ(test::error_message([&] { why_untrusted(missing); }),
              "Cannot open " + missing + ": No such file or directory");
    EXPECT_EQ(test::error_message([] {
                  why_untrusted(std::string("a\0b", 3));
              }).rfind("Invalid file name: ", 0),
              0u);
}

}  // namespace
}  // namespace zel::sql
