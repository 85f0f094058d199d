// Replacing a file atomically: the bytes arrive whole, whatever mix of small
// and large writes made them, and a writer that does not commit leaves the
// old file and no temporary file behind.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "util/file.h"
#include "util/path.h"

namespace zel::util {
namespace {

using zel::sql::test::read_file;
using zel::sql::test::TempDir;

TEST(AtomicFileWriter, KeepsEveryByteAcrossBufferBoundaries) {
    TempDir dir;
    const std::string target = dir.file("data.bin");
    std::string expected;
    {
        AtomicFileWriter file(target);
        ASSERT_TRUE(file.is_open());
        // Pieces that end just before, at and after the buffer's end, one
        // larger than the buffer, single characters and bytes formatted in
        // place; NUL bytes included.
        const std::vector<std::size_t> sizes{AtomicFileWriter::capacity - 3, 5,
                                             AtomicFileWriter::capacity + 7, 0, 1};
        char next = 0;
        for (const std::size_t size : sizes) {
            std::string piece(size, '\0');
            for (char& c : piece) {
                c = next++;
            }
            file.write(piece);
            expected += piece;
            file.put('\n');
            expected += '\n';
            char* place = file.reserve(3);
            place[0] = 'a';
            place[1] = '\0';
            place[2] = 'z';
            file.advance(3);
            expected.append("a\0z", 3);
        }
        ASSERT_TRUE(file.commit());
    }
    EXPECT_EQ(read_file(target), expected);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"data.bin"});
}

TEST(AtomicFileWriter, WithoutCommitLeavesTheOldFileAndNoTemporaryFile) {
    TempDir dir;
    const std::string target = dir.file("data.bin");
    {
        AtomicFileWriter file(target);
        file.write("old");
        ASSERT_TRUE(file.commit());
    }
    {
        AtomicFileWriter file(target);
        file.write(std::string(AtomicFileWriter::capacity * 2, 'x'));
    }
    EXPECT_EQ(read_file(target), "old");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"data.bin"});
}

TEST(AtomicFileWriter, ReportsAFolderThatDoesNotExist) {
    TempDir dir;
    AtomicFileWriter file(dir.file("missing/data.bin"));
    EXPECT_FALSE(file.is_open());
    file.write("lost");
    EXPECT_FALSE(file.commit());
}

TEST(FolderOf, NamesTheFolderOfAPath) {
    EXPECT_EQ(folder_of("file.txt"), ".");
    EXPECT_EQ(folder_of("/file.txt"), "/");
    EXPECT_EQ(folder_of("a/b/file.txt"), "a/b");
}

}  // namespace
}  // namespace zel::util
