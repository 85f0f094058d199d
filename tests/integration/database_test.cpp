// Database through the real driver manager: column names from the data
// dictionary view and connections that are refused.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "test_env.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql::integration {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DatabaseColumns : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override { db_ = open_database(GetParam()); }
    std::unique_ptr<Database> db_;
};

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

INSTANTIATE_TEST_SUITE_P(Drivers, DatabaseColumns, ::testing::ValuesIn(all_backends()),
                         BackendName());

TEST(DatabaseConnection, RefusedLoginsFailAtStatementAllocationEveryTime) {
    const struct {
        const char* what;
        const char* data_source;
        const char* user;
        const char* password;
    } logins[] = {
        {"unknown data source", "zel_no_such_dsn", reader, reader_password},
        {"wrong password", "zel_pg_unicode", reader, "not-the-password"},
        {"unknown user", "zel_pg_ansi", "nobody_here", reader_password},
        {"wrong password on MariaDB", "zel_mariadb", reader, "not-the-password"},
        {"unknown user on MariaDB", "zel_mariadb", "nobody_here", reader_password},
    };
    expect_login_accepted(pg_unicode.data_source);
    expect_login_accepted(pg_ansi.data_source);
    expect_login_accepted(mariadb.data_source);
    for (const auto& login : logins) {
        SCOPED_TRACE(login.what);
        Database db(login.data_source, login.user, login.password);
        // Each call tries to connect again and is refused again.
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(error_message_of([&] { db.send_query("SELECT 1"); }),
                      "Unable to allocate SQL statement handle");
        }
        EXPECT_EQ(error_message_of([&] { db.read_column_names("MIRAN_VIEW_COMPONENTS", "TAVIK"); }),
                  "Unable to allocate SQL statement handle");
    }
}

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
}  // namespace zel::sql::integration
