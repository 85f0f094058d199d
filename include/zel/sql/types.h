#ifndef ZEL_SQL_TYPES_H_
#define ZEL_SQL_TYPES_H_

/// @file
/// Typed names for the numeric codes of the ODBC call-level interface. Every
/// enumerator has exactly the value of its ODBC 3.8 constant, so it is handed
/// to the driver manager unchanged.

#include <sql.h>
#include <sqlext.h>

namespace zel::sql {

/// Direction of a bound procedure parameter (SQLBindParameter's InputOutputType).
enum class ParameterType : SQLSMALLINT {
    in = 1,             ///< SQL_PARAM_INPUT
    out = 4,            ///< SQL_PARAM_OUTPUT
    in_out = 2,         ///< SQL_PARAM_INPUT_OUTPUT
    out_stream = 16,    ///< SQL_PARAM_OUTPUT_STREAM
    in_out_stream = 8,  ///< SQL_PARAM_INPUT_OUTPUT_STREAM
};

/// C data type of a caller's buffer. Two pairs share a value: c_bookmark is
/// c_ubigint and c_varbookmark is c_binary.
enum class CDataType : SQLSMALLINT {
    c_char = 1,          ///< SQL_C_CHAR
    c_wchar = -8,        ///< SQL_C_WCHAR
    c_sshort = -15,      ///< SQL_C_SSHORT
    c_ushort = -17,      ///< SQL_C_USHORT
    c_slong = -16,       ///< SQL_C_SLONG (32-bit signed integer)
    c_ulong = -18,       ///< SQL_C_ULONG
    c_float = 7,         ///< SQL_C_FLOAT
    c_double = 8,        ///< SQL_C_DOUBLE
    c_bit = -7,          ///< SQL_C_BIT
    c_stinyint = -26,    ///< SQL_C_STINYINT
    c_utinyint = -28,    ///< SQL_C_UTINYINT
    c_sbigint = -25,     ///< SQL_C_SBIGINT
    c_ubigint = -27,     ///< SQL_C_UBIGINT
    c_binary = -2,       ///< SQL_C_BINARY
    c_bookmark = -27,    ///< SQL_C_BOOKMARK
    c_varbookmark = -2,  ///< SQL_C_VARBOOKMARK
};

/// SQL data type of a bound parameter.
enum class SqlDataType : SQLSMALLINT {
    s_char = 1,                         ///< SQL_CHAR
    s_varchar = 12,                     ///< SQL_VARCHAR
    s_longvarchar = -1,                 ///< SQL_LONGVARCHAR
    s_wchar = -8,                       ///< SQL_WCHAR
    s_wvarchar = -9,                    ///< SQL_WVARCHAR
    s_wlongvarchar = -10,               ///< SQL_WLONGVARCHAR
    s_decimal = 3,                      ///< SQL_DECIMAL
    s_numeric = 2,                      ///< SQL_NUMERIC
    s_smallint = 5,                     ///< SQL_SMALLINT
    s_integer = 4,                      ///< SQL_INTEGER
    s_real = 7,                         ///< SQL_REAL
    s_float = 6,                        ///< SQL_FLOAT
    s_double = 8,                       ///< SQL_DOUBLE
    s_bit = -7,                         ///< SQL_BIT
    s_tinyint = -6,                     ///< SQL_TINYINT
    s_bigint = -5,                      ///< SQL_BIGINT
    s_binary = -2,                      ///< SQL_BINARY
    s_varbinary = -3,                   ///< SQL_VARBINARY
    s_longvarbinary = -4,               ///< SQL_LONGVARBINARY
    s_type_date = 91,                   ///< SQL_TYPE_DATE
    s_type_time = 92,                   ///< SQL_TYPE_TIME
    s_type_timestamp = 93,              ///< SQL_TYPE_TIMESTAMP
    s_interval_month = 102,             ///< SQL_INTERVAL_MONTH
    s_interval_year = 101,              ///< SQL_INTERVAL_YEAR
    s_interval_year_to_month = 107,     ///< SQL_INTERVAL_YEAR_TO_MONTH
    s_interval_day = 103,               ///< SQL_INTERVAL_DAY
    s_interval_hour = 104,              ///< SQL_INTERVAL_HOUR
    s_interval_minute = 105,            ///< SQL_INTERVAL_MINUTE
    s_interval_second = 106,            ///< SQL_INTERVAL_SECOND
    s_interval_day_to_hour = 108,       ///< SQL_INTERVAL_DAY_TO_HOUR
    s_interval_day_to_minute = 109,     ///< SQL_INTERVAL_DAY_TO_MINUTE
    s_interval_day_to_second = 110,     ///< SQL_INTERVAL_DAY_TO_SECOND
    s_interval_hour_to_minute = 111,    ///< SQL_INTERVAL_HOUR_TO_MINUTE
    s_interval_hour_to_second = 112,    ///< SQL_INTERVAL_HOUR_TO_SECOND
    s_interval_minute_to_second = 113,  ///< SQL_INTERVAL_MINUTE_TO_SECOND
    s_guid = -11,                       ///< SQL_GUID
};

/// Statement attribute identifier (SQLSetStmtAttr's Attribute).
enum class AttributeType : SQLINTEGER {
    async_enable = 4,            ///< SQL_ATTR_ASYNC_ENABLE
    concurrency = 7,             ///< SQL_ATTR_CONCURRENCY
    cursor_type = 6,             ///< SQL_ATTR_CURSOR_TYPE
    enable_auto_ipd = 15,        ///< SQL_ATTR_ENABLE_AUTO_IPD
    fetch_bookmark_ptr = 16,     ///< SQL_ATTR_FETCH_BOOKMARK_PTR
    keyset_size = 8,             ///< SQL_ATTR_KEYSET_SIZE
    max_length = 3,              ///< SQL_ATTR_MAX_LENGTH
    max_rows = 1,                ///< SQL_ATTR_MAX_ROWS
    noscan = 2,                  ///< SQL_ATTR_NOSCAN
    param_bind_offset_ptr = 17,  ///< SQL_ATTR_PARAM_BIND_OFFSET_PTR
    param_bind_type = 18,        ///< SQL_ATTR_PARAM_BIND_TYPE
    param_operation_ptr = 19,    ///< SQL_ATTR_PARAM_OPERATION_PTR
    param_status_ptr = 20,       ///< SQL_ATTR_PARAM_STATUS_PTR
    params_processed_ptr = 21,   ///< SQL_ATTR_PARAMS_PROCESSED_PTR
    paramset_size = 22,          ///< SQL_ATTR_PARAMSET_SIZE
    query_timeout = 0,           ///< SQL_ATTR_QUERY_TIMEOUT
    retrieve_data = 11,          ///< SQL_ATTR_RETRIEVE_DATA
    row_array_size = 27,         ///< SQL_ATTR_ROW_ARRAY_SIZE
    row_bind_offset_ptr = 23,    ///< SQL_ATTR_ROW_BIND_OFFSET_PTR
    row_bind_type = 5,           ///< SQL_ATTR_ROW_BIND_TYPE
    row_number = 14,             ///< SQL_ATTR_ROW_NUMBER
    row_operation_ptr = 24,      ///< SQL_ATTR_ROW_OPERATION_PTR
    row_status_ptr = 25,         ///< SQL_ATTR_ROW_STATUS_PTR
    rows_fetched_ptr = 26,       ///< SQL_ATTR_ROWS_FETCHED_PTR
    simulate_cursor = 10,        ///< SQL_ATTR_SIMULATE_CURSOR
    use_bookmarks = 12,          ///< SQL_ATTR_USE_BOOKMARKS
};

}  // namespace zel::sql

#endif  // ZEL_SQL_TYPES_H_
