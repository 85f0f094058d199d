// Loading the component list against the fake: the exact SQL texts, the 13 + n column bindings,
// the buffers reset before every fetch, a fetch failing in the middle of the
// rows, and the facility name check before any ODBC call.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using fake_odbc::integer;
using fake_odbc::null;
using fake_odbc::real;
using fake_odbc::text;
using zel::sql::Component;
using zel::sql::ComponentList;
using zel::sql::Database;
using zel::sql::test::error_message;
using zel::sql::test::read_file;
using zel::sql::test::TempDir;

const char* const flag_names_sql =
    "SELECT COLUMN_NAME FROM ALL_TAB_COLUMNS WHERE UPPER(OWNER) = 'TAVIK' AND "
    "UPPER(TABLE_NAME) = 'MIRAN_VIEW_COMPONENTS'";
const char* const select_sql =
    "SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, TYPE_, FRIENDLY_NAME, X, Y, Z, S, "
    "LINK_NAME, FLAG_A, FLAG_ABC FROM TAVIK.MIRAN_VIEW_COMPONENTS";
const char* const select_without_flags_sql =
    "SELECT NAME, REAL_NAME, NAME2, SECTION, GROUP_, CLASS, TYPE_, FRIENDLY_NAME, X, Y, Z, S, "
    "LINK_NAME FROM TAVIK.MIRAN_VIEW_COMPONENTS";

// The column list of the view: the fixed columns, a flag in upper case and
// one in lower case, interleaved as a server may return them.
fake_odbc::ResultSet view_columns() {
    fake_odbc::ResultSet columns(1);
    for (const char* name :
         {"NAME", "REAL_NAME", "NAME2", "FLAG_A", "SECTION", "GROUP_", "CLASS", "TYPE_",
          "FRIENDLY_NAME", "X", "Y", "Z", "S", "LINK_NAME", "flag_abc"}) {
        columns.row({text(name)});
    }
    return columns;
}

std::vector<fake_odbc::Value> full_row(const std::string& name, unsigned short flag_a,
                                       unsigned short flag_abc) {
    return {text(name),        text(name + "_real"),
            text(name + "_2"), text("SEC"),
            text("GRP"),       text("CLS"),
            text("TYP"),       text(name + " friendly"),
            real(1.0),         real(2.0),
            real(3.0),         real(4.0),
            text("LINK"),      integer(flag_a),
            integer(flag_abc)};
}

// The component that full_row(name, ...) describes, with its two flags.
Component full_component(const std::string& name, std::vector<bool> flags) {
    Component c;
    c.name_ = name;
    c.real_name_ = name + "_real";
    c.name2_ = name + "_2";
    c.section_ = "SEC";
    c.group_ = "GRP";
    c.class_ = "CLS";
    c.type_ = "TYP";
    c.friendly_name_ = name + " friendly";
    c.link_name_ = "LINK";
    c.x_ = 1.0;
    c.y_ = 2.0;
    c.z_ = 3.0;
    c.s_ = 4.0;
    c.flags_ = std::move(flags);
    return c;
}

std::vector<fake_odbc::Value> null_row(const std::string& name) {
    std::vector<fake_odbc::Value> row(15, null());
    row[0] = text(name);
    return row;
}

class ComponentListDb : public zel::sql::test::FakeOdbcTest {
protected:
    void TearDown() override {
        database_.reset();  // before the check that every handle was freed
        FakeOdbcTest::TearDown();
    }

    std::optional<Database> database_{std::in_place, "accel", "reader", "pw"};
    Database& db_ = *database_;
};

TEST_F(ComponentListDb, SendsTheExactTextsAndReadsEveryRow) {
    fake_odbc::set_result_set_for(flag_names_sql, view_columns());
    fake_odbc::set_result_set_for(
        select_sql, fake_odbc::ResultSet(15).row(full_row("Q1", 1, 0)).row(full_row("Q2", 2, 1)));
    ComponentList list;
    list.read_from_db(db_, " miran ");

    const auto execs = fake_odbc::calls_of(Fn::exec_direct);
    ASSERT_EQ(execs.size(), 2u);
    EXPECT_EQ(execs[0].text(), flag_names_sql);
    EXPECT_EQ(execs[1].text(), select_sql);

    EXPECT_EQ(list.flag_names_, (std::vector<std::string>{"A", "ABC"}));
    ASSERT_EQ(list.components_.size(), 2u);
    EXPECT_EQ(list.components_[0], full_component("Q1", {true, false}));
    EXPECT_EQ(list.components_[1], full_component("Q2", {true, true}));  // 2 is true
    EXPECT_TRUE(fake_odbc::live_handles(SQL_HANDLE_STMT).empty());
}

TEST_F(ComponentListDb, BindsThirteenPlusNColumnsOnceBeforeTheFirstFetch) {
    fake_odbc::set_result_set_for(flag_names_sql, view_columns());
    fake_odbc::set_result_set_for(select_sql, fake_odbc::ResultSet(15)
                                                  .row(full_row("Q1", 1, 0))
                                                  .row(full_row("Q2", 0, 0))
                                                  .row(full_row("Q3", 0, 1)));
    ComponentList list;
    list.read_from_db(db_, "MIRAN");

    // The calls on the statement of the SELECT.
    const SQLHSTMT stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);
    std::vector<fake_odbc::Call> on_stmt;
    for (const fake_odbc::Call& call : fake_odbc::calls()) {
        if (call.fn != Fn::alloc_handle && call.handle() == stmt) {
            on_stmt.push_back(call);
        }
    }
    std::vector<std::string> names;
    for (const auto& call : on_stmt) {
        names.emplace_back(call.name());
    }
    std::vector<std::string> expected = {"SQLSetStmtAttr", "SQLExecDirect"};
    expected.insert(expected.end(), 15, "SQLBindCol");
    expected.insert(expected.end(), 4, "SQLFetch");  // three rows and the end
    expected.insert(expected.end(), {"SQLCancel", "SQLFreeHandle"});
    EXPECT_EQ(names, expected);

    const std::vector<long long> types = {SQL_C_CHAR,   SQL_C_CHAR,   SQL_C_CHAR,   SQL_C_CHAR,
                                          SQL_C_CHAR,   SQL_C_CHAR,   SQL_C_CHAR,   SQL_C_CHAR,
                                          SQL_C_DOUBLE, SQL_C_DOUBLE, SQL_C_DOUBLE, SQL_C_DOUBLE,
                                          SQL_C_CHAR,   SQL_C_USHORT, SQL_C_USHORT};
    const std::vector<long long> lengths = {256, 256, 256, 256, 256, 256, 256, 256,
                                            8,   8,   8,   8,   256, 2,   2};
    std::vector<const void*> buffers;
    for (std::size_t i = 0; i < 15; ++i) {
        const fake_odbc::Call& bind = on_stmt[2 + i];
        SCOPED_TRACE(i);
        EXPECT_EQ(bind.number(1), static_cast<long long>(i + 1));
        EXPECT_EQ(bind.number(2), types[i]);
        EXPECT_EQ(bind.number(4), lengths[i]);
        EXPECT_NE(bind.pointer(3), nullptr);
        EXPECT_NE(bind.pointer(5), nullptr);
        buffers.push_back(bind.pointer(3));
    }
    // Fifteen distinct buffers, and each row's own flag values arrive.
    std::sort(buffers.begin(), buffers.end());
    EXPECT_EQ(std::unique(buffers.begin(), buffers.end()), buffers.end());
    EXPECT_EQ(list.components_, (std::vector<Component>{full_component("Q1", {true, false}),
                                                        full_component("Q2", {false, false}),
                                                        full_component("Q3", {false, true})}));
}

TEST_F(ComponentListDb, BuffersAreResetBeforeEveryFetch) {
    fake_odbc::set_result_set_for(flag_names_sql, view_columns());
    fake_odbc::set_result_set_for(select_sql, fake_odbc::ResultSet(15)
                                                  .row(full_row("FULL", 1, 2))
                                                  .row(null_row("EMPTY"))
                                                  .row(full_row("AGAIN", 0, 1)));
    ComponentList list;
    list.read_from_db(db_, "MIRAN");
    ASSERT_EQ(list.components_.size(), 3u);
    Component empty;
    empty.name_ = "EMPTY";
    empty.flags_ = {false, false};
    EXPECT_EQ(list.components_[1], empty);
    EXPECT_EQ(list.components_[2], full_component("AGAIN", {false, true}));
}

TEST_F(ComponentListDb, LongTextIsCutTo255BytesTerminatedByTheDriverOrNot) {
    fake_odbc::set_result_set_for(flag_names_sql, view_columns());
    std::vector<fake_odbc::Value> row = full_row("LONG", 0, 0);
    row[7] = text(std::string(300, 'f'));
    // Filled to the last byte without a NUL: the following buffer must not
    // become part of the value.
    row[0] = fake_odbc::unterminated(text(std::string(256, 'n')));
    row[1] = fake_odbc::unterminated(text(std::string(400, 'r')));
    fake_odbc::set_result_set_for(select_sql, fake_odbc::ResultSet(15).row(row));
    ComponentList list;
    list.read_from_db(db_, "MIRAN");
    ASSERT_EQ(list.components_.size(), 1u);
    EXPECT_EQ(list.components_[0].friendly_name_, std::string(255, 'f'));
    EXPECT_EQ(list.components_[0].name_, std::string(255, 'n'));
    EXPECT_EQ(list.components_[0].real_name_, std::string(255, 'r'));
}

TEST_F(ComponentListDb, ViewWithoutFlagColumnsSelectsTheThirteenFixedColumns) {
    fake_odbc::set_result_set_for(flag_names_sql,
                                  fake_odbc::ResultSet(1).row({text("NAME")}).row({text("X")}));
    std::vector<fake_odbc::Value> row = full_row("Q", 0, 0);
    row.resize(13);
    fake_odbc::set_result_set_for(select_without_flags_sql, fake_odbc::ResultSet(13).row(row));
    ComponentList list;
    list.read_from_db(db_, "MIRAN");
    EXPECT_TRUE(list.flag_names_.empty());
    ASSERT_EQ(list.components_.size(), 1u);
    EXPECT_TRUE(list.components_[0].flags_.empty());
    EXPECT_EQ(fake_odbc::count(Fn::bind_col), 1 + 13);
}

// A view column "FLAG_LINE A" would be read as FLAG_LINE AS A, and a quote
// in a name would let whoever defines the view change the statement.
TEST_F(ComponentListDb, FlagColumnThatIsNoPlainIdentifierIsRefusedBeforeTheSelect) {
    fake_odbc::set_result_set_for(flag_names_sql, fake_odbc::ResultSet(1)
                                                      .row({text("NAME")})
                                                      .row({text("FLAG_A")})
                                                      .row({text("FLAG_LINE A")}));
    ComponentList list;
    EXPECT_EQ(error_message([&] { list.read_from_db(db_, "MIRAN"); }),
              "Flag column \"FLAG_LINE A\" refused: not a plain identifier (letters, digits, _, "
              "$, #)");
    EXPECT_EQ(fake_odbc::calls_of(Fn::exec_direct).size(), 1u) << "only the column names";
    EXPECT_TRUE(list.components_.empty());
}

TEST_F(ComponentListDb, FetchFailingInTheMiddleThrows) {
    fake_odbc::set_result_set_for(flag_names_sql, view_columns());
    fake_odbc::set_result_set_for(select_sql, fake_odbc::ResultSet(15)
                                                  .row(full_row("Q1", 1, 0))
                                                  .error({"[drv]ORA-03113: end-of-file"})
                                                  .row(full_row("Q2", 1, 0)));
    ComponentList list;
    EXPECT_EQ(error_message([&] { list.read_from_db(db_, "MIRAN"); }),
              std::string("Fetch failed: [drv]ORA-03113: end-of-file (") + select_sql + ")");
    EXPECT_TRUE(fake_odbc::live_handles(SQL_HANDLE_STMT).empty());
}

TEST_F(ComponentListDb, InvalidFacilityNameIsRejectedBeforeAnyOdbcCall) {
    ComponentList list;
    list.flag_names_ = {"OLD"};
    list.components_.resize(2);
    EXPECT_EQ(error_message([&] { list.read_from_db(db_, "MIRAN; DROP TABLE X"); }),
              "Invalid facility name: \"MIRAN; DROP TABLE X\"");
    EXPECT_EQ(error_message([&] { list.read_from_db(db_, "   "); }), "Invalid facility name: \"\"");
    EXPECT_EQ(error_message([&] { list.read_from_db(db_, "o'hara"); }),
              "Invalid facility name: \"O'HARA\"");
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_TRUE(list.components_.empty());
    EXPECT_TRUE(list.flag_names_.empty());
}

TEST_F(ComponentListDb, QueryFailurePassesOnUnchanged) {
    fake_odbc::set_result_set_for(flag_names_sql, view_columns());
    fake_odbc::set_result_at(Fn::exec_direct, 2, SQL_ERROR, {"[drv]insufficient privileges"});
    ComponentList list;
    EXPECT_EQ(error_message([&] { list.read_from_db(db_, "MIRAN"); }),
              std::string("Query failed: [drv]insufficient privileges (") + select_sql + ")");
    EXPECT_EQ(list.flag_names_, (std::vector<std::string>{"A", "ABC"}));
    EXPECT_TRUE(list.components_.empty());
}

// --- read_from_db_with_backup ---------------------------------------------------------

ComponentList backup_list() {
    ComponentList list;
    list.flag_names_ = {"A", "ABC"};
    for (const char* name : {"B1", "B2", "B3"}) {
        Component c;
        c.name_ = name;
        c.real_name_ = std::string(name) + "_real";
        c.z_ = 1.25;
        c.flags_ = {true, false};
        list.components_.push_back(c);
    }
    return list;
}

TEST_F(ComponentListDb, FailedFetchFallsBackToTheBackupAndKeepsIt) {
    TempDir dir;
    const std::string backup = dir.file("backup.txt");
    backup_list().write_to_file(backup);
    const std::string before = read_file(backup);

    fake_odbc::set_result_set_for(flag_names_sql, view_columns());
    fake_odbc::set_result_set_for(
        select_sql,
        fake_odbc::ResultSet(15).row(full_row("Q1", 1, 0)).error({"[drv]connection reset"}));
    ComponentList list;
    const std::string message = list.read_from_db_with_backup(db_, "miran", backup);
    EXPECT_EQ(message, std::string("Fetch failed: [drv]connection reset (") + select_sql + ")");
    EXPECT_TRUE(list == backup_list());
    EXPECT_EQ(read_file(backup), before);  // not overwritten with the truncated list
    ComponentList reread;
    reread.read_from_file(backup);
    EXPECT_TRUE(reread == backup_list());
}

TEST_F(ComponentListDb, InvalidFacilityNameFallsBackToTheBackup) {
    TempDir dir;
    const std::string backup = dir.file("backup.txt");
    backup_list().write_to_file(backup);
    ComponentList list;
    EXPECT_EQ(list.read_from_db_with_backup(db_, "BAD NAME", backup),
              "Invalid facility name: \"BAD NAME\"");
    EXPECT_TRUE(list == backup_list());
    EXPECT_TRUE(fake_odbc::calls().empty());
}

TEST_F(ComponentListDb, FailingDatabaseWithoutBackupThrowsBothMessages) {
    TempDir dir;
    const std::string backup = dir.file("missing.txt");
    fake_odbc::set_result(Fn::exec_direct, SQL_ERROR,
                          {fake_odbc::Diagnostic("[drv]down", "08S01", 17)});
    ComponentList list;
    const auto error = zel::sql::test::database_error(
        [&] { list.read_from_db_with_backup(db_, "MIRAN", backup); });
    ASSERT_TRUE(error);
    const std::string message = error->what();
    const std::string db_part = std::string("Query failed: [drv]down (") + flag_names_sql + "); ";
    EXPECT_EQ(message.substr(0, db_part.size()), db_part);
    EXPECT_GT(message.size(), db_part.size());
    // The joined error still tells a caller what the database said.
    EXPECT_EQ(error->get_sqlstate(), "08S01");
    EXPECT_EQ(error->get_native_error(), 17);
    EXPECT_FALSE(std::filesystem::exists(backup));
}

TEST_F(ComponentListDb, SuccessWritesTheDefaultBackupInTheWorkingDirectory) {
    TempDir dir;
    fake_odbc::set_result_set_for(flag_names_sql, view_columns());
    fake_odbc::set_result_set_for(select_sql, fake_odbc::ResultSet(15).row(full_row("Q1", 1, 2)));
    ComponentList list;
    std::string message;
    {
        const zel::sql::test::WorkingDirectory in_dir(dir.path());
        EXPECT_NO_THROW(message = list.read_from_db_with_backup(db_, "qor"));  // spelling of MIRAN
    }
    EXPECT_EQ(message, "");
    const std::string written = dir.file("db_component_list_MIRAN.txt");
    ASSERT_TRUE(std::filesystem::exists(written));
    ComponentList reread;
    reread.read_from_file(written);
    EXPECT_TRUE(reread == list);
}

}  // namespace
}  // namespace zel::sql::test
