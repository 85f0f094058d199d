// Statements prepared for bound parameters against the fake: the text is
// prepared once and executed with SQLExecute, never sent with the values in
// it; an UPDATE that met no row has succeeded; a refusal carries the text.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "odbc/prepared_statement.h"
#include "odbc/query_statement.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using detail::PreparedStatementAccess;
using fake_odbc::Fn;

const std::string update_sql = "UPDATE SETTINGS SET V = ? WHERE NAME = ?";

class PreparedStatementTest : public FakeOdbcTest {};

TEST_F(PreparedStatementTest, PreparesCountsAndExecutesTheTextAsGiven) {
    fake_odbc::set_result_set_for(update_sql, fake_odbc::ResultSet(0));
    Database db("accel", "", "");
    db.set_autocommit(false);
    Query query = PreparedStatementAccess::prepare(db, update_sql);
    EXPECT_EQ(PreparedStatementAccess::count_parameters(query), 2);
    const std::size_t before = fake_odbc::calls().size();
    PreparedStatementAccess::execute(db, query);
    EXPECT_EQ(names_from(before), (std::vector<std::string>{"SQLExecute"}));
    EXPECT_EQ(fake_odbc::nth_call(Fn::prepare, 0).text(), update_sql);
    EXPECT_EQ(fake_odbc::count(Fn::exec_direct), 0);
    // The execution belongs to the transaction that commit() ends.
    db.commit();
    EXPECT_EQ(fake_odbc::count(Fn::end_tran), 1);
}

TEST_F(PreparedStatementTest, NoRowMetIsSuccessAndARefusalNamesTheText) {
    Database db("accel", "", "");
    Query query = PreparedStatementAccess::prepare(db, update_sql);
    fake_odbc::set_result(Fn::execute, SQL_NO_DATA);
    PreparedStatementAccess::execute(db, query);
    fake_odbc::set_result(Fn::execute, SQL_ERROR,
                          {fake_odbc::Diagnostic("[drv]duplicate", "23505", 7)});
    const auto error = database_error([&] { PreparedStatementAccess::execute(db, query); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_message(), "Query failed: [drv]duplicate (" + update_sql + ")");
    EXPECT_EQ(error->get_sqlstate(), "23505");
    fake_odbc::set_result(Fn::prepare, SQL_ERROR, {fake_odbc::Diagnostic("[drv]syntax", "42000")});
    const auto refused = database_error([&] { PreparedStatementAccess::prepare(db, "SELEKT ?"); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->get_message(), "Query failed: [drv]syntax (SELEKT ?)");
}

}  // namespace
}  // namespace zel::sql::test
