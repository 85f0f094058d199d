// Query and Procedure through the real driver manager and drivers: bound and
// unbound reads, NULLs, long values read in pieces, rejected statements,
// repeated executions with bound parameters and moved objects.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backend_fixture.h"
#include "backends.h"
#include "connections.h"
#include "sample_values.h"
#include "test_support.h"
#include "zel/Error.h"
#include "zel/sql/Database.h"

namespace zel::sql::test::integration {
namespace {

using test::error_message;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class OdbcLayer : public BackendTest {
protected:
    // Each test has its own connection, so a TEMP table is private to it even
    // when tests run in parallel.
    void create_readings_table() {
        db_->send_query(
            "CREATE TEMPORARY TABLE readings (id integer, label varchar(16), value double "
            "precision)");
    }
};

TEST_P(OdbcLayer, BoundColumnsReceiveValuesLengthsAndNulls) {
    Query query = db_->send_query("SELECT id, label, amount FROM samples ORDER BY id");
    unsigned short id = 0;
    char label[41];
    double amount = 0.0;
    query.bind_column(1, &id, 1);
    query.bind_column(2, label, sizeof(label));
    query.bind_column(3, &amount, 1);
    EXPECT_FALSE(query.is_null(2));
    EXPECT_EQ(query.get_bytes_read(2), 0u);

    ASSERT_TRUE(query.fetch());
    EXPECT_EQ(id, 1);
    EXPECT_STREQ(label, "alpha");
    EXPECT_EQ(query.get_bytes_read(2), 5u);
    EXPECT_FALSE(query.is_null(2));
    EXPECT_EQ(amount, 2.5);
    EXPECT_EQ(query.get_bytes_read(3), sizeof(double));

    ASSERT_TRUE(query.fetch());
    EXPECT_EQ(id, 2);
    EXPECT_TRUE(query.is_null(2));
    EXPECT_EQ(query.get_bytes_read(2), 0u);
    EXPECT_TRUE(query.is_null(3));

    ASSERT_TRUE(query.fetch());
    EXPECT_EQ(id, 3);
    EXPECT_STREQ(label, "gamma");
    EXPECT_EQ(amount, -1.25);

    EXPECT_FALSE(query.fetch());
    EXPECT_FALSE(query.fetch());
    EXPECT_FALSE(query.fetch_checked());
    EXPECT_THROW(query.is_null(4), std::out_of_range);
}

TEST_P(OdbcLayer, UnboundReadsReturnWholeValuesAndTellNull) {
    Query query = db_->send_query(
        "SELECT long_text, payload, amount, count FROM samples WHERE id IN (1, 2) ORDER BY id");
    ASSERT_TRUE(query.fetch());
    bool was_null = true;
    // Both values are longer than one piece of the chunked reads.
    EXPECT_EQ(query.get_column_as_string(1, &was_null), expected_long_text());
    EXPECT_FALSE(was_null);
    was_null = true;
    EXPECT_EQ(query.get_column_as_binary(2, &was_null), expected_payload());
    EXPECT_FALSE(was_null);
    was_null = true;
    EXPECT_EQ(query.get_column_as_double(3, &was_null), 2.5);
    EXPECT_FALSE(was_null);
    was_null = true;
    EXPECT_EQ(query.get_column_as_int32_t(4, &was_null), 42);
    EXPECT_FALSE(was_null);

    ASSERT_TRUE(query.fetch());
    was_null = false;
    EXPECT_EQ(query.get_column_as_string(1, &was_null), "");
    EXPECT_TRUE(was_null);
    was_null = false;
    EXPECT_TRUE(query.get_column_as_binary(2, &was_null).empty());
    EXPECT_TRUE(was_null);
    was_null = false;
    EXPECT_EQ(query.get_column_as_double(3, &was_null), 0.0);
    EXPECT_TRUE(was_null);
    was_null = false;
    EXPECT_EQ(query.get_column_as_int32_t(4, &was_null), 0);
    EXPECT_TRUE(was_null);
}

TEST_P(OdbcLayer, ShortValuesAndTheSmallestInt32ReadBack) {
    Query query =
        db_->send_query("SELECT long_text, payload, amount, count FROM samples WHERE id = 3");
    ASSERT_TRUE(query.fetch());
    EXPECT_EQ(query.get_column_as_string(1, nullptr), "short");
    EXPECT_EQ(query.get_column_as_binary(2, nullptr), (std::vector<unsigned char>{0x00, 0xff}));
    EXPECT_EQ(query.get_column_as_double(3, nullptr), -1.25);
    EXPECT_EQ(query.get_column_as_int32_t(4, nullptr), INT32_MIN);
}

TEST_P(OdbcLayer, NumbersAndEmptyTextsReadAsText) {
    Query query =
        db_->send_query("SELECT amount, count, '' FROM samples WHERE id IN (1, 3) ORDER BY id");
    const struct {
        const char* amount;
        const char* count;
    } rows[] = {{"2.5", "42"}, {"-1.25", "-2147483648"}};
    for (const auto& row : rows) {
        ASSERT_TRUE(query.fetch());
        bool was_null = true;
        EXPECT_EQ(query.get_column_as_string(1, &was_null), row.amount);
        EXPECT_FALSE(was_null);
        EXPECT_EQ(query.get_column_as_string(2, &was_null), row.count);
        // Empty, not NULL.
        was_null = true;
        EXPECT_EQ(query.get_column_as_string(3, &was_null), "");
        EXPECT_FALSE(was_null);
    }
}

TEST_P(OdbcLayer, RejectedStatementNamesDiagnosticsAndText) {
    const std::string text = "SELECT * FROM no_such_table";
    const std::string message = error_message([&] { db_->send_query(text); });
    EXPECT_THAT(message, StartsWith("Query failed: "));
    EXPECT_THAT(message, EndsWith(" (" + text + ")"));
    // The driver's own diagnostic text sits between the two.
    EXPECT_THAT(message.substr(0, message.size() - text.size()), HasSubstr("no_such_table"));

    // The connection stays usable.
    Query query = db_->send_query("SELECT id FROM samples WHERE id = 1");
    EXPECT_TRUE(query.fetch());
}

TEST_P(OdbcLayer, ProcedureExecutesRepeatedlyWithItsBoundInputs) {
    create_readings_table();
    // On MariaDB through a stored procedure that does the same insert.
    Procedure insert = db_->get_procedure(
        GetParam().is_mariadb ? "CALL add_reading(?, ?, ?)"
                              : "INSERT INTO readings (id, label, value) VALUES (?, ?, ?)");
    std::int32_t id = 0;
    char label[5];  // sent whole: an input's length is its buffer length
    double value = 0.0;
    insert.bind_parameter(1, ParameterType::in, CDataType::c_slong, SqlDataType::s_integer, 0, 0,
                          &id, sizeof(id));
    insert.bind_parameter(2, ParameterType::in, CDataType::c_char, SqlDataType::s_varchar,
                          sizeof(label), 0, label, sizeof(label));
    insert.bind_parameter(3, ParameterType::in, CDataType::c_double, SqlDataType::s_double, 0, 0,
                          &value, sizeof(value));
    EXPECT_EQ(insert.get_bytes_read(2), sizeof(label));
    EXPECT_FALSE(insert.is_null(2));

    const struct {
        std::int32_t id;
        const char* label;
        double value;
    } rows[] = {{7, "alpha", 1.5}, {-3, "bravo", -0.25}, {2147483647, "delta", 1e300}};
    for (const auto& row : rows) {
        id = row.id;
        std::memcpy(label, row.label, sizeof(label));
        value = row.value;
        insert.exec();
    }

    Query check = db_->send_query("SELECT id, label, value FROM readings ORDER BY value");
    for (const auto& row : {rows[1], rows[0], rows[2]}) {
        ASSERT_TRUE(check.fetch()) << row.label;
        EXPECT_EQ(check.get_column_as_int32_t(1, nullptr), row.id);
        EXPECT_EQ(check.get_column_as_string(2, nullptr), row.label);
        EXPECT_EQ(check.get_column_as_double(3, nullptr), row.value);
    }
    EXPECT_FALSE(check.fetch());
}

TEST_P(OdbcLayer, RejectedProcedureFailsAtExecNotBefore) {
    const std::string text = "INSERT INTO no_such_table VALUES (1)";
    Procedure procedure = db_->get_procedure(text);
    const std::string message = error_message([&] { procedure.exec(); });
    EXPECT_THAT(message, StartsWith("Error executing '" + text + "': "));
    EXPECT_THAT(message, HasSubstr("no_such_table"));
}

TEST_P(OdbcLayer, MovedProcedureExecutesWithBindingsMadeBeforeTheMove) {
    create_readings_table();
    std::int32_t id = 11;
    char label[5] = {'e', 'c', 'h', 'o', '!'};
    double value = 4.0;
    Procedure target = db_->get_procedure("INSERT INTO readings (id) VALUES (?)");
    {
        Procedure source =
            db_->get_procedure("INSERT INTO readings (id, label, value) VALUES (?, ?, ?)");
        source.bind_parameter(1, ParameterType::in, CDataType::c_slong, SqlDataType::s_integer, 0,
                              0, &id, sizeof(id));
        source.bind_parameter(2, ParameterType::in, CDataType::c_char, SqlDataType::s_varchar,
                              sizeof(label), 0, label, sizeof(label));
        source.bind_parameter(3, ParameterType::in, CDataType::c_double, SqlDataType::s_double, 0,
                              0, &value, sizeof(value));
        Procedure moved(std::move(source));
        target = std::move(moved);
        EXPECT_EQ(error_message([&] { source.exec(); }), "Unallocated SQL statement");
    }  // the moved-from objects go first
    target.exec();
    id = 12;
    value = 5.0;
    target.exec();
    EXPECT_EQ(target.get_bytes_read(2), sizeof(label));
    EXPECT_FALSE(target.is_null(3));
    EXPECT_THROW(target.is_null(4), std::out_of_range);

    Query check = db_->send_query("SELECT id, label, value FROM readings ORDER BY id");
    for (const std::int32_t expected_id : {11, 12}) {
        ASSERT_TRUE(check.fetch());
        EXPECT_EQ(check.get_column_as_int32_t(1, nullptr), expected_id);
        EXPECT_EQ(check.get_column_as_string(2, nullptr), "echo!");
        EXPECT_EQ(check.get_column_as_double(3, nullptr), expected_id == 11 ? 4.0 : 5.0);
    }
    EXPECT_FALSE(check.fetch());
}

TEST_P(OdbcLayer, MovedQueryKeepsFetchingIntoBuffersBoundBeforeTheMove) {
    char label[41];
    Query target = db_->send_query("SELECT id FROM samples WHERE id = 1");
    {
        Query source = db_->send_query("SELECT label FROM samples ORDER BY id");
        source.bind_column(1, label, sizeof(label));
        ASSERT_TRUE(source.fetch());
        EXPECT_STREQ(label, "alpha");

        Query moved(std::move(source));
        ASSERT_TRUE(moved.fetch());
        EXPECT_TRUE(moved.is_null(1));
        EXPECT_EQ(error_message([&] { source.fetch(); }),
                  "Cannot fetch from an unallocated SQL handle");

        target = std::move(moved);
    }  // the moved-from objects go first
    ASSERT_TRUE(target.fetch());
    EXPECT_STREQ(label, "gamma");
    EXPECT_EQ(target.get_bytes_read(1), 5u);
    EXPECT_FALSE(target.is_null(1));
    EXPECT_FALSE(target.fetch());
}

ZEL_SQL_ON_EVERY_BACKEND(OdbcLayer);

}  // namespace
}  // namespace zel::sql::test::integration
