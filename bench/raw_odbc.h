#ifndef ZEL_SQL_BENCH_RAW_ODBC_H_
#define ZEL_SQL_BENCH_RAW_ODBC_H_

// The bare ODBC calls that any client makes, without the library: the floor
// against which the library's loading is measured.

#include <sql.h>
#include <sqlext.h>

#include <string>

namespace zel::sql::bench {

// An environment and a connection to one data source; both freed on
// destruction. Throws std::runtime_error with the driver's diagnostics.
class RawConnection {
public:
    explicit RawConnection(const std::string& data_source);
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    ~RawConnection();

    SQLHDBC get() const { return dbc_; }

private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    bool connected_ = false;
};

// One executed statement, with the query time-out that the library sets too.
class RawStatement {
public:
    RawStatement(const RawConnection& connection, const std::string& sql);
    RawStatement(const RawStatement&) = delete;
    RawStatement& operator=(const RawStatement&) = delete;
    ~RawStatement();

    SQLHSTMT get() const { return stmt_; }
    void bind(SQLUSMALLINT column, SQLSMALLINT c_type, SQLPOINTER buf, SQLLEN buf_len,
              SQLLEN* indicator);
    // True for a row, false at the end; throws on an error.
    bool fetch();

private:
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
};

}  // namespace zel::sql::bench

#endif  // ZEL_SQL_BENCH_RAW_ODBC_H_
