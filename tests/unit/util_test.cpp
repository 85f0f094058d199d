// The utility layer under every other part of the library: concatenation,
// trimming, ASCII case folding, hexadecimal encoding, SHA3-224, directory
// creation, and the exception type.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"
#include "util/digest.h"
#include "util/directory.h"
#include "util/hex.h"
#include "util/string.h"
#include "zel/Error.h"

namespace zel::util {
namespace {

using zel::sql::test::permissions_of;
using zel::sql::test::ScopedUmask;
using zel::sql::test::TempDir;

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(Cat, WritesIntegersInDecimalAndKeepsTextAsIs) {
    const std::string text("str");
    const std::string_view view("view");
    const TextCase cases[] = {
        {cat(), ""},
        {cat("a", text, view, 'c'), "astrviewc"},
        {cat("n=", 0), "n=0"},
        {cat(-42, "|", 42), "-42|42"},
        {cat(std::numeric_limits<int>::min()), "-2147483648"},
        {cat(std::numeric_limits<std::uint32_t>::max()), "4294967295"},
        {cat(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {cat(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
        {cat(std::int16_t{-32768}, " ", std::uint16_t{65535}), "-32768 65535"},
        {cat(std::size_t{3}, " flags"), "3 flags"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(c.input, c.expected);
    }
}

TEST(Trim, RemovesTheDefaultWhiteSpaceAtBothEndsOnly) {
    const TextCase cases[] = {
        {"", ""},
        {" \t\n\r\v\f", ""},
        {"abc", "abc"},
        {" \t\n\r\v\fabc \t\n\r\v\f", "abc"},
        {"\r\nQF3A\r", "QF3A"},
        {"  a b\tc  ", "a b\tc"},
        // Neither NUL nor a non-breaking space belongs to the set.
        {std::string("\0a\0", 3), std::string("\0a\0", 3)},
        {"\xa0x\xa0", "\xa0x\xa0"},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(trim(c.input), c.expected);
        EXPECT_EQ(trim_sv(c.input), c.expected);
    }
}

TEST(Trim, ViewPointsIntoTheGivenText) {
    const std::string text = "  QF3A  ";
    const std::string_view trimmed = trim_sv(text);
    EXPECT_EQ(trimmed.data(), text.data() + 2);
    EXPECT_EQ(trimmed.size(), 4U);
}

TEST(Trim, TakesACustomSet) {
    EXPECT_EQ(trim("xxaxbxx", "x"), "axb");
    EXPECT_EQ(trim_sv(" a ", "x"), " a ");
}

TEST(CaseFolding, ChangesAsciiLettersOnly) {
    const struct {
        std::string input;
        std::string upper;
        std::string lower;
    } cases[] = {
        {"", "", ""},
        {"Miran_sim2", "MIRAN_SIM2", "miran_sim2"},
        {"azAZ@[`{09", "AZAZ@[`{09", "azaz@[`{09"},
        {"\xe4\xc4\xff\x80", "\xe4\xc4\xff\x80", "\xe4\xc4\xff\x80"},
        {"q\xe9x", "Q\xe9X", "q\xe9x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(uppercase_ascii(c.input), c.upper);
        std::string lower = c.input;
        for (char& ch : lower) {
            ch = lowercase_ascii(ch);
        }
        EXPECT_EQ(lower, c.lower);
    }
}

TEST(CaseFolding, EqualsNocaseFoldsAsciiLettersOnly) {
    const struct {
        std::string_view a;
        std::string_view b;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"QF3A", "qf3a", true},
        {"QF3A", "QF3", false},
        {"QF3", "QF3A", false},
        {"a", "b", false},
        // '@' and '`' sit next to 'A' and 'a' and differ by the same bit.
        {"@", "`", false},
        {"[", "{", false},
        {"\xc4", "\xe4", false},
        {"\xc4x", "\xc4X", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(equals_nocase(c.a, c.b), c.equal) << '"' << c.a << "\" vs \"" << c.b << '"';
    }
}

TEST(ToHex, WritesTwoLowerCaseDigitsPerByteHighNibbleFirst) {
    const std::vector<unsigned char> zero_and_max{0, 255};
    EXPECT_EQ(to_hex(zero_and_max.begin(), zero_and_max.end()), "00ff");
    const unsigned char single[] = {171};
    EXPECT_EQ(to_hex(std::begin(single), std::end(single)), "ab");
    const std::vector<unsigned char> none;
    EXPECT_EQ(to_hex(none.begin(), none.end()), "");
    // Plain char is signed here: a negative char must still give its byte.
    const std::string signed_bytes = "\x80\xff\x01";
    EXPECT_EQ(to_hex(signed_bytes.begin(), signed_bytes.end()), "80ff01");
}

TEST(Sha3_224, MatchesTheStandardTestVectors) {
    const TextCase cases[] = {
        {"", "6b4e03423667dbb73b6e15454f0eb1abd4597f9a1b078e3f5b5a6bc7"},
        {"abc", "e642824c3f8cf24ad09234ee7d3c766fc9a3a5168d0c94ad73b46fdf"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "8a24108b154ada21c9fd5574494479ba5c7e7ab76ef264ead0fcce33"},
    };
    for (const TextCase& c : cases) {
        const Sha3_224Digest digest = sha3_224(ByteSpan(c.input));
        EXPECT_EQ(to_hex(digest.begin(), digest.end()), c.expected) << '"' << c.input << '"';
    }
    const Sha3_224Digest from_null = sha3_224(ByteSpan());
    EXPECT_EQ(to_hex(from_null.begin(), from_null.end()), cases[0].expected);
}

TEST(MakeDirectory, CreatesTheFolderWithTheGivenMode) {
    const TempDir dir;
    const ScopedUmask no_mask(0);
    const std::string folder = dir.file("created");
    ASSERT_TRUE(make_directory(folder, 0750));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(permissions_of(folder), 0750U);
}

TEST(MakeDirectory, SucceedsWhenTheFolderExistsAlready) {
    const TempDir dir;
    EXPECT_TRUE(make_directory(dir.path(), 0755));
}

TEST(MakeDirectory, FailsWhenNoFolderCanStandThere) {
    const TempDir dir;
    zel::sql::test::write_file(dir.file("plain_file"), "x");
    EXPECT_FALSE(make_directory(dir.file("missing_parent/child"), 0755));
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing_parent")));
    EXPECT_FALSE(make_directory(dir.file("plain_file"), 0755));
    EXPECT_FALSE(make_directory("", 0755));
}

TEST(Error, CarriesItsMessage) {
    const Error from_string(std::string("Cannot read header"));
    EXPECT_EQ(from_string.get_message(), "Cannot read header");
    EXPECT_STREQ(from_string.what(), "Cannot read header");

    const Error from_literal("Invalid cache folder: \"\"");
    const Error copy = from_literal;
    EXPECT_EQ(copy.get_message(), "Invalid cache folder: \"\"");
}

TEST(Error, IsCaughtAsAStandardRuntimeError) {
    try {
        throw Error("Flag format error");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Flag format error");
        const auto* error = dynamic_cast<const Error*>(&e);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->get_message(), "Flag format error");
        return;
    }
    FAIL() << "Error was not caught as std::runtime_error";
}

}  // namespace
}  // namespace zel::util
