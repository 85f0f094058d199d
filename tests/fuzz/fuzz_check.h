#ifndef ZEL_SQL_TESTS_FUZZ_FUZZ_CHECK_H_
#define ZEL_SQL_TESTS_FUZZ_FUZZ_CHECK_H_

// Property checks for the fuzz targets. A failed check aborts, which libFuzzer
// reports as a crash and saves the input that caused it.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zel::sql::test::fuzz {

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "property violated: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool holds, const std::string& what) {
    if (!holds) {
        fail(what);
    }
}

}  // namespace zel::sql::test::fuzz

#endif  // ZEL_SQL_TESTS_FUZZ_FUZZ_CHECK_H_
