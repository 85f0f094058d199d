// The component list's text file: its exact layout, round trips, every read
// error with the state it leaves behind, and the guarantees of the writer
// (the previous file survives every failure; lists that would not read back
// are refused).

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <locale>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "component_list/file_format_error.h"
#include "quadrupole.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql {
namespace {

using test::permissions_of;
using test::read_file;
using test::ScopedUmask;
using test::TempDir;
using test::write_file;

constexpr double inf = std::numeric_limits<double>::infinity();

// The small sample list: flags QUAD and DIAG, one quadrupole.
ComponentList example_list() {
    const Component c = test::quadrupole_qx7();
    ComponentList list;
    list.flag_names_ = {"QUAD", "DIAG"};
    list.components_ = {c};
    return list;
}

const std::string example_file =
    "<flag_names>\n"
    "QUAD\n"
    "DIAG\n"
    "</flag_names>\n"
    "<components>\n"
    "<component>\n"
    "QX7\n"
    "QX7.L3\n"
    "QX7-2\n"
    "L3\n"
    "QUADS\n"
    "QUAD\n"
    "QD\n"
    "Quadrupole QX7\n"
    "1.250000000000000e+00\n"
    "-3.000000000000000e-03\n"
    "1.045200000000000e+02\n"
    "1.045310000000000e+02\n"
    "10\n"
    "QX7.PS\n"
    "</component>\n"
    "</components>\n";

// One component block in file form; the texts other than the name are fixed.
std::string block(const std::string& name, const std::string& flags = "",
                  const std::string& x = "1.5", const std::string& y = "2",
                  const std::string& z = "3", const std::string& s = "4") {
    return "<component>\n" + name + "\nreal\nname2\nsec\ngrp\ncls\ntyp\nfriendly\n" + x + "\n" + y +
           "\n" + z + "\n" + s + "\n" + flags + "\nlink\n</component>\n";
}

// The component that block() describes.
Component parsed(const std::string& name, std::vector<bool> flags = {}, double x = 1.5) {
    Component c;
    c.name_ = name;
    c.real_name_ = "real";
    c.name2_ = "name2";
    c.section_ = "sec";
    c.group_ = "grp";
    c.class_ = "cls";
    c.type_ = "typ";
    c.friendly_name_ = "friendly";
    c.link_name_ = "link";
    c.x_ = x;
    c.y_ = 2;
    c.z_ = 3;
    c.s_ = 4;
    c.flags_ = std::move(flags);
    return c;
}

ComponentList list_of(std::vector<std::string> flags, std::vector<Component> components) {
    ComponentList list;
    list.flag_names_ = std::move(flags);
    list.components_ = std::move(components);
    return list;
}

std::vector<std::string> names_of(const ComponentList& list) {
    std::vector<std::string> names;
    for (const Component& c : list.components_) {
        names.push_back(c.name_);
    }
    return names;
}

// A list with one component of each name, for state that must be replaced.
ComponentList stale_list() {
    return list_of({"STALE"}, {parsed("STALE", {true})});
}

class ComponentListFile : public ::testing::Test {
protected:
    // Writes `content`, reads it into `list_` and returns the Error message,
    // or "" when the read succeeded. `fault_line_` is the line of a format
    // failure, nothing for any other outcome.
    std::string read_content(const std::string& content) {
        write_file(file_, content);
        list_ = stale_list();
        fault_line_.reset();
        try {
            list_.read_from_file(file_);
        } catch (const detail::FileFormatError& e) {
            fault_line_ = e.line();
            return e.get_message();
        } catch (const Error& e) {
            return e.get_message();
        }
        return {};
    }

    std::string write_message(const ComponentList& list) {
        try {
            list.write_to_file(file_);
        } catch (const Error& e) {
            return e.get_message();
        }
        return {};
    }

    TempDir dir_;
    const std::string file_ = dir_.file("list.txt");
    ComponentList list_;
    std::optional<std::size_t> fault_line_;
};

TEST_F(ComponentListFile, WritesTheSampleListByteForByte) {
    example_list().write_to_file(file_);
    EXPECT_EQ(read_file(file_), example_file);
    EXPECT_EQ(read_content(example_file), "");
    EXPECT_EQ(list_, example_list());
}

TEST_F(ComponentListFile, WritesAnEmptyListAsFourLines) {
    ComponentList().write_to_file(file_);
    EXPECT_EQ(read_file(file_), "<flag_names>\n</flag_names>\n<components>\n</components>\n");
}

TEST_F(ComponentListFile, WritesNumbersWithFifteenDecimalsInScientificNotation) {
    const struct {
        double value;
        std::string line;
    } cases[] = {
        {12.5, "1.250000000000000e+01"},
        {0.0, "0.000000000000000e+00"},
        {-0.0, "-0.000000000000000e+00"},
        {1e-300, "1.000000000000000e-300"},
        {-123456789.0, "-1.234567890000000e+08"},
        {0.1 + 0.2, "3.000000000000000e-01"},
        {inf, "inf"},
        {-inf, "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {-std::numeric_limits<double>::quiet_NaN(), "-nan"},
    };
    for (const auto& c : cases) {
        ComponentList list = list_of({}, {parsed("N")});
        list.components_[0].s_ = c.value;
        list.write_to_file(file_);
        EXPECT_EQ(read_file(file_),
                  "<flag_names>\n</flag_names>\n<components>\n" +
                      block("N", "", "1.500000000000000e+00", "2.000000000000000e+00",
                            "3.000000000000000e+00", c.line) +
                      "</components>\n");
    }
}

class ComponentListRoundTrip : public ComponentListFile,
                               public ::testing::WithParamInterface<ComponentList> {};

TEST_P(ComponentListRoundTrip, ReadsBackEqual) {
    GetParam().write_to_file(file_);
    list_ = stale_list();
    list_.read_from_file(file_);
    EXPECT_EQ(list_, GetParam());
}

ComponentList tricky_texts() {
    Component c = parsed("  padded name\t");
    c.real_name_ = "";
    c.name2_ = "</component>";
    c.section_ = "<components>";
    c.group_ = "</components>";
    c.class_ = "\r";
    c.type_ = "caf\xc3\xa9 \xff";
    c.friendly_name_ = " ";
    c.link_name_ = "</component> x";
    c.x_ = -0.0;
    c.y_ = inf;
    c.z_ = -inf;
    c.s_ = 1e-300;
    c.flags_ = {false, true, true};
    Component empty;
    empty.flags_ = {false, false, false};
    return list_of({"<flag_names>", "A B", "</components>"}, {c, empty});
}

ComponentList many_components() {
    ComponentList list = list_of({"MAG", "DIAG"}, {});
    for (int i = 0; i < 50; ++i) {
        Component c = parsed("C" + std::to_string(i), {i % 2 == 0, i % 3 == 0}, i * 0.25);
        c.link_name_ = i % 5 == 0 ? "" : "L" + std::to_string(i);
        list.components_.push_back(c);
    }
    return list;
}

INSTANTIATE_TEST_SUITE_P(Lists, ComponentListRoundTrip,
                         ::testing::Values(ComponentList(), list_of({"ONLY", "FLAGS"}, {}),
                                           list_of({}, {parsed("NOFLAGS"), parsed("")}),
                                           example_list(), tricky_texts(), many_components()));

TEST_F(ComponentListFile, NanComesBackAsNan) {
    ComponentList list = list_of({}, {parsed("N")});
    list.components_[0].z_ = std::numeric_limits<double>::quiet_NaN();
    list.write_to_file(file_);
    ASSERT_EQ(read_content(read_file(file_)), "");
    EXPECT_TRUE(std::isnan(list_.components_.at(0).z_));
    EXPECT_NE(list_, list);
}

TEST_F(ComponentListFile, NegativeZeroKeepsItsSign) {
    ComponentList list = list_of({}, {parsed("Z")});
    list.components_[0].x_ = -0.0;
    list.write_to_file(file_);
    ASSERT_EQ(read_content(read_file(file_)), "");
    EXPECT_TRUE(std::signbit(list_.components_.at(0).x_));
}

// The file as an output stream in the classic locale writes it, numbers in
// scientific notation with precision 15: the bytes that readers of the format
// have always seen.
std::string stream_formatted(const ComponentList& list) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::scientific;
    out.precision(15);
    out << "<flag_names>\n";
    for (const std::string& flag : list.flag_names_) {
        out << flag << '\n';
    }
    out << "</flag_names>\n<components>\n";
    for (const Component& c : list.components_) {
        out << "<component>\n"
            << c.name_ << '\n'
            << c.real_name_ << '\n'
            << c.name2_ << '\n'
            << c.section_ << '\n'
            << c.group_ << '\n'
            << c.class_ << '\n'
            << c.type_ << '\n'
            << c.friendly_name_ << '\n'
            << c.x_ << '\n'
            << c.y_ << '\n'
            << c.z_ << '\n'
            << c.s_ << '\n';
        for (const bool flag : c.flags_) {
            out << (flag ? '1' : '0');
        }
        out << '\n' << c.link_name_ << "\n</component>\n";
    }
    out << "</components>\n";
    return std::move(out).str();
}

// A list of several MiB, larger than any buffer of the writer or the reader,
// so that lines and numbers straddle their ends: random texts, random doubles
// from all over the range that the file can hold, and the awkward values first.
ComponentList generated_list() {
    const double awkward[] = {-0.0,
                              5.9604644775390625e-08,  // 2^-24: a tie at 16 digits
                              1234567890123456.5,      // another tie
                              123456789012345.25,      // and one of the fast range
                              1e308,
                              -1e-307,
                              std::numeric_limits<double>::min() * 2,
                              std::numeric_limits<double>::epsilon(),
                              inf,
                              -inf,
                              0.1 + 0.2};
    std::mt19937_64 random(14);
    const auto text = [&random](std::size_t max_length) {
        std::string t(random() % (max_length + 1), ' ');
        for (char& c : t) {
            c = static_cast<char>(' ' + random() % 95);
        }
        return t;
    };
    const auto coordinate = [&random]() {
        for (;;) {
            const std::uint64_t bits = random();
            double value = 0.0;
            std::memcpy(&value, &bits, sizeof value);
            if (std::isnormal(value) && std::fabs(value) < 1e308) {
                return value;
            }
        }
    };
    ComponentList list = list_of({"MAG", "DIAG", "BPM"}, {});
    for (int i = 0; i < 20000; ++i) {
        Component c;
        for (std::string* t : {&c.name_, &c.real_name_, &c.name2_, &c.section_, &c.group_,
                               &c.class_, &c.type_, &c.friendly_name_, &c.link_name_}) {
            *t = text(20);
        }
        c.link_name_ += 'L';  // never reads as the closing tag
        for (double* p : {&c.x_, &c.y_, &c.z_, &c.s_}) {
            *p = coordinate();
        }
        c.flags_ = {random() % 2 == 0, random() % 2 == 0, random() % 2 == 0};
        list.components_.push_back(c);
    }
    for (std::size_t i = 0; i < std::size(awkward); ++i) {
        list.components_[i].s_ = awkward[i];
    }
    // The longest line a file may hold, longer than what is left of any read
    // block where it starts.
    list.components_[1].name_.assign(std::size_t{1} << 20, 'N');
    return list;
}

TEST_F(ComponentListFile, WritesTheBytesOfStreamFormattingAndReadsThemAsStrtod) {
    const ComponentList list = generated_list();
    list.write_to_file(file_);
    const std::string bytes = read_file(file_);
    ASSERT_GT(bytes.size(), 4U << 20);
    ASSERT_TRUE(bytes == stream_formatted(list));  // no dump of megabytes on failure

    // Sixteen significant digits: each coordinate comes back as strtod reads
    // its line.
    ComponentList expected = list;
    for (Component& c : expected.components_) {
        for (double* p : {&c.x_, &c.y_, &c.z_, &c.s_}) {
            std::ostringstream line;
            line.imbue(std::locale::classic());
            line << std::scientific;
            line.precision(15);
            line << *p;
            *p = std::strtod(line.str().c_str(), nullptr);
        }
    }
    list_.read_from_file(file_);
    EXPECT_TRUE(list_ == expected);
}

// Names a parameterised case after its label, for readable test names.
struct LabelName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        std::string name;
        for (const char c : std::string(info.param.label)) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    }
};

// --- reading -----------------------------------------------------------------

struct ReadCase {
    const char* label;
    std::string content;
    ComponentList expected;
};

void PrintTo(const ReadCase& c, std::ostream* out) {
    *out << c.label;
}

class ComponentListRead : public ComponentListFile,
                          public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ComponentListRead, GivesTheExpectedList) {
    EXPECT_EQ(read_content(GetParam().content), "");
    EXPECT_EQ(list_, GetParam().expected);
}

Component without_link(Component c) {
    c.link_name_.clear();
    return c;
}

Component with_carriage_returns() {
    Component c = parsed("Q1\r");
    c.real_name_ = "real\r";
    c.friendly_name_ = "friendly\r";
    c.link_name_ = "link\r";
    c.flags_ = {true};
    return c;
}

const ReadCase read_cases[] = {
    {"empty file", "", ComponentList()},
    {"blank lines only", "\n \n\t\r\n\n", ComponentList()},
    {"empty blocks", "<flag_names>\n</flag_names>\n<components>\n</components>\n", ComponentList()},
    {"white space around tags and blank lines outside blocks",
     "\n  <flag_names>\t\n\n  A \n\r\n</flag_names>\r\n\n \t<components>  \n\n" + block("Q1", "1") +
         "\n  </components> \n\n",
     list_of({"A"}, {parsed("Q1", {true})})},
    {"blocks in reverse order",
     "<components>\n" + block("Q1", "01") + "</components>\n<flag_names>\nA\nB\n</flag_names>\n",
     list_of({"A", "B"}, {parsed("Q1", {false, true})})},
    {"flag names kept as they stand, trimmed, duplicates included",
     "<flag_names>\n diag\t\nDiag\ndiag\n  \n</flag_names>\n",
     list_of({"diag", "Diag", "diag"}, {})},
    {"a second block of a kind replaces the first",
     "<flag_names>\nA\nB\n</flag_names>\n<components>\n" + block("OLD", "1") +
         "</components>\n<flag_names>\nC\n</flag_names>\n<components>\n" + block("NEW", "0") +
         "</components>\n",
     list_of({"C"}, {parsed("NEW", {false})})},
    {"free text between component blocks is ignored",
     "<components>\nfree text\n" + block("Q1") + "  more text\n<flag_names>\n\n" + block("Q2") +
         "</components>\n",
     list_of({}, {parsed("Q1"), parsed("Q2")})},
    {"block without its link-name line",
     "<components>\n<component>\nQ1\nreal\nname2\nsec\ngrp\ncls\ntyp\nfriendly\n1.5\n2\n3\n4\n"
     "\n  </component>\t\n" +
         block("Q2") + "</components>\n",
     list_of({}, {without_link(parsed("Q1")), parsed("Q2")})},
    {"empty lines inside a block are values",
     "<components>\n<component>\n\n\n\n\n\n\n\n\n1.5\n2\n3\n4\n\n\n</component>\n</components>\n",
     [] {
         Component c;
         c.x_ = 1.5;
         c.y_ = 2;
         c.z_ = 3;
         c.s_ = 4;
         return list_of({}, {c});
     }()},
    {"carriage returns stay in values, tags and numbers still read",
     "<flag_names>\r\nA\r\n</flag_names>\r\n<components>\r\n<component>\r\nQ1\r\nreal\r\n"
     "name2\nsec\ngrp\ncls\ntyp\nfriendly\r\n1.5\r\n2\r\n3\r\n4\r\n1\nlink\r\n</component>\r\n"
     "</components>\r\n",
     list_of({"A"}, {with_carriage_returns()})},
    {"last line without line feed: </components>", "<components>\n" + block("Q1") + "</components>",
     list_of({}, {parsed("Q1")})},
    {"last line without line feed: </flag_names>", "<flag_names>\nA\n</flag_names>",
     list_of({"A"}, {})},
    {"last line without line feed: blank", "<flag_names>\nA\n</flag_names>\n\n  ",
     list_of({"A"}, {})},
};

INSTANTIATE_TEST_SUITE_P(Files, ComponentListRead, ::testing::ValuesIn(read_cases), LabelName());

TEST_F(ComponentListFile, ReadsTheLongestNumericPrefixOfANumberLine) {
    const struct {
        std::string line;
        double value;
    } cases[] = {
        {"12.5 m", 12.5},
        {"  \t7", 7.0},
        {"-3.000000000000000e-03", -0.003},
        {"1.045200000000000e+02xyz", 104.52},
        {"0x1.8p1", 3.0},
        {"-0X10", -16.0},
        {"1e-300", 1e-300},
        {"2.2250738585072014e-308", 2.2250738585072014e-308},
        {"0", 0.0},
        {"0e-999", 0.0},
        {"1,5", 1.0},
        {".5", 0.5},
        {"+2", 2.0},
        {"inf", inf},
        {"INF", inf},
        {"-Infinity", -inf},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(read_content("<components>\n" + block("N", "", c.line) + "</components>\n"), "")
            << c.line;
        EXPECT_EQ(list_.components_.at(0).x_, c.value) << c.line;
    }
    for (const std::string nan_line : {"nan", "NaN", "-nan", "nan(123)", "NAN units"}) {
        ASSERT_EQ(read_content("<components>\n" + block("N", "", nan_line) + "</components>\n"), "")
            << nan_line;
        EXPECT_TRUE(std::isnan(list_.components_.at(0).x_)) << nan_line;
    }
}

struct ReadFailureCase {
    const char* label;
    std::string content;
    std::string message;  // "{file}" stands for the file name
    std::size_t line;     // the 1-based line at fault; 0 for the file as a whole
    std::vector<std::string> flag_names;
    std::vector<std::string> component_names;
};

void PrintTo(const ReadFailureCase& c, std::ostream* out) {
    *out << c.label;
}

class ComponentListReadFailure : public ComponentListFile,
                                 public ::testing::WithParamInterface<ReadFailureCase> {};

TEST_P(ComponentListReadFailure, ThrowsAndKeepsWhatWasReadBefore) {
    std::string expected = GetParam().message;
    const auto placeholder = expected.find("{file}");
    if (placeholder != std::string::npos) {
        expected.replace(placeholder, 6, file_);
    }
    EXPECT_EQ(read_content(GetParam().content), expected);
    EXPECT_EQ(fault_line_, GetParam().line);
    EXPECT_EQ(list_.flag_names_, GetParam().flag_names);
    EXPECT_EQ(names_of(list_), GetParam().component_names);
}

const std::string two_flags = "<flag_names>\nA\nB\n</flag_names>\n";
const std::string one_component = "<components>\n" + block("Q1") + "</components>\n";
const std::string open_with_q1 = "<components>\n" + block("Q1");

const ReadFailureCase read_failure_cases[] = {
    {"free text between the blocks",
     two_flags + "free  text \n" + one_component,
     "Unexpected line in {file}: free  text",
     5,
     {"A", "B"},
     {}},
    {"free text after the components",
     one_component + "\t</component>\r\n",
     "Unexpected line in {file}: </component>",
     19,
     {},
     {"Q1"}},
    // Before a tag of its own the file may be anything: never quoted.
    {"tags are case-sensitive", "<FLAG_NAMES>\n", "Unexpected line 1 in {file}", 1, {}, {}},
    {"tag with inner blank", "<flag_names >\n", "Unexpected line 1 in {file}", 1, {}, {}},
    {"another file's first line, after blank ones",
     "\n \t\nroot:*:20228:0:99999:7:::\n<flag_names>\nA\n</flag_names>\n",
     "Unexpected line 3 in {file}",
     3,
     {},
     {}},
    {"flag names never closed",
     one_component + "<flag_names>\nA\nB\n",
     "Found no closing </flag_names> tag",
     21,
     {},
     {"Q1"}},
    {"flag names never closed, last line without line feed",
     "<flag_names>\nA",
     "Found no closing </flag_names> tag",
     2,
     {},
     {}},
    {"components never closed",
     two_flags + open_with_q1 + "\n  \n",
     "Found no closing </components> tag",
     23,
     {"A", "B"},
     {}},
    {"components end after a final </component> without line feed",
     two_flags + "<components>\n" + block("Q1").substr(0, block("Q1").size() - 1),
     "Found no closing </components> tag",
     21,
     {"A", "B"},
     {}},
    {"components end after a block without link-name line",
     "<components>\n<component>\nQ1\nr\nn\ns\ng\nc\nt\nf\n1\n2\n3\n4\n\n</component>",
     "Found no closing </components> tag",
     16,
     {},
     {}},
    {"input ends inside a component block",
     two_flags + open_with_q1 + "<component>\nQ2\nreal\nname2\n",
     "Cannot parse component list",
     25,
     {"A", "B"},
     {"Q1"}},
    {"input ends right before the closing tag",
     open_with_q1 + block("Q2").substr(0, block("Q2").size() - 13),
     "Cannot parse component list",
     32,
     {},
     {"Q1"}},
    {"a line too many in a block",
     open_with_q1 + "<component>\nQ2\nr\nn\ns\ng\nc\nt\nf\n1\n2\n3\n4\n\nlink\nextra\n"
                    "</component>\n</components>\n",
     "Cannot parse component list",
     33,
     {},
     {"Q1"}},
    {"letters in place of x",
     open_with_q1 + block("Q2", "", "abc") + "</components>\n",
     "Floating point format error",
     27,
     {},
     {"Q1"}},
    {"empty number line",
     open_with_q1 + block("Q2", "", "") + "</components>\n",
     "Floating point format error",
     27,
     {},
     {"Q1"}},
    {"blank number line",
     open_with_q1 + block("Q2", "", " \t") + "</components>\n",
     "Floating point format error",
     27,
     {},
     {"Q1"}},
    {"too large",
     open_with_q1 + block("Q2", "", "1e999") + "</components>\n",
     "Floating point format error",
     27,
     {},
     {"Q1"}},
    {"too large and negative",
     open_with_q1 + block("Q2", "", "1.5", "-1e999") + "</components>\n",
     "Floating point format error",
     28,
     {},
     {"Q1"}},
    {"only a subnormal could hold it",
     open_with_q1 + block("Q2", "", "1.5", "2", "1e-320") + "</components>\n",
     "Floating point format error",
     29,
     {},
     {"Q1"}},
    {"underflow to zero",
     open_with_q1 + block("Q2", "", "1.5", "2", "3", "1e-400") + "</components>\n",
     "Floating point format error",
     30,
     {},
     {"Q1"}},
    {"bad s",
     open_with_q1 + block("Q2", "", "1", "2", "3", "s") + "</components>\n",
     "Floating point format error",
     30,
     {},
     {"Q1"}},
    {"hex prefix alone reads as zero, a sign alone does not",
     open_with_q1 + block("Q2", "", "0x", "-") + "</components>\n",
     "Floating point format error",
     28,
     {},
     {"Q1"}},
    {"blank between flags",
     two_flags + open_with_q1 + block("Q2", "1 0") + "</components>\n",
     "Flag format error",
     35,
     {"A", "B"},
     {"Q1"}},
    {"carriage return after flags",
     two_flags + open_with_q1 + block("Q2", "10\r") + "</components>\n",
     "Flag format error",
     35,
     {"A", "B"},
     {"Q1"}},
    {"digit other than 0 and 1",
     two_flags + open_with_q1 + block("Q2", "12") + "</components>\n",
     "Flag format error",
     35,
     {"A", "B"},
     {"Q1"}},
    {"blank flags line",
     open_with_q1 + block("Q2", " ") + "</components>\n",
     "Flag format error",
     31,
     {},
     {"Q1"}},
    {"more flags than flag names",
     two_flags + "<components>\n" + block("Q1", "10") + block("Q2", "101") + block("Q3", "1") +
         "</components>\n",
     "{file} is inconsistent: Component Q2 has 3 flags instead of 2 as prescribed by the header",
     0,
     {"A", "B"},
     {"Q1", "Q2", "Q3"}},
    {"fewer flags than flag names, header after the components",
     "<components>\n" + block("Q1", "1") + "</components>\n" + two_flags,
     "{file} is inconsistent: Component Q1 has 1 flags instead of 2 as prescribed by the header",
     0,
     {"A", "B"},
     {"Q1"}},
    {"flags without any header",
     "<components>\n" + block("Q1") + block("Q2", "0") + "</components>\n",
     "{file} is inconsistent: Component Q2 has 1 flags instead of 0 as prescribed by the header",
     0,
     {},
     {"Q1", "Q2"}},
    {"an empty flag name is skipped",
     "<flag_names>\nA\n\nB\n</flag_names>\n<components>\n" + block("Q1", "101") + "</components>\n",
     "{file} is inconsistent: Component Q1 has 3 flags instead of 2 as prescribed by the header",
     0,
     {"A", "B"},
     {"Q1"}},
};

INSTANTIATE_TEST_SUITE_P(Files, ComponentListReadFailure, ::testing::ValuesIn(read_failure_cases),
                         LabelName());

TEST_F(ComponentListFile, MissingFileLeavesTheListEmpty) {
    list_ = stale_list();
    const std::string missing = dir_.file("missing.txt");
    try {
        list_.read_from_file(missing);
        FAIL() << "no Error";
    } catch (const Error& e) {
        EXPECT_EQ(e.get_message(), "Unable to open " + missing + " for reading");
    }
    EXPECT_EQ(list_, ComponentList());
}

TEST_F(ComponentListFile, ReadingAFolderIsAnErrorNotAnEmptyList) {
    list_ = stale_list();
    const std::string folder = dir_.file("folder.txt");
    std::filesystem::create_directory(folder);
    try {
        list_.read_from_file(folder);
        FAIL() << "no Error";
    } catch (const Error& e) {
        EXPECT_EQ(e.get_message(), "Error while reading " + folder);
    }
    EXPECT_EQ(list_, ComponentList());
}

// --- writing -----------------------------------------------------------------

TEST_F(ComponentListFile, WriteReplacesALongerFileCompletely) {
    many_components().write_to_file(file_);
    ComponentList().write_to_file(file_);
    EXPECT_EQ(read_file(file_), "<flag_names>\n</flag_names>\n<components>\n</components>\n");
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"list.txt"});
}

TEST_F(ComponentListFile, WriteIntoAMissingFolderCannotOpen) {
    const std::string target = dir_.file("missing/list.txt");
    try {
        example_list().write_to_file(target);
        FAIL() << "no Error";
    } catch (const Error& e) {
        EXPECT_EQ(e.get_message(),
                  "Unable to open " + target + " for writing: No such file or directory");
    }
    EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(ComponentListFile, WriteAcceptsANameAtTheFileSystemsLimit) {
    const std::string target = dir_.file(std::string(255, 'n'));
    example_list().write_to_file(target);
    EXPECT_EQ(read_file(target), example_file);
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{std::string(255, 'n')});
}

TEST_F(ComponentListFile, WriteKeepsThePermissionsOfThePreviousFile) {
    const ScopedUmask usual_mask(022);
    example_list().write_to_file(file_);
    EXPECT_EQ(permissions_of(file_), 0644U);
    std::filesystem::permissions(file_, std::filesystem::perms::owner_read |
                                            std::filesystem::perms::owner_write |
                                            std::filesystem::perms::group_read);
    many_components().write_to_file(file_);
    EXPECT_EQ(permissions_of(file_), 0640U);
    EXPECT_EQ(read_content(read_file(file_)), "");
    EXPECT_EQ(list_, many_components());
}

TEST_F(ComponentListFile, WriteTakesARelativePathFromTheWorkingDirectory) {
    {
        const test::WorkingDirectory in_dir(dir_.path());
        example_list().write_to_file("relative.txt");
    }
    EXPECT_EQ(read_file(dir_.file("relative.txt")), example_file);
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"relative.txt"});
}

// Runs write_to_file in a child process whose files may not grow beyond
// `limit` bytes, and returns the message of the Error it threw ("" for none).
std::string write_under_file_size_limit(const ComponentList& list, const std::string& file,
                                        std::size_t limit) {
    return test::run_with_file_size_limit(limit, [&] {
        try {
            list.write_to_file(file);
        } catch (const Error& e) {
            return e.get_message();
        }
        return std::string();
    });
}

TEST_F(ComponentListFile, WriteThatFailsHalfWayLeavesThePreviousFileIntact) {
    example_list().write_to_file(file_);
    const std::string previous = read_file(file_);
    ASSERT_LT(previous.size(), 4096U);
    ComponentList large = many_components();
    for (int i = 0; i < 5; ++i) {
        large.components_.insert(large.components_.end(), large.components_.begin(),
                                 large.components_.end());
    }

    EXPECT_EQ(write_under_file_size_limit(large, file_, 4096),
              "Error while writing to " + file_ + ": File too large");
    EXPECT_EQ(read_file(file_), previous);
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"list.txt"});

    // The same limit is no obstacle to a list that fits.
    EXPECT_EQ(write_under_file_size_limit(ComponentList(), file_, 4096), "");
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"list.txt"});
}

struct RefusedCase {
    const char* label;
    void (*spoil)(ComponentList&);
    std::string named;  // what the reason must name; empty when there is nothing to name
};

void PrintTo(const RefusedCase& c, std::ostream* out) {
    *out << c.label;
}

class ComponentListWriteRefusal : public ComponentListFile,
                                  public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(ComponentListWriteRefusal, LeavesThePreviousFileUntouched) {
    ComponentList list = example_list();
    GetParam().spoil(list);
    const ComponentList before = list;
    const std::string prefix = "Unable to write " + file_ + ": ";

    // No file yet: none is created.
    const std::string first = write_message(list);
    EXPECT_EQ(first.substr(0, prefix.size()), prefix);
    EXPECT_GT(first.size(), prefix.size());
    EXPECT_NE(first.find(GetParam().named, prefix.size()), std::string::npos) << first;
    EXPECT_TRUE(dir_.entries().empty());

    // An existing file stays as it was.
    write_file(file_, "previous content\n");
    EXPECT_EQ(write_message(list), first);
    EXPECT_EQ(read_file(file_), "previous content\n");
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"list.txt"});
    EXPECT_EQ(list.flag_names_, before.flag_names_);
    EXPECT_EQ(names_of(list), names_of(before));
}

const RefusedCase refused_cases[] = {
    {"line feed in name_", [](ComponentList& l) { l.components_[0].name_ = "Q\nX"; }, ""},
    {"line feed in real_name_", [](ComponentList& l) { l.components_[0].real_name_ += '\n'; },
     "QX7"},
    {"line feed in name2_", [](ComponentList& l) { l.components_[0].name2_ = "\n"; }, "QX7"},
    {"line feed in section_", [](ComponentList& l) { l.components_[0].section_ += "\n"; }, "QX7"},
    {"line feed in group_", [](ComponentList& l) { l.components_[0].group_ += "\n"; }, "QX7"},
    {"line feed in class_", [](ComponentList& l) { l.components_[0].class_ += "\n"; }, "QX7"},
    {"line feed in type_", [](ComponentList& l) { l.components_[0].type_ += "\n"; }, "QX7"},
    {"line feed in friendly_name_",
     [](ComponentList& l) { l.components_[0].friendly_name_ = "a\r\nb"; }, "QX7"},
    {"line feed in link_name_", [](ComponentList& l) { l.components_[0].link_name_ += "\n"; },
     "QX7"},
    {"line feed in a flag name", [](ComponentList& l) { l.flag_names_[1] = "DI\nAG"; }, "DI"},
    {"empty flag name", [](ComponentList& l) { l.flag_names_[1].clear(); }, ""},
    {"blank before a flag name", [](ComponentList& l) { l.flag_names_[1] = " DIAG"; }, "DIAG"},
    {"tab after a flag name", [](ComponentList& l) { l.flag_names_[0] = "QUAD\t"; }, "QUAD"},
    {"carriage return after a flag name", [](ComponentList& l) { l.flag_names_[0] = "QUAD\r"; },
     "QUAD"},
    {"blank flag name", [](ComponentList& l) { l.flag_names_[0] = " "; }, ""},
    {"flag name that closes the block",
     [](ComponentList& l) { l.flag_names_[1] = "</flag_names>"; }, "</flag_names>"},
    {"link name that closes the component",
     [](ComponentList& l) { l.components_[0].link_name_ = "</component>"; }, "QX7"},
    {"link name that closes the component once trimmed",
     [](ComponentList& l) { l.components_[0].link_name_ = " \t</component>\r"; }, "QX7"},
    {"largest double, which rounds beyond the range when written",
     [](ComponentList& l) { l.components_[0].x_ = std::numeric_limits<double>::max(); }, "QX7"},
    {"smallest normal double, which rounds to a subnormal when written",
     [](ComponentList& l) { l.components_[0].s_ = std::numeric_limits<double>::min(); }, "QX7"},
    {"second component spoilt",
     [](ComponentList& l) {
         l.components_.push_back(l.components_[0]);
         l.components_[1].name_ = "QX8";
         l.components_[1].link_name_ = "</component>";
     },
     "QX8"},
};

INSTANTIATE_TEST_SUITE_P(Lists, ComponentListWriteRefusal, ::testing::ValuesIn(refused_cases),
                         LabelName());

}  // namespace
}  // namespace zel::sql
