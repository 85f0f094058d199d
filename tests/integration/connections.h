#ifndef ZEL_SQL_TESTS_INTEGRATION_CONNECTIONS_H_
#define ZEL_SQL_TESTS_INTEGRATION_CONNECTIONS_H_

// Logging in to the data sources of the integration test environment as the
// reader, and the checks around a login.

#include <memory>

#include "backends.h"
#include "zel/sql/Database.h"

namespace zel::sql::test::integration {

// Attaches the environment's TAVIK file to an SQLite connection as TAVIK, so
// that TAVIK-qualified names resolve: SQLite has no schemas.
void attach_tavik(Database& db);

// Sets the wait limit of `db` to ZEL_SQL_TEST_WAIT_LIMIT_MS when the
// environment names one; otherwise leaves the library's default. The valgrind
// stage sets a long one: there the SQLite engine, which runs inside the test
// process, reads a 10 MiB value in more than the default 15 s, and a timeout
// would be no finding.
void apply_test_wait_limit(Database& db);

// A Database on `backend` as the reader, with the test wait limit applied.
// For SQLite the TAVIK database is attached.
std::unique_ptr<Database> open_database(const Backend& backend);

// Fails the test unless `data_source` accepts the reader's login: the control
// that tells a refused login from a server that is not there at all.
void expect_login_accepted(const char* data_source);

// Waits until `data_source` accepts the reader's login again, for a server that
// is recovering from a crash; fails the test after 30 seconds.
void wait_for_login(const char* data_source);

}  // namespace zel::sql::test::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_CONNECTIONS_H_
