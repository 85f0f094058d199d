// The ODBC codes: every enumerator of types.h has the value of its ODBC constant and
// the width of its ODBC argument type.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "zel/sql/types.h"

namespace {

using zel::sql::AttributeType;
using zel::sql::CDataType;
using zel::sql::ParameterType;
using zel::sql::SqlDataType;

static_assert(std::is_same_v<std::underlying_type_t<ParameterType>, SQLSMALLINT>);
static_assert(std::is_same_v<std::underlying_type_t<CDataType>, SQLSMALLINT>);
static_assert(std::is_same_v<std::underlying_type_t<SqlDataType>, SQLSMALLINT>);
static_assert(std::is_same_v<std::underlying_type_t<AttributeType>, SQLINTEGER>);
static_assert(sizeof(ParameterType) == 2 &&
              std::is_signed_v<std::underlying_type_t<ParameterType>>);
static_assert(sizeof(CDataType) == 2 && std::is_signed_v<std::underlying_type_t<CDataType>>);
static_assert(sizeof(SqlDataType) == 2 && std::is_signed_v<std::underlying_type_t<SqlDataType>>);
static_assert(sizeof(AttributeType) == 4 &&
              std::is_signed_v<std::underlying_type_t<AttributeType>>);
// Scoped: no implicit conversion to an integer.
static_assert(!std::is_convertible_v<CDataType, int>);

struct Code {
    const char* name;
    long long value;     // the enumerator, converted to its underlying type
    long long expected;  // the value of the ODBC constant, written out
    long long odbc;      // the ODBC constant from unixODBC's headers
    std::size_t width;   // the enumeration's size in bytes
};

template <typename Enum>
Code code(const char* name, Enum e, long long expected, long long odbc) {
    return Code{name, static_cast<long long>(static_cast<std::underlying_type_t<Enum>>(e)),
                expected, odbc, sizeof(Enum)};
}

#define ZEL_CODE(Enum, enumerator, expected, odbc) \
    code(#Enum "::" #enumerator, Enum::enumerator, expected, odbc)

const std::vector<Code>& all_codes() {
    static const std::vector<Code> codes = {
        ZEL_CODE(ParameterType, in, 1, SQL_PARAM_INPUT),
        ZEL_CODE(ParameterType, out, 4, SQL_PARAM_OUTPUT),
        ZEL_CODE(ParameterType, in_out, 2, SQL_PARAM_INPUT_OUTPUT),
        ZEL_CODE(ParameterType, out_stream, 16, SQL_PARAM_OUTPUT_STREAM),
        ZEL_CODE(ParameterType, in_out_stream, 8, SQL_PARAM_INPUT_OUTPUT_STREAM),

        ZEL_CODE(CDataType, c_char, 1, SQL_C_CHAR),
        ZEL_CODE(CDataType, c_wchar, -8, SQL_C_WCHAR),
        ZEL_CODE(CDataType, c_sshort, -15, SQL_C_SSHORT),
        ZEL_CODE(CDataType, c_ushort, -17, SQL_C_USHORT),
        ZEL_CODE(CDataType, c_slong, -16, SQL_C_SLONG),
        ZEL_CODE(CDataType, c_ulong, -18, SQL_C_ULONG),
        ZEL_CODE(CDataType, c_float, 7, SQL_C_FLOAT),
        ZEL_CODE(CDataType, c_double, 8, SQL_C_DOUBLE),
        ZEL_CODE(CDataType, c_bit, -7, SQL_C_BIT),
        ZEL_CODE(CDataType, c_stinyint, -26, SQL_C_STINYINT),
        ZEL_CODE(CDataType, c_utinyint, -28, SQL_C_UTINYINT),
        ZEL_CODE(CDataType, c_sbigint, -25, SQL_C_SBIGINT),
        ZEL_CODE(CDataType, c_ubigint, -27, SQL_C_UBIGINT),
        ZEL_CODE(CDataType, c_binary, -2, SQL_C_BINARY),
        ZEL_CODE(CDataType, c_bookmark, -27, SQL_C_BOOKMARK),
        ZEL_CODE(CDataType, c_varbookmark, -2, SQL_C_VARBOOKMARK),

        ZEL_CODE(SqlDataType, s_char, 1, SQL_CHAR),
        ZEL_CODE(SqlDataType, s_varchar, 12, SQL_VARCHAR),
        ZEL_CODE(SqlDataType, s_longvarchar, -1, SQL_LONGVARCHAR),
        ZEL_CODE(SqlDataType, s_wchar, -8, SQL_WCHAR),
        ZEL_CODE(SqlDataType, s_wvarchar, -9, SQL_WVARCHAR),
        ZEL_CODE(SqlDataType, s_wlongvarchar, -10, SQL_WLONGVARCHAR),
        ZEL_CODE(SqlDataType, s_decimal, 3, SQL_DECIMAL),
        ZEL_CODE(SqlDataType, s_numeric, 2, SQL_NUMERIC),
        ZEL_CODE(SqlDataType, s_smallint, 5, SQL_SMALLINT),
        ZEL_CODE(SqlDataType, s_integer, 4, SQL_INTEGER),
        ZEL_CODE(SqlDataType, s_real, 7, SQL_REAL),
        ZEL_CODE(SqlDataType, s_float, 6, SQL_FLOAT),
        ZEL_CODE(SqlDataType, s_double, 8, SQL_DOUBLE),
        ZEL_CODE(SqlDataType, s_bit, -7, SQL_BIT),
        ZEL_CODE(SqlDataType, s_tinyint, -6, SQL_TINYINT),
        ZEL_CODE(SqlDataType, s_bigint, -5, SQL_BIGINT),
        ZEL_CODE(SqlDataType, s_binary, -2, SQL_BINARY),
        ZEL_CODE(SqlDataType, s_varbinary, -3, SQL_VARBINARY),
        ZEL_CODE(SqlDataType, s_longvarbinary, -4, SQL_LONGVARBINARY),
        ZEL_CODE(SqlDataType, s_type_date, 91, SQL_TYPE_DATE),
        ZEL_CODE(SqlDataType, s_type_time, 92, SQL_TYPE_TIME),
        ZEL_CODE(SqlDataType, s_type_timestamp, 93, SQL_TYPE_TIMESTAMP),
        ZEL_CODE(SqlDataType, s_interval_month, 102, SQL_INTERVAL_MONTH),
        ZEL_CODE(SqlDataType, s_interval_year, 101, SQL_INTERVAL_YEAR),
        ZEL_CODE(SqlDataType, s_interval_year_to_month, 107, SQL_INTERVAL_YEAR_TO_MONTH),
        ZEL_CODE(SqlDataType, s_interval_day, 103, SQL_INTERVAL_DAY),
        ZEL_CODE(SqlDataType, s_interval_hour, 104, SQL_INTERVAL_HOUR),
        ZEL_CODE(SqlDataType, s_interval_minute, 105, SQL_INTERVAL_MINUTE),
        ZEL_CODE(SqlDataType, s_interval_second, 106, SQL_INTERVAL_SECOND),
        ZEL_CODE(SqlDataType, s_interval_day_to_hour, 108, SQL_INTERVAL_DAY_TO_HOUR),
        ZEL_CODE(SqlDataType, s_interval_day_to_minute, 109, SQL_INTERVAL_DAY_TO_MINUTE),
        ZEL_CODE(SqlDataType, s_interval_day_to_second, 110, SQL_INTERVAL_DAY_TO_SECOND),
        ZEL_CODE(SqlDataType, s_interval_hour_to_minute, 111, SQL_INTERVAL_HOUR_TO_MINUTE),
        ZEL_CODE(SqlDataType, s_interval_hour_to_second, 112, SQL_INTERVAL_HOUR_TO_SECOND),
        ZEL_CODE(SqlDataType, s_interval_minute_to_second, 113, SQL_INTERVAL_MINUTE_TO_SECOND),
        ZEL_CODE(SqlDataType, s_guid, -11, SQL_GUID),

        ZEL_CODE(AttributeType, async_enable, 4, SQL_ATTR_ASYNC_ENABLE),
        ZEL_CODE(AttributeType, concurrency, 7, SQL_ATTR_CONCURRENCY),
        ZEL_CODE(AttributeType, cursor_type, 6, SQL_ATTR_CURSOR_TYPE),
        ZEL_CODE(AttributeType, enable_auto_ipd, 15, SQL_ATTR_ENABLE_AUTO_IPD),
        ZEL_CODE(AttributeType, fetch_bookmark_ptr, 16, SQL_ATTR_FETCH_BOOKMARK_PTR),
        ZEL_CODE(AttributeType, keyset_size, 8, SQL_ATTR_KEYSET_SIZE),
        ZEL_CODE(AttributeType, max_length, 3, SQL_ATTR_MAX_LENGTH),
        ZEL_CODE(AttributeType, max_rows, 1, SQL_ATTR_MAX_ROWS),
        ZEL_CODE(AttributeType, noscan, 2, SQL_ATTR_NOSCAN),
        ZEL_CODE(AttributeType, param_bind_offset_ptr, 17, SQL_ATTR_PARAM_BIND_OFFSET_PTR),
        ZEL_CODE(AttributeType, param_bind_type, 18, SQL_ATTR_PARAM_BIND_TYPE),
        ZEL_CODE(AttributeType, param_operation_ptr, 19, SQL_ATTR_PARAM_OPERATION_PTR),
        ZEL_CODE(AttributeType, param_status_ptr, 20, SQL_ATTR_PARAM_STATUS_PTR),
        ZEL_CODE(AttributeType, params_processed_ptr, 21, SQL_ATTR_PARAMS_PROCESSED_PTR),
        ZEL_CODE(AttributeType, paramset_size, 22, SQL_ATTR_PARAMSET_SIZE),
        ZEL_CODE(AttributeType, query_timeout, 0, SQL_ATTR_QUERY_TIMEOUT),
        ZEL_CODE(AttributeType, retrieve_data, 11, SQL_ATTR_RETRIEVE_DATA),
        ZEL_CODE(AttributeType, row_array_size, 27, SQL_ATTR_ROW_ARRAY_SIZE),
        ZEL_CODE(AttributeType, row_bind_offset_ptr, 23, SQL_ATTR_ROW_BIND_OFFSET_PTR),
        ZEL_CODE(AttributeType, row_bind_type, 5, SQL_ATTR_ROW_BIND_TYPE),
        ZEL_CODE(AttributeType, row_number, 14, SQL_ATTR_ROW_NUMBER),
        ZEL_CODE(AttributeType, row_operation_ptr, 24, SQL_ATTR_ROW_OPERATION_PTR),
        ZEL_CODE(AttributeType, row_status_ptr, 25, SQL_ATTR_ROW_STATUS_PTR),
        ZEL_CODE(AttributeType, rows_fetched_ptr, 26, SQL_ATTR_ROWS_FETCHED_PTR),
        ZEL_CODE(AttributeType, simulate_cursor, 10, SQL_ATTR_SIMULATE_CURSOR),
        ZEL_CODE(AttributeType, use_bookmarks, 12, SQL_ATTR_USE_BOOKMARKS),
    };
    return codes;
}

#undef ZEL_CODE

TEST(Types, EveryEnumeratorHasTheValueAndWidthOfItsOdbcConstant) {
    EXPECT_EQ(all_codes().size(), 5u + 16u + 36u + 26u);
    for (const Code& c : all_codes()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.value, c.expected);
        EXPECT_EQ(c.value, c.odbc);
        const bool is_attribute = std::string(c.name).rfind("AttributeType::", 0) == 0;
        EXPECT_EQ(c.width, is_attribute ? 4u : 2u);
    }
}

TEST(Types, BookmarkTypesShareTheirValues) {
    EXPECT_EQ(CDataType::c_bookmark, CDataType::c_ubigint);
    EXPECT_EQ(CDataType::c_varbookmark, CDataType::c_binary);
    EXPECT_EQ(static_cast<SQLINTEGER>(AttributeType::query_timeout), 0);
}

}  // namespace
