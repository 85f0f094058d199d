#ifndef ZEL_SQL_TESTS_INTEGRATION_BACKEND_FIXTURE_H_
#define ZEL_SQL_TESTS_INTEGRATION_BACKEND_FIXTURE_H_

// The fixture of the tests that run once on every backend: a Database on the
// backend of the test's parameter, opened as the reader (open_database), and
// for the tests that write files a scratch working directory of their own.
//
//   class ReadsThings : public BackendTest {};
//   TEST_P(ReadsThings, ...) { db_->send_query(...); }
//   ZEL_SQL_ON_EVERY_BACKEND(ReadsThings);

#include <gtest/gtest.h>

#include <memory>

#include "backends.h"
#include "connections.h"
#include "test_support.h"
#include "zel/sql/Database.h"

namespace zel::sql::test::integration {

class BackendTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override { db_ = open_database(GetParam()); }
    // Closed before any member of a derived fixture goes, while the scratch
    // directory below is still the working directory.
    void TearDown() override { db_.reset(); }

    std::unique_ptr<Database> db_;
};

// The same, run in a fresh temporary working directory, where backup files
// and the "db_cache" folder land; it is made before the Database is opened
// and removed after it is closed.
class BackendTestInScratchDir : public BackendTest {
protected:
    TempWorkingDir scratch_;
};

}  // namespace zel::sql::test::integration

// Runs the TEST_Ps of `suite` once per backend, each instance named after it.
#define ZEL_SQL_ON_EVERY_BACKEND(suite)                                                          \
    INSTANTIATE_TEST_SUITE_P(Drivers, suite,                                                     \
                             ::testing::ValuesIn(::zel::sql::test::integration::all_backends()), \
                             ::zel::sql::test::integration::BackendName())

#endif  // ZEL_SQL_TESTS_INTEGRATION_BACKEND_FIXTURE_H_
