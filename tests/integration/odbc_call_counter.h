#ifndef ZEL_SQL_TESTS_INTEGRATION_ODBC_CALL_COUNTER_H_
#define ZEL_SQL_TESTS_INTEGRATION_ODBC_CALL_COUNTER_H_

// Counts of two ODBC calls that the library makes through the real driver
// manager. This test program defines SQLConnect and SQLGetConnectAttr itself;
// the dynamic linker binds the library's calls to these definitions, which
// count and forward to the driver manager's own functions. Nothing else
// changes: the driver manager and the drivers do all the work.

namespace zel::sql::test::integration {

struct OdbcCallCounts {
    int connects = 0;        // SQLConnect calls
    int dead_questions = 0;  // SQLGetConnectAttr(SQL_ATTR_CONNECTION_DEAD) calls
    int answered_alive = 0;  // ...that succeeded with SQL_CD_FALSE
    int answered_dead = 0;   // ...that succeeded with SQL_CD_TRUE
};

// The counts since the program started, over all threads.
OdbcCallCounts odbc_call_counts();

// The counts of what happened since `before`.
OdbcCallCounts odbc_calls_since(const OdbcCallCounts& before);

}  // namespace zel::sql::test::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_ODBC_CALL_COUNTER_H_
