// A second, plain ODBC connection to the data source that `zel-sql check`
// examines. The library's public API hands out no connection handle, so the
// driver and DBMS names and versions (SQLGetInfo) and the SQLSTATE of a
// refused login come from this connection of the tool's own, made with the
// same data source name, user and password. It is closed at once.

#ifndef ZEL_SQL_TOOL_ODBC_PROBE_H_
#define ZEL_SQL_TOOL_ODBC_PROBE_H_

#include <string>

namespace zel_sql_tool {

struct OdbcProbe {
    bool connected = false;
    // Of a refused login: the first diagnostic record.
    std::string sqlstate;
    int native_error = 0;
    std::string message;
    // Of a login that succeeded.
    std::string driver_name;
    std::string driver_version;
    std::string driver_odbc_version;
    std::string dbms_name;
    std::string dbms_version;
};

// Logs in with a login time-out of `login_timeout_seconds` (0: the driver's
// own), asks SQLGetInfo, logs out.
OdbcProbe probe_data_source(const std::string& data_source, const std::string& user,
                            const std::string& password, unsigned long login_timeout_seconds);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_ODBC_PROBE_H_
