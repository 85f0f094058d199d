#include "odbc_probe.h"

#include <sql.h>
#include <sqlext.h>

namespace zel_sql_tool {
namespace {

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Owns one ODBC handle.
class Handle {
public:
    Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
        if (!succeeded(SQLAllocHandle(type, parent, &handle_))) {
            handle_ = SQL_NULL_HANDLE;
        }
    }
    ~Handle() {
        if (handle_ != SQL_NULL_HANDLE) {
            SQLFreeHandle(type_, handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    SQLHANDLE get() const { return handle_; }

private:
    SQLSMALLINT type_;
    SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

SQLCHAR* text(const std::string& s) {
    // SQLConnect takes non-const pointers but does not write through them.
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
}

SQLSMALLINT length(const std::string& s) {
    return static_cast<SQLSMALLINT>(s.size());
}

std::string info(SQLHDBC dbc, SQLUSMALLINT what) {
    char buffer[512] = {};
    SQLSMALLINT written = 0;
    if (!succeeded(SQLGetInfo(dbc, what, buffer, sizeof(buffer), &written))) {
        return std::string();
    }
    return buffer;
}

void first_diagnostic(SQLHDBC dbc, OdbcProbe& probe) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[1024] = {};
    SQLSMALLINT written = 0;
    if (succeeded(SQLGetDiagRec(SQL_HANDLE_DBC, dbc, 1, state, &native, message, sizeof(message),
                                &written))) {
        probe.sqlstate = reinterpret_cast<const char*>(state);
        probe.native_error = static_cast<int>(native);
        probe.message = reinterpret_cast<const char*>(message);
    }
}

}  // namespace

OdbcProbe probe_data_source(const std::string& data_source, const std::string& user,
                            const std::string& password, unsigned long login_timeout_seconds) {
    OdbcProbe probe;
    Handle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    if (env.get() == SQL_NULL_HANDLE) {
        probe.message = "Unable to allocate an ODBC environment";
        return probe;
    }
    SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    Handle dbc(SQL_HANDLE_DBC, env.get());
    if (dbc.get() == SQL_NULL_HANDLE) {
        probe.message = "Unable to allocate an ODBC connection";
        return probe;
    }
    if (login_timeout_seconds > 0) {
        SQLSetConnectAttr(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(login_timeout_seconds), 0);
    }
    // As the library does: an empty user or password is not passed at all.
    const SQLRETURN rc = SQLConnect(dbc.get(), text(data_source), length(data_source),
                                    user.empty() ? nullptr : text(user), length(user),
                                    password.empty() ? nullptr : text(password), length(password));
    if (!succeeded(rc)) {
        first_diagnostic(dbc.get(), probe);
        return probe;
    }
    probe.connected = true;
    probe.driver_name = info(dbc.get(), SQL_DRIVER_NAME);
    probe.driver_version = info(dbc.get(), SQL_DRIVER_VER);
    probe.driver_odbc_version = info(dbc.get(), SQL_DRIVER_ODBC_VER);
    probe.dbms_name = info(dbc.get(), SQL_DBMS_NAME);
    probe.dbms_version = info(dbc.get(), SQL_DBMS_VER);
    SQLDisconnect(dbc.get());
    return probe;
}

}  // namespace zel_sql_tool
