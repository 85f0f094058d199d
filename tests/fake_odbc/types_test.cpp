// The ODBC codes: every enumerator of types.h has the value of its ODBC constant and
// the width of its ODBC argument type.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "zel/sql/types.h"

namespace zel::sql::test {
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
    long long value;    // the enumerator, converted to its underlying type
    long long odbc;     // the ODBC constant from unixODBC's headers
    std::size_t width;  // the enumeration's size in bytes
};

template <typename Enum>
Code code(const char* name, Enum e, long long odbc) {
    return Code{name, static_cast<long long>(static_cast<std::underlying_type_t<Enum>>(e)), odbc,
                sizeof(Enum)};
}

#define ZEL_CODE(Enum, enumerator, odbc) code(#Enum "::" #enumerator, Enum::enumerator, odbc)

const std::vector<Code>& all_codes() {
    static const std::vector<Code> codes = {
        ZEL_CODE(ParameterType, in, SQL_PARAM_INPUT),
        ZEL_CODE(ParameterType, out, SQL_PARAM_OUTPUT),
        ZEL_CODE(ParameterType, in_out, SQL_PARAM_INPUT_OUTPUT),
        ZEL_CODE(ParameterType, out_stream, SQL_PARAM_OUTPUT_STREAM),
        ZEL_CODE(ParameterType, in_out_stream, SQL_PARAM_INPUT_OUTPUT_STREAM),

        ZEL_CODE(CDataType, c_char, SQL_C_CHAR),
        ZEL_CODE(CDataType, c_wchar, SQL_C_WCHAR),
        ZEL_CODE(CDataType, c_sshort, SQL_C_SSHORT),
        ZEL_CODE(CDataType, c_ushort, SQL_C_USHORT),
        ZEL_CODE(CDataType, c_slong, SQL_C_SLONG),
        ZEL_CODE(CDataType, c_ulong, SQL_C_ULONG),
        ZEL_CODE(CDataType, c_float, SQL_C_FLOAT),
        ZEL_CODE(CDataType, c_double, SQL_C_DOUBLE),
        ZEL_CODE(CDataType, c_bit, SQL_C_BIT),
        ZEL_CODE(CDataType, c_stinyint, SQL_C_STINYINT),
        ZEL_CODE(CDataType, c_utinyint, SQL_C_UTINYINT),
        ZEL_CODE(CDataType, c_sbigint, SQL_C_SBIGINT),
        ZEL_CODE(CDataType, c_ubigint, SQL_C_UBIGINT),
        ZEL_CODE(CDataType, c_binary, SQL_C_BINARY),
        ZEL_CODE(CDataType, c_bookmark, SQL_C_BOOKMARK),
        ZEL_CODE(CDataType, c_varbookmark, SQL_C_VARBOOKMARK),

        ZEL_CODE(SqlDataType, s_char, SQL_CHAR),
        ZEL_CODE(SqlDataType, s_varchar, SQL_VARCHAR),
        ZEL_CODE(SqlDataType, s_longvarchar, SQL_LONGVARCHAR),
        ZEL_CODE(SqlDataType, s_wchar, SQL_WCHAR),
        ZEL_CODE(SqlDataType, s_wvarchar, SQL_WVARCHAR),
        ZEL_CODE(SqlDataType, s_wlongvarchar, SQL_WLONGVARCHAR),
        ZEL_CODE(SqlDataType, s_decimal, SQL_DECIMAL),
        ZEL_CODE(SqlDataType, s_numeric, SQL_NUMERIC),
        ZEL_CODE(SqlDataType, s_smallint, SQL_SMALLINT),
        ZEL_CODE(SqlDataType, s_integer, SQL_INTEGER),
        ZEL_CODE(SqlDataType, s_real, SQL_REAL),
        ZEL_CODE(SqlDataType, s_float, SQL_FLOAT),
        ZEL_CODE(SqlDataType, s_double, SQL_DOUBLE),
        ZEL_CODE(SqlDataType, s_bit, SQL_BIT),
        ZEL_CODE(SqlDataType, s_tinyint, SQL_TINYINT),
        ZEL_CODE(SqlDataType, s_bigint, SQL_BIGINT),
        ZEL_CODE(SqlDataType, s_binary, SQL_BINARY),
        ZEL_CODE(SqlDataType, s_varbinary, SQL_VARBINARY),
        ZEL_CODE(SqlDataType, s_longvarbinary, SQL_LONGVARBINARY),
        ZEL_CODE(SqlDataType, s_type_date, SQL_TYPE_DATE),
        ZEL_CODE(SqlDataType, s_type_time, SQL_TYPE_TIME),
        ZEL_CODE(SqlDataType, s_type_timestamp, SQL_TYPE_TIMESTAMP),
        ZEL_CODE(SqlDataType, s_interval_month, SQL_INTERVAL_MONTH),
        ZEL_CODE(SqlDataType, s_interval_year, SQL_INTERVAL_YEAR),
        ZEL_CODE(SqlDataType, s_interval_year_to_month, SQL_INTERVAL_YEAR_TO_MONTH),
        ZEL_CODE(SqlDataType, s_interval_day, SQL_INTERVAL_DAY),
        ZEL_CODE(SqlDataType, s_interval_hour, SQL_INTERVAL_HOUR),
        ZEL_CODE(SqlDataType, s_interval_minute, SQL_INTERVAL_MINUTE),
        ZEL_CODE(SqlDataType, s_interval_second, SQL_INTERVAL_SECOND),
        ZEL_CODE(SqlDataType, s_interval_day_to_hour, SQL_INTERVAL_DAY_TO_HOUR),
        ZEL_CODE(SqlDataType, s_interval_day_to_minute, SQL_INTERVAL_DAY_TO_MINUTE),
        ZEL_CODE(SqlDataType, s_interval_day_to_second, SQL_INTERVAL_DAY_TO_SECOND),
        ZEL_CODE(SqlDataType, s_interval_hour_to_minute, SQL_INTERVAL_HOUR_TO_MINUTE),
        ZEL_CODE(SqlDataType, s_interval_hour_to_second, SQL_INTERVAL_HOUR_TO_SECOND),
        ZEL_CODE(SqlDataType, s_interval_minute_to_second, SQL_INTERVAL_MINUTE_TO_SECOND),
        ZEL_CODE(SqlDataType, s_guid, SQL_GUID),

        ZEL_CODE(AttributeType, async_enable, SQL_ATTR_ASYNC_ENABLE),
        ZEL_CODE(AttributeType, concurrency, SQL_ATTR_CONCURRENCY),
        ZEL_CODE(AttributeType, cursor_type, SQL_ATTR_CURSOR_TYPE),
        ZEL_CODE(AttributeType, enable_auto_ipd, SQL_ATTR_ENABLE_AUTO_IPD),
        ZEL_CODE(AttributeType, fetch_bookmark_ptr, SQL_ATTR_FETCH_BOOKMARK_PTR),
        ZEL_CODE(AttributeType, keyset_size, SQL_ATTR_KEYSET_SIZE),
        ZEL_CODE(AttributeType, max_length, SQL_ATTR_MAX_LENGTH),
        ZEL_CODE(AttributeType, max_rows, SQL_ATTR_MAX_ROWS),
        ZEL_CODE(AttributeType, noscan, SQL_ATTR_NOSCAN),
        ZEL_CODE(AttributeType, param_bind_offset_ptr, SQL_ATTR_PARAM_BIND_OFFSET_PTR),
        ZEL_CODE(AttributeType, param_bind_type, SQL_ATTR_PARAM_BIND_TYPE),
        ZEL_CODE(AttributeType, param_operation_ptr, SQL_ATTR_PARAM_OPERATION_PTR),
        ZEL_CODE(AttributeType, param_status_ptr, SQL_ATTR_PARAM_STATUS_PTR),
        ZEL_CODE(AttributeType, params_processed_ptr, SQL_ATTR_PARAMS_PROCESSED_PTR),
        ZEL_CODE(AttributeType, paramset_size, SQL_ATTR_PARAMSET_SIZE),
        ZEL_CODE(AttributeType, query_timeout, SQL_ATTR_QUERY_TIMEOUT),
        ZEL_CODE(AttributeType, retrieve_data, SQL_ATTR_RETRIEVE_DATA),
        ZEL_CODE(AttributeType, row_array_size, SQL_ATTR_ROW_ARRAY_SIZE),
        ZEL_CODE(AttributeType, row_bind_offset_ptr, SQL_ATTR_ROW_BIND_OFFSET_PTR),
        ZEL_CODE(AttributeType, row_bind_type, SQL_ATTR_ROW_BIND_TYPE),
        ZEL_CODE(AttributeType, row_number, SQL_ATTR_ROW_NUMBER),
        ZEL_CODE(AttributeType, row_operation_ptr, SQL_ATTR_ROW_OPERATION_PTR),
        ZEL_CODE(AttributeType, row_status_ptr, SQL_ATTR_ROW_STATUS_PTR),
        ZEL_CODE(AttributeType, rows_fetched_ptr, SQL_ATTR_ROWS_FETCHED_PTR),
        ZEL_CODE(AttributeType, simulate_cursor, SQL_ATTR_SIMULATE_CURSOR),
        ZEL_CODE(AttributeType, use_bookmarks, SQL_ATTR_USE_BOOKMARKS),
    };
    return codes;
}

#undef ZEL_CODE

TEST(Types, EveryEnumeratorHasTheValueAndWidthOfItsOdbcConstant) {
    EXPECT_EQ(all_codes().size(), 5u + 16u + 36u + 26u);
    for (const Code& c : all_codes()) {
        SCOPED_TRACE(c.name);
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
}  // namespace zel::sql::test
