// Database::get_driver_info against the fake: it connects as send_query does,
// asks SQLGetInfo for five texts on the connection, reads a long one whole,
// and reports a refused login and a refused answer as DatabaseErrors.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_odbc.h"
#include "fake_odbc_test.h"
#include "zel/sql/Database.h"

namespace zel::sql::test {
namespace {

using fake_odbc::Fn;

class DriverInfoTest : public FakeOdbcTest {};

const std::vector<long long> info_types = {SQL_DRIVER_NAME, SQL_DRIVER_VER, SQL_DRIVER_ODBC_VER,
                                           SQL_DBMS_NAME, SQL_DBMS_VER};

TEST_F(DriverInfoTest, ConnectsThenAsksFiveTextsOnTheConnection) {
    for (const auto limit : {std::chrono::milliseconds(0), std::chrono::milliseconds(15000)}) {
        SCOPED_TRACE(limit.count());
        fake_odbc::reset();
        Database db("accel", "reader", "pw");
        db.set_wait_limit(limit);
        const DriverInfo info = db.get_driver_info();
        EXPECT_EQ(info.driver_name, "libfakeodbc.so");
        EXPECT_EQ(info.driver_version, "01.02.0003");
        EXPECT_EQ(info.odbc_version, "03.80");
        EXPECT_EQ(info.dbms_name, "FakeDB");
        EXPECT_EQ(info.dbms_version, "9.8.7");
        EXPECT_EQ(
            fake_odbc::call_names(),
            (std::vector<std::string>{"SQLAllocHandle", "SQLSetEnvAttr", "SQLAllocHandle",
                                      "SQLSetConnectAttr", "SQLConnect", "SQLGetInfo", "SQLGetInfo",
                                      "SQLGetInfo", "SQLGetInfo", "SQLGetInfo"}));
        const SQLHDBC dbc = fake_odbc::last_handle(SQL_HANDLE_DBC);
        const std::vector<fake_odbc::Call> asked = fake_odbc::calls_of(Fn::get_info);
        for (std::size_t i = 0; i < asked.size(); ++i) {
            EXPECT_EQ(asked[i].handle(), dbc);
            EXPECT_EQ(asked[i].number(1), info_types[i]);
            // With a wait limit the calls run on a helper thread.
            EXPECT_EQ(asked[i].thread == std::this_thread::get_id(), limit.count() == 0);
        }
        EXPECT_TRUE(db.is_connected());

        // An open connection is asked whether it is alive, then kept.
        fake_odbc::clear_calls();
        db.get_driver_info();
        EXPECT_EQ(fake_odbc::call_names(),
                  (std::vector<std::string>{"SQLGetConnectAttr", "SQLGetInfo", "SQLGetInfo",
                                            "SQLGetInfo", "SQLGetInfo", "SQLGetInfo"}));
    }
}

TEST_F(DriverInfoTest, ALongTextIsReadWhole) {
    fake_odbc::DriverInfo driver;
    driver.dbms_version = std::string(300, 'v') + "-end";
    fake_odbc::set_driver_info(driver);
    Database db("accel", "", "");
    EXPECT_EQ(db.get_driver_info().dbms_version, driver.dbms_version);
    // Asked again with room for the whole text.
    EXPECT_EQ(fake_odbc::count(Fn::get_info), 6);
}

TEST_F(DriverInfoTest, ARefusedAnswerIsADatabaseErrorWithTheDiagnostics) {
    Database db("accel", "", "");
    fake_odbc::set_result_at(Fn::get_info, 3, SQL_ERROR,
                             {fake_odbc::Diagnostic("[drv]not now", "HYT01", 7)});
    const auto error = database_error([&] { db.get_driver_info(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_message(),
              "Unable to read the driver information (SQL_DRIVER_ODBC_VER): [drv]not now");
    EXPECT_EQ(error->get_sqlstate(), "HYT01");
    EXPECT_EQ(error->get_native_error(), 7);
    EXPECT_EQ(fake_odbc::count(Fn::get_info), 3);
}

TEST_F(DriverInfoTest, ARefusedLoginIsADatabaseErrorWithItsSqlstate) {
    Database db("accel", "u", "wrong");
    fake_odbc::set_result_at(Fn::connect, 1, SQL_ERROR,
                             {fake_odbc::Diagnostic("[drv]password authentication failed", "28P01"),
                              "[dm]login refused"});
    const auto error = database_error([&] { db.get_driver_info(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->get_message(),
              "Unable to connect to data source \"accel\": [drv]password authentication "
              "failed[dm]login refused");
    EXPECT_EQ(error->get_sqlstate(), "28P01");
    EXPECT_FALSE(db.is_connected());
    EXPECT_EQ(db.get_last_connect_error(), "[drv]password authentication failed[dm]login refused");
    EXPECT_EQ(fake_odbc::count(Fn::get_info), 0);

    // A refusal without diagnostics: the next call logs in again.
    fake_odbc::set_result_at(Fn::connect, 2, SQL_ERROR, {});
    const auto silent = database_error([&] { db.get_driver_info(); });
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->get_message(), "Unable to connect to data source \"accel\"");
    EXPECT_EQ(silent->get_sqlstate(), "");
    EXPECT_EQ(fake_odbc::count(Fn::connect), 2);
}

}  // namespace
}  // namespace zel::sql::test
