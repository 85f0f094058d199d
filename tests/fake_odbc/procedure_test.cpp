// Procedure against the fake: binding with the indicator set to the buffer
// length, rebinding, execution, NULL outputs, moves and destruction.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Procedure.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;
using zel::sql::CDataType;
using zel::sql::ParameterType;
using zel::sql::Procedure;
using zel::sql::SqlDataType;
using zel::sql::test::Connection;
using zel::sql::test::error_message;

class ProcedureTest : public zel::sql::test::FakeOdbcTest {};

TEST_F(ProcedureTest, ConstructionAllocatesButExecutesNothing) {
    Connection c;
    fake_odbc::clear_calls();
    {
        Procedure p("CALL p(?)", c.conn);
        EXPECT_EQ(fake_odbc::call_names(),
                  (std::vector<std::string>{"SQLAllocHandle", "SQLSetStmtAttr"}));
        fake_odbc::clear_calls();
    }
    const SQLHSTMT stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);
    ASSERT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLCancel", "SQLFreeHandle"}));
    EXPECT_EQ(fake_odbc::calls()[0].handle(), stmt);
    EXPECT_EQ(fake_odbc::calls()[1].handle(), stmt);
}

TEST_F(ProcedureTest, RefusedStatementMakesNoCancelAndNoFree) {
    zel::sql::EnvironmentHandle env;
    env.alloc();
    zel::sql::ConnectionHandle conn;
    EXPECT_EQ(error_message([&] { Procedure p("CALL p()", conn); }),
              "SQL connection handle is not allocated");
    conn.alloc(env);
    fake_odbc::clear_calls();
    EXPECT_EQ(error_message([&] { Procedure p("CALL p()", conn); }),
              "Unable to allocate SQL statement handle");
    EXPECT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLAllocHandle"}));
}

TEST_F(ProcedureTest, BindingSetsTheIndicatorToTheBufferLength) {
    Connection c;
    Procedure p("CALL p(?)", c.conn);
    char name[16] = "MAGNET";
    p.bind_parameter(1, ParameterType::in, CDataType::c_char, SqlDataType::s_varchar, 16, 0, name,
                     16);
    const fake_odbc::Call bind = fake_odbc::nth_call(Fn::bind_parameter, 0);
    EXPECT_EQ(bind.number(1), 1);
    EXPECT_EQ(bind.number(2), SQL_PARAM_INPUT);
    EXPECT_EQ(bind.number(3), SQL_C_CHAR);
    EXPECT_EQ(bind.number(4), SQL_VARCHAR);
    EXPECT_EQ(bind.number(5), 16);
    EXPECT_EQ(bind.number(6), 0);
    EXPECT_EQ(bind.pointer(7), name);
    EXPECT_EQ(bind.number(8), 16);
    ASSERT_NE(bind.pointer(9), nullptr);
    EXPECT_EQ(*static_cast<const SQLLEN*>(bind.pointer(9)), 16);
    EXPECT_EQ(p.get_bytes_read(1), 16u);
    EXPECT_FALSE(p.is_null(1));

    p.exec();
    const fake_odbc::Call exec = fake_odbc::nth_call(Fn::exec_direct, 0);
    EXPECT_EQ(exec.text(), "CALL p(?)");
    EXPECT_EQ(exec.number(2), 9);
    ASSERT_EQ(exec.parameters.size(), 1u);
    EXPECT_EQ(exec.parameters[0].number, 1);
    EXPECT_EQ(exec.parameters[0].indicator, 16);  // the whole buffer is sent
    EXPECT_EQ(exec.parameters[0].bytes, std::string(name, 16));
}

TEST_F(ProcedureTest, RebindingReplacesTheBindingAndResetsTheIndicator) {
    Connection c;
    Procedure p("CALL p(?)", c.conn);
    char first[16] = "first";
    char second[8] = "second";
    p.bind_parameter(1, ParameterType::in, CDataType::c_char, SqlDataType::s_varchar, 16, 0, first,
                     16);
    p.bind_parameter(1, ParameterType::in, CDataType::c_char, SqlDataType::s_varchar, 8, 0, second,
                     8);
    EXPECT_EQ(p.get_bytes_read(1), 8u);
    const auto binds = fake_odbc::calls_of(Fn::bind_parameter);
    ASSERT_EQ(binds.size(), 2u);
    EXPECT_EQ(binds[1].pointer(7), second);
    EXPECT_EQ(binds[1].number(8), 8);
    EXPECT_EQ(binds[1].pointer(9), binds[0].pointer(9));  // the same record
    p.exec();
    const fake_odbc::Call exec = fake_odbc::nth_call(Fn::exec_direct, 0);
    ASSERT_EQ(exec.parameters.size(), 1u);
    EXPECT_EQ(exec.parameters[0].indicator, 8);
    EXPECT_EQ(exec.parameters[0].bytes, std::string(second, 8));
}

TEST_F(ProcedureTest, OutputsAndNullOutputs) {
    Connection c;
    Procedure p("CALL p(?, ?, ?)", c.conn);
    double in_value = 2.0;
    int32_t count = -1;
    char label[8];
    std::strcpy(label, "keep");
    p.bind_parameter(1, ParameterType::in, CDataType::c_double, SqlDataType::s_double, 15, 0,
                     &in_value, sizeof(in_value));
    p.bind_parameter(2, ParameterType::out, CDataType::c_slong, SqlDataType::s_integer, 10, 0,
                     &count, sizeof(count));
    p.bind_parameter(3, ParameterType::in_out, CDataType::c_char, SqlDataType::s_varchar, 8, 0,
                     label, sizeof(label));
    fake_odbc::set_parameter_output(2, fake_odbc::integer(7));
    fake_odbc::set_parameter_output(3, fake_odbc::null());
    p.exec();
    EXPECT_EQ(count, 7);
    EXPECT_EQ(p.get_bytes_read(2), 4u);
    EXPECT_FALSE(p.is_null(2));
    EXPECT_TRUE(p.is_null(3));
    EXPECT_EQ(p.get_bytes_read(3), 0u);
    EXPECT_STREQ(label, "keep");  // NULL leaves the buffer untouched
    EXPECT_EQ(p.get_bytes_read(1), 8u);

    // Executing again sends the input/output parameter with the indicator the
    // driver wrote: NULL.
    fake_odbc::set_parameter_output(2, fake_odbc::null());
    fake_odbc::set_parameter_output(3, fake_odbc::text("back"));
    p.exec();
    const auto execs = fake_odbc::calls_of(Fn::exec_direct);
    ASSERT_EQ(execs.size(), 2u);
    ASSERT_EQ(execs[1].parameters.size(), 2u);  // parameters 1 and 3 are inputs
    EXPECT_EQ(execs[1].parameters[1].number, 3);
    EXPECT_EQ(execs[1].parameters[1].indicator, SQL_NULL_DATA);
    EXPECT_TRUE(p.is_null(2));
    EXPECT_EQ(p.get_bytes_read(2), 0u);
    EXPECT_FALSE(p.is_null(3));
    EXPECT_EQ(p.get_bytes_read(3), 4u);
    EXPECT_STREQ(label, "back");
}

TEST_F(ProcedureTest, ExecRunsTheTextVerbatimEveryTime) {
    Connection c;
    const std::string text = "{call tavik.set_value(?)}";
    Procedure p(text, c.conn);
    int32_t value = 1;
    p.bind_parameter(1, ParameterType::in, CDataType::c_slong, SqlDataType::s_integer, 10, 0,
                     &value, sizeof(value));
    p.exec();
    value = 2;
    p.exec();
    value = 3;
    p.exec();
    const auto execs = fake_odbc::calls_of(Fn::exec_direct);
    ASSERT_EQ(execs.size(), 3u);
    for (std::size_t i = 0; i < execs.size(); ++i) {
        EXPECT_EQ(execs[i].text(), text);
        int32_t sent = 0;
        ASSERT_EQ(execs[i].parameters.at(0).bytes.size(), sizeof(sent));
        std::memcpy(&sent, execs[i].parameters[0].bytes.data(), sizeof(sent));
        EXPECT_EQ(sent, static_cast<int32_t>(i + 1));
    }
}

TEST_F(ProcedureTest, NeedDataIsSuccessOtherFailuresThrow) {
    Connection c;
    Procedure p("CALL p(?)", c.conn);
    fake_odbc::queue_result(Fn::exec_direct, SQL_NEED_DATA);
    fake_odbc::queue_result(Fn::exec_direct, SQL_ERROR, {"[drv]no such procedure"});
    fake_odbc::queue_result(Fn::exec_direct, SQL_NO_DATA);
    EXPECT_NO_THROW(p.exec());
    EXPECT_EQ(error_message([&] { p.exec(); }),
              "Error executing 'CALL p(?)': [drv]no such procedure");
    EXPECT_EQ(error_message([&] { p.exec(); }), "Error executing 'CALL p(?)': ");
    EXPECT_NO_THROW(p.exec());  // still usable
}

TEST_F(ProcedureTest, UnboundParametersRaiseOutOfRange) {
    Connection c;
    Procedure p("CALL p(?, ?, ?)", c.conn);
    EXPECT_THROW(p.is_null(3), std::out_of_range);
    EXPECT_THROW(p.get_bytes_read(3), std::out_of_range);
}

TEST_F(ProcedureTest, FailedBindKeepsTheRecordAndShowsTheConvertedNumber) {
    Connection c;
    Procedure p("CALL p(?, ?)", c.conn);
    char buf[12] = {};
    fake_odbc::queue_result(Fn::bind_parameter, SQL_ERROR, {"[drv]bad type"});
    EXPECT_EQ(error_message([&] {
                  p.bind_parameter(65536 + 2, ParameterType::in, CDataType::c_char,
                                   SqlDataType::s_varchar, 12, 0, buf, 12);
              }),
              "Unable to bind SQL parameter 2: [drv]bad type");
    EXPECT_EQ(fake_odbc::nth_call(Fn::bind_parameter, 0).number(1), 2);
    EXPECT_EQ(p.get_bytes_read(65536 + 2), 12u);
    EXPECT_FALSE(p.is_null(65536 + 2));
}

TEST_F(ProcedureTest, MovedProcedureExecutesWithTheParametersBoundBeforeTheMove) {
    Connection c;
    int32_t in = 11;
    int32_t out = 0;
    std::optional<Procedure> source(std::in_place, "CALL p(?, ?)", c.conn);
    source->bind_parameter(1, ParameterType::in, CDataType::c_slong, SqlDataType::s_integer, 10, 0,
                           &in, sizeof(in));
    source->bind_parameter(2, ParameterType::out, CDataType::c_slong, SqlDataType::s_integer, 10, 0,
                           &out, sizeof(out));
    const SQLHSTMT stmt = fake_odbc::last_handle(SQL_HANDLE_STMT);
    Procedure target(std::move(*source));
    fake_odbc::clear_calls();
    source.reset();
    EXPECT_TRUE(fake_odbc::calls().empty());

    fake_odbc::set_parameter_output(2, fake_odbc::null());
    target.exec();
    const fake_odbc::Call exec = fake_odbc::nth_call(Fn::exec_direct, 0);
    EXPECT_EQ(exec.handle(), stmt);
    EXPECT_EQ(exec.text(), "CALL p(?, ?)");
    ASSERT_EQ(exec.parameters.size(), 1u);
    EXPECT_EQ(exec.parameters[0].indicator, 4);
    EXPECT_TRUE(target.is_null(2));
    EXPECT_EQ(target.get_bytes_read(1), 4u);

    Procedure assigned("CALL q()", c.conn);
    const SQLHSTMT stmt_q = fake_odbc::last_handle(SQL_HANDLE_STMT);
    fake_odbc::clear_calls();
    assigned = std::move(target);
    ASSERT_EQ(fake_odbc::call_names(), (std::vector<std::string>{"SQLFreeHandle"}));
    EXPECT_EQ(fake_odbc::calls()[0].handle(), stmt_q);
    fake_odbc::set_parameter_output(2, fake_odbc::integer(99));
    assigned.exec();
    EXPECT_EQ(out, 99);
    EXPECT_EQ(assigned.get_bytes_read(2), 4u);
    EXPECT_EQ(error_message([&] { target.exec(); }), "Unallocated SQL statement");
}

TEST_F(ProcedureTest, SelfMoveAssignmentKeepsTheStatement) {
    Connection c;
    Procedure p("CALL p(?)", c.conn);
    int32_t value = 5;
    p.bind_parameter(1, ParameterType::in, CDataType::c_slong, SqlDataType::s_integer, 10, 0,
                     &value, sizeof(value));
    fake_odbc::clear_calls();
    Procedure& alias = p;
    p = std::move(alias);
    EXPECT_TRUE(fake_odbc::calls().empty());
    EXPECT_NO_THROW(p.exec());
    EXPECT_EQ(p.get_bytes_read(1), 4u);
}

}  // namespace
}  // namespace zel::sql::test
