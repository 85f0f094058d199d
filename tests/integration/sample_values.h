#ifndef ZEL_SQL_TESTS_INTEGRATION_SAMPLE_VALUES_H_
#define ZEL_SQL_TESTS_INTEGRATION_SAMPLE_VALUES_H_

// The long values of sample row 1 of every test database, as test_env.sh
// generates them for sql/*.sql.

#include <string>
#include <vector>

namespace zel::sql::test::integration {

// 2500 characters: "0000,0001,...,0499,".
std::string expected_long_text();

// 5000 bytes, where byte i is (7 i + 3) mod 256.
std::vector<unsigned char> expected_payload();

}  // namespace zel::sql::test::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_SAMPLE_VALUES_H_
