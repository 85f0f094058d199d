// Database through the real driver manager: column names from the data
// dictionary view, connections that are refused and say why, healthy
// connections that are kept, and the SQLSTATE of a rejected statement.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend_fixture.h"
#include "backends.h"
#include "connections.h"
#include "odbc_call_counter.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"
#include "zel/sql/DatabaseError.h"

namespace zel::sql::test::integration {
namespace {

using test::error_message;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class DatabaseColumns : public BackendTest {};

TEST_P(DatabaseColumns, ListsTheColumnsOfAViewInOrderWhateverTheSpelling) {
    const std::vector<std::string> expected = {"NAME",      "REAL_NAME",
                                               "NAME2",     "SECTION",
                                               "GROUP_",    "CLASS",
                                               "TYPE_",     "FRIENDLY_NAME",
                                               "X",         "Y",
                                               "Z",         "S",
                                               "LINK_NAME", "FLAG_MAIN_BEAM",
                                               "FLAG_BPM",  GetParam().vacuum_flag_column};
    const struct {
        const char* table;
        const char* owner;
    } spellings[] = {{"MIRAN_VIEW_COMPONENTS", "TAVIK"},
                     {"miran_view_components", "tavik"},
                     {"Miran_View_Components", "Tavik"}};
    for (const auto& spelling : spellings) {
        EXPECT_EQ(db_->read_column_names(spelling.table, spelling.owner), expected)
            << spelling.owner << "." << spelling.table;
    }
}

TEST_P(DatabaseColumns, UnknownTablesAndOwnersGiveNoColumns) {
    EXPECT_THAT(db_->read_column_names("NO_SUCH_VIEW", "TAVIK"), IsEmpty());
    EXPECT_THAT(db_->read_column_names("MIRAN_VIEW_COMPONENTS", "NOBODY"), IsEmpty());
}

TEST_P(DatabaseColumns, QuotesInNamesStayInsideTheLiterals) {
    EXPECT_THAT(db_->read_column_names("quote's", "TAVIK"), ElementsAre("ANSWER"))
        << "the table whose name holds a quote";
    // Without doubling, these would end the literal and match every row.
    EXPECT_THAT(db_->read_column_names("X' OR '1'='1", "TAVIK"), IsEmpty());
    EXPECT_THAT(db_->read_column_names("MIRAN_VIEW_COMPONENTS", "X' OR '1'='1"), IsEmpty());
    EXPECT_THAT(db_->read_column_names("'", "'"), IsEmpty());
}

ZEL_SQL_ON_EVERY_BACKEND(DatabaseColumns);

TEST(DatabaseConnection, RefusedLoginsFailAtStatementAllocationAndSayWhy) {
    const struct {
        const char* what;
        const char* data_source;
        const char* user;
        const char* password;
        const char* reason;  // part of get_last_connect_error()
    } logins[] = {
        {"unknown data source", "zel_no_such_dsn", reader, reader_password,
         "[unixODBC][Driver Manager]Data source name not found"},
        {"wrong password, Unicode driver", pg_unicode.data_source, reader, "not-the-password",
         "password authentication failed for user \"tavik_reader\""},
        {"wrong password, ANSI driver", pg_ansi.data_source, reader, "not-the-password",
         "password authentication failed for user \"tavik_reader\""},
        // The server does not tell an unknown user from a wrong password.
        {"unknown user, Unicode driver", pg_unicode.data_source, "nobody_here", reader_password,
         "password authentication failed for user \"nobody_here\""},
        {"unknown user, ANSI driver", pg_ansi.data_source, "nobody_here", reader_password,
         "password authentication failed for user \"nobody_here\""},
        {"wrong password, MariaDB", mariadb.data_source, reader, "not-the-password",
         "Access denied for user 'tavik_reader'@'127.0.0.1' (using password: YES)"},
        {"unknown user, MariaDB", mariadb.data_source, "nobody_here", reader_password,
         "Access denied for user 'nobody_here'@'127.0.0.1' (using password: YES)"},
    };
    expect_login_accepted(pg_unicode.data_source);
    expect_login_accepted(pg_ansi.data_source);
    expect_login_accepted(mariadb.data_source);
    for (const auto& login : logins) {
        SCOPED_TRACE(login.what);
        Database db(login.data_source, login.user, login.password);
        EXPECT_EQ(db.get_last_connect_error(), "");
        // Each call tries to connect again and is refused again.
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(error_message([&] { db.send_query("SELECT 1"); }),
                      "Unable to allocate SQL statement handle");
            EXPECT_FALSE(db.is_connected());
            EXPECT_THAT(db.get_last_connect_error(), HasSubstr(login.reason));
        }
        EXPECT_EQ(error_message([&] { db.read_column_names("MIRAN_VIEW_COMPONENTS", "TAVIK"); }),
                  "Unable to allocate SQL statement handle");
        EXPECT_THAT(db.get_last_connect_error(), HasSubstr(login.reason));
    }
}

// A connection that nothing disturbed is asked once per reuse whether it is
// still alive, answers that it is, and is kept.
class HealthyConnection : public ::testing::TestWithParam<Backend> {};

TEST_P(HealthyConnection, IsAskedOncePerReuseAndKept) {
    const OdbcCallCounts before = odbc_call_counts();
    std::unique_ptr<Database> db = open_database(GetParam());
    if (!db->is_connected()) {
        db->connect();
    }
    for (int call = 0; call < 3; ++call) {
        Query query = db->send_query("SELECT 1");
        EXPECT_TRUE(query.fetch());
    }
    { db->get_procedure("SELECT 1"); }
    const OdbcCallCounts calls = odbc_calls_since(before);
    EXPECT_EQ(calls.connects, 1);
    EXPECT_EQ(calls.dead_questions, 4);
    EXPECT_EQ(calls.answered_alive, calls.dead_questions)
        << "the driver answered dead or not at all";
    EXPECT_TRUE(db->is_connected());
    EXPECT_EQ(db->get_last_connect_error(), "");
}

ZEL_SQL_ON_EVERY_BACKEND(HealthyConnection);

// What each driver reports for a statement that is not SQL: SQLSTATE and
// native code of the first diagnostic record.
class RejectedStatement : public BackendTest {};

TEST_P(RejectedStatement, CarriesTheSqlstateAndNativeCodeOfTheDriver) {
    const struct {
        const char* backend;
        const char* sqlstate;
        std::int32_t native_error;
        const char* message;  // the whole message, or for MariaDB a part of it
    } expectations[] = {
        // psqlODBC passes the server's SQLSTATE on, with a native code of its own.
        {pg_unicode.name, "42601", 1,
         "Query failed: ERROR: syntax error at or near \"SELEC\";\nError while executing the "
         "query (SELEC 1)"},
        {pg_ansi.name, "42601", 1,
         "Query failed: ERROR: syntax error at or near \"SELEC\";\nError while executing the "
         "query (SELEC 1)"},
        // SQLite's own result code SQLITE_ERROR, under the general SQLSTATE.
        {sqlite.name, "HY000", 1,
         "Query failed: [SQLite]near \"SELEC\": syntax error (1) (SELEC 1)"},
        // The server's error number; the driver's text names the server's
        // version, so only its words are checked.
        {mariadb.name, "42000", 1064, "You have an error in your SQL syntax"},
    };
    std::optional<DatabaseError> error;
    try {
        db_->send_query("SELEC 1");
    } catch (const DatabaseError& e) {
        error = e;
    }
    ASSERT_TRUE(error) << "no DatabaseError";
    for (const auto& expected : expectations) {
        if (std::string(expected.backend) == GetParam().name) {
            EXPECT_EQ(error->get_sqlstate(), expected.sqlstate);
            EXPECT_EQ(error->get_native_error(), expected.native_error);
            if (GetParam().is_mariadb) {
                EXPECT_THAT(error->get_message(), StartsWith("Query failed: "));
                EXPECT_THAT(error->get_message(), HasSubstr(expected.message));
                EXPECT_THAT(error->get_message(), EndsWith(" (SELEC 1)"));
            } else {
                EXPECT_EQ(error->get_message(), expected.message);
            }
            EXPECT_EQ(error->what(), error->get_message());
            return;
        }
    }
    ADD_FAILURE() << "no expectation for " << GetParam().name << ": " << error->get_sqlstate()
                  << " " << error->get_native_error() << " " << error->what();
}

ZEL_SQL_ON_EVERY_BACKEND(RejectedStatement);

TEST(DatabaseConnection, ReconnectsAfterDisconnect) {
    Database db(pg_unicode.data_source, reader, reader_password);
    for (int round = 0; round < 2; ++round) {
        {
            Query query = db.send_query("SELECT label FROM samples WHERE id = 1");
            ASSERT_TRUE(query.fetch());
            EXPECT_EQ(query.get_column_as_string(1, nullptr), "alpha");
        }  // a statement must go before its connection closes
        db.disconnect();
    }
}

}  // namespace
}  // namespace zel::sql::test::integration
