// Case-insensitive patterns with the lower-case mapping taken once: every
// match and every error must be those of std::regex, in whatever locale the
// pattern is compiled.

#include <gtest/gtest.h>

#include <locale>
#include <regex>
#include <string>
#include <vector>

#include "util/regex_traits.h"

namespace zel::util {
namespace {

// A ctype facet that folds the Latin-1 capital A with diaeresis to its small
// letter, as a single-byte locale would, and maps nothing else but ASCII.
class Latin1Ctype : public std::ctype<char> {
protected:
    char do_tolower(char c) const override {
        return c == '\xc4' ? '\xe4' : std::ctype<char>::do_tolower(c);
    }
    const char* do_tolower(char* first, const char* last) const override {
        for (; first != last; ++first) {
            *first = do_tolower(*first);
        }
        return last;
    }
};

std::vector<std::string> subjects() {
    std::vector<std::string> all = {"",      "QFA1",  "qfa1",   "QfA12", "QF",   "Q1A",
                                    "q1",    "Q\xe4", "Q\xc4",  "\xc4",  "\xe4", "ab\ncd",
                                    "AB.CD", "ABCDX", "q_7-Z@", "Q\r",   "QFA1 "};
    for (int c = 0; c < 256; ++c) {
        all.emplace_back(1, static_cast<char>(c));
    }
    return all;
}

const char* const patterns[] = {
    "QFA.*", "q\\d",  "Q.",          "[a-f]+\\d?", "[^q]",           "(ab|CD)\\.?cd", "\\w+[@-]?z?",
    "\xe4",  "Q\xc4", "[\xc4-\xe4]", ".",          "(?:q)(f)\\1?a1", "\\bq",
};

void expect_same_matches(const std::locale& locale) {
    for (const char* text : patterns) {
        std::regex expected;
        expected.imbue(locale);
        expected.assign(text, std::regex::icase);
        CaseFoldingRegex folded;
        folded.imbue(locale);
        folded.assign(text, std::regex::icase);
        for (const std::string& subject : subjects()) {
            EXPECT_EQ(std::regex_match(subject, folded), std::regex_match(subject, expected))
                << "pattern \"" << text << "\", subject \"" << subject << '"';
        }
    }
}

TEST(CaseFoldingRegex, MatchesAsStdRegexInTheClassicLocale) {
    expect_same_matches(std::locale::classic());
}

TEST(CaseFoldingRegex, TakesTheCaseFoldingOfItsOwnLocale) {
    const std::locale latin1(std::locale::classic(), new Latin1Ctype);
    expect_same_matches(latin1);
    CaseFoldingRegex folded;
    folded.imbue(latin1);
    folded.assign("q\xe4", std::regex::icase);
    EXPECT_TRUE(std::regex_match("Q\xc4", folded));
}

TEST(CaseFoldingRegex, RejectsBadPatternsAsStdRegex) {
    for (const char* text : {"(", "[Q", "a{2,1}", "*", "\\", "[b-a]", "a)", "(?<x>a)"}) {
        std::regex_constants::error_type expected{};
        try {
            std::regex(text, std::regex::icase);
            ADD_FAILURE() << "std::regex accepted \"" << text << '"';
        } catch (const std::regex_error& e) {
            expected = e.code();
        }
        try {
            CaseFoldingRegex(text, std::regex::icase);
            ADD_FAILURE() << "accepted \"" << text << '"';
        } catch (const std::regex_error& e) {
            EXPECT_EQ(e.code(), expected) << text;
        }
    }
}

}  // namespace
}  // namespace zel::util
