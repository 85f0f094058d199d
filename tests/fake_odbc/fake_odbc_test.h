#ifndef ZEL_SQL_TESTS_FAKE_ODBC_FAKE_ODBC_TEST_H_
#define ZEL_SQL_TESTS_FAKE_ODBC_FAKE_ODBC_TEST_H_

// Helpers shared by the tests against the fake ODBC interface; those that
// every layer of tests uses are in tests/support/test_support.h.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_odbc.h"
#include "odbc/source_registry.h"
#include "zel/Error.h"
#include "zel/sql/DatabaseError.h"
#include "zel/sql/handles.h"

namespace zel::sql::test {

/// Resets the fake before each test. After each test it checks that every
/// handle was freed and that no call was made on an unknown handle (a handle
/// used after it was freed); a test that leaves handles on purpose clears
/// `expect_all_freed_`.
class FakeOdbcTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_odbc::reset();
        // Every test starts with no source held back by an earlier one.
        detail::SourceRegistry::instance().forget_sources_for_tests();
    }

    void TearDown() override {
        for (const fake_odbc::Call& call : fake_odbc::calls()) {
            EXPECT_NE(call.result, SQL_INVALID_HANDLE)
                << call.name() << " on " << fake_odbc::describe(call.handle());
        }
        if (expect_all_freed_) {
            for (const int type : {SQL_HANDLE_STMT, SQL_HANDLE_DBC, SQL_HANDLE_ENV}) {
                for (SQLHANDLE handle : fake_odbc::live_handles(static_cast<SQLSMALLINT>(type))) {
                    ADD_FAILURE() << "still allocated at the end of the test: "
                                  << fake_odbc::describe(handle);
                }
            }
        }
    }

    bool expect_all_freed_ = true;
};

/// An environment and a connection opened with the handle classes and
/// SQLConnect, for tests below the level of Database. Disconnects when
/// destroyed; the members then free the connection and the environment.
struct Connection {
    zel::sql::EnvironmentHandle env;
    zel::sql::ConnectionHandle conn;

    Connection() {
        env.alloc();
        conn.alloc(env);
        SQLCHAR dsn[] = "fake";
        SQLConnect(conn(), dsn, 4, nullptr, 0, nullptr, 0);
    }
    ~Connection() { SQLDisconnect(conn()); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
};

/// The zel::sql::DatabaseError that `action` throws; fails the test and returns
/// nothing when it throws nothing or something else.
template <typename Action>
std::optional<zel::sql::DatabaseError> database_error(Action&& action) {
    try {
        action();
    } catch (const zel::sql::DatabaseError& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "threw another exception than zel::sql::DatabaseError: " << e.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "threw nothing";
    return std::nullopt;
}

/// The calls of the log from index `first` on.
inline std::vector<fake_odbc::Call> calls_from(std::size_t first) {
    const auto& all = fake_odbc::calls();
    return std::vector<fake_odbc::Call>(all.begin() + static_cast<std::ptrdiff_t>(first),
                                        all.end());
}

/// The names of the calls of the log from index `first` on.
inline std::vector<std::string> names_from(std::size_t first) {
    std::vector<std::string> names;
    for (const fake_odbc::Call& call : calls_from(first)) {
        names.emplace_back(call.name());
    }
    return names;
}

}  // namespace zel::sql::test

#endif  // ZEL_SQL_TESTS_FAKE_ODBC_FAKE_ODBC_TEST_H_
