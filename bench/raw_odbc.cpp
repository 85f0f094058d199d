#include "raw_odbc.h"

#include <stdexcept>

namespace zel::sql::bench {
namespace {

bool ok(SQLRETURN code) {
    return code == SQL_SUCCESS || code == SQL_SUCCESS_WITH_INFO;
}

std::string diagnostics(SQLSMALLINT handle_type, SQLHANDLE handle) {
    std::string text;
    SQLCHAR state[6];
    SQLCHAR message[1024];
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT record = 1;
         ok(SQLGetDiagRec(handle_type, handle, record, state, &native, message,
                          static_cast<SQLSMALLINT>(sizeof(message)), &length));
         ++record) {
        text += reinterpret_cast<const char*>(message);
    }
    return text;
}

void check(SQLRETURN code, SQLSMALLINT handle_type, SQLHANDLE handle, const std::string& what) {
    if (!ok(code)) {
        throw std::runtime_error(what + ": " + diagnostics(handle_type, handle));
    }
}

}  // namespace

RawConnection::RawConnection(const std::string& data_source) {
    if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_))) {
        throw std::runtime_error("cannot allocate an ODBC environment");
    }
    try {
        check(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                            0),
              SQL_HANDLE_ENV, env_, "ODBC version");
        check(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_), SQL_HANDLE_ENV, env_,
              "connection handle");
        check(SQLConnect(dbc_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(data_source.c_str())),
                         SQL_NTS, nullptr, 0, nullptr, 0),
              SQL_HANDLE_DBC, dbc_, "connecting to " + data_source);
        connected_ = true;
    } catch (...) {
        if (dbc_ != SQL_NULL_HDBC) {
            SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        }
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
        throw;
    }
}

RawConnection::~RawConnection() {
    if (connected_) {
        SQLDisconnect(dbc_);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

RawStatement::RawStatement(const RawConnection& connection, const std::string& sql) {
    check(SQLAllocHandle(SQL_HANDLE_STMT, connection.get(), &stmt_), SQL_HANDLE_DBC,
          connection.get(), "statement handle");
    try {
        SQLSetStmtAttr(stmt_, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
        check(SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                            static_cast<SQLINTEGER>(sql.size())),
              SQL_HANDLE_STMT, stmt_, sql);
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
        throw;
    }
}

RawStatement::~RawStatement() {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
}

void RawStatement::bind(SQLUSMALLINT column, SQLSMALLINT c_type, SQLPOINTER buf, SQLLEN buf_len,
                        SQLLEN* indicator) {
    check(SQLBindCol(stmt_, column, c_type, buf, buf_len, indicator), SQL_HANDLE_STMT, stmt_,
          "binding a column");
}

bool RawStatement::fetch() {
    const SQLRETURN code = SQLFetch(stmt_);
    if (code == SQL_NO_DATA) {
        return false;
    }
    check(code, SQL_HANDLE_STMT, stmt_, "fetch");
    return true;
}

}  // namespace zel::sql::bench
