#ifndef ZEL_SQL_HANDLES_H_
#define ZEL_SQL_HANDLES_H_

/// @file
/// Owning wrappers of the three ODBC handle kinds. Each holds at most one
/// handle, allocates it on request with fixed attributes, frees it when it is
/// destroyed, and turns every failing ODBC call into a zel::Error.
///
/// A child handle takes the raw parent handle at alloc() time and keeps no
/// reference to the parent object: free statements before their connection and
/// connections before their environment.

#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>
#include <vector>

#include "zel/export.h"
#include "zel/sql/types.h"

namespace zel::sql {

namespace detail {
struct ConnectionState;  // internal: what the statements on a connection share with it
struct HandleAccess;     // internal: reaches that state (src/odbc/connection_state.cpp)
}  // namespace detail

/// An ODBC environment handle (ODBC version 3).
class ZEL_SQL_API EnvironmentHandle {
public:
    EnvironmentHandle() = default;
    EnvironmentHandle(const EnvironmentHandle&) = delete;
    EnvironmentHandle& operator=(const EnvironmentHandle&) = delete;
    /// The new object takes over the handle; `other` owns nothing afterwards.
    EnvironmentHandle(EnvironmentHandle&& other) noexcept;
    /// Frees the handle held so far, then takes over the one of `other`.
    /// Assigning an object to itself changes nothing.
    EnvironmentHandle& operator=(EnvironmentHandle&& other) noexcept;
    ~EnvironmentHandle();

    /// Allocates the handle and sets SQL_ATTR_ODBC_VERSION to SQL_OV_ODBC3.
    /// @throws zel::Error when already allocated or when ODBC refuses.
    void alloc();
    /// Frees the handle if one is held; otherwise makes no ODBC call.
    void free() noexcept;
    /// The raw handle, whether allocated or not.
    SQLHENV operator()() const noexcept { return handle_; }
    /// True from a successful alloc() until free() or a move away.
    bool is_allocated() const noexcept { return is_allocated_; }

private:
    SQLHENV handle_ = SQL_NULL_HENV;
    bool is_allocated_ = false;
};

/// An ODBC connection handle, with a login time-out of 5 seconds.
class ZEL_SQL_API ConnectionHandle {
public:
    ConnectionHandle() = default;
    ConnectionHandle(const ConnectionHandle&) = delete;
    ConnectionHandle& operator=(const ConnectionHandle&) = delete;
    /// The new object takes over the handle; `other` owns nothing afterwards.
    ConnectionHandle(ConnectionHandle&& other) noexcept;
    /// Frees the handle held so far, then takes over the one of `other`.
    /// Assigning an object to itself changes nothing.
    ConnectionHandle& operator=(ConnectionHandle&& other) noexcept;
    ~ConnectionHandle();

    /// Allocates the handle on `env_handle` and asks for a login time-out of 5
    /// seconds (a refused time-out is ignored).
    /// @throws zel::Error when already allocated, when `env_handle` is not
    /// allocated or when ODBC refuses.
    void alloc(const EnvironmentHandle& env_handle);
    /// Frees the handle if one is held; otherwise makes no ODBC call.
    void free() noexcept;
    /// The raw handle, whether allocated or not.
    SQLHDBC operator()() const noexcept { return handle_; }
    /// True from a successful alloc() until free() or a move away.
    bool is_allocated() const noexcept { return is_allocated_; }

private:
    friend struct detail::HandleAccess;

    SQLHDBC handle_ = SQL_NULL_HDBC;
    bool is_allocated_ = false;
    // Shared with every statement allocated on this connection; made anew by
    // each alloc().
    std::shared_ptr<detail::ConnectionState> state_;
};

/// An ODBC statement handle, with a query time-out of 10 seconds.
///
/// Statement operations that fail throw zel::Error with a fixed message to
/// which the driver's diagnostic text is appended: the message texts of all
/// diagnostic records of the statement, joined with nothing between them.
/// Such an error is a zel::sql::DatabaseError, which also carries the SQLSTATE
/// and native error code of the first record.
class ZEL_SQL_API StatementHandle {
public:
    StatementHandle() = default;
    StatementHandle(const StatementHandle&) = delete;
    StatementHandle& operator=(const StatementHandle&) = delete;
    /// The new object takes over the handle; `other` owns nothing afterwards.
    StatementHandle(StatementHandle&& other) noexcept;
    /// Frees the handle held so far, then takes over the one of `other`.
    /// Assigning an object to itself changes nothing.
    StatementHandle& operator=(StatementHandle&& other) noexcept;
    ~StatementHandle();

    /// Allocates the handle on `conn_handle` and sets a query time-out of 10
    /// seconds; a driver that rejects the time-out does not make this fail.
    /// @throws zel::Error when already allocated, when `conn_handle` is not
    /// allocated or when ODBC refuses (for example on a connection that is not
    /// open: "Unable to allocate SQL statement handle").
    void alloc(const ConnectionHandle& conn_handle);
    /// Frees the handle if one is held; otherwise makes no ODBC call.
    void free() noexcept;
    /// The raw handle, whether allocated or not.
    SQLHSTMT operator()() const noexcept { return handle_; }
    /// True from a successful alloc() until free() or a move away.
    bool is_allocated() const noexcept { return is_allocated_; }

    /// SQLCancel, result ignored. @throws zel::Error when not allocated.
    void cancel();

    /// Fetches the next row. True when a row was delivered; false at the end
    /// of the rows and also when the fetch failed (the two are not told apart:
    /// use fetch_checked() for that).
    /// @throws zel::Error only when not allocated.
    bool fetch();

    /// Fetches the next row. True when a row was delivered, false at the end
    /// of the rows (SQL_NO_DATA).
    /// @throws zel::Error "Fetch failed: " + diagnostics + " (" + statement +
    /// ")" for any other result, `statement` being the SQL text to name.
    bool fetch_checked(const std::string& statement);

    /// Executes `statement` once; SQL_NEED_DATA counts as success.
    /// @throws zel::Error "Error executing '<statement>': <diagnostics>".
    void execute(const std::string& statement);

    /// Executes `query` once.
    /// @throws zel::Error "Query failed: <diagnostics> (<query>)".
    void send_query(const std::string& query);

    /// SQLSetStmtAttr. @throws zel::Error "Unable to set attribute: ...".
    void set_attribute(AttributeType attr_type, SQLPOINTER value_ptr, SQLINTEGER str_len);

    /// SQLBindCol. The driver keeps `buf` and `ret_len` and writes to them at
    /// each fetch: keep both alive, at the same address, while the binding lasts.
    void bind_column(int column, CDataType datatype, SQLPOINTER buf, SQLLEN buf_len,
                     SQLLEN* ret_len);

    /// SQLBindParameter. `buf` and `ret_len` must stay alive until the
    /// statement has been executed.
    void bind_parameter(SQLUSMALLINT param_idx, ParameterType param_type, CDataType c_data_type,
                        SqlDataType sql_data_type, SQLULEN sql_data_type_length_or_precision,
                        SQLSMALLINT decimal_digits, SQLPOINTER buf, SQLLEN buf_len,
                        SQLLEN* ret_len);

    /// One SQLGetData on the current row; SQL_NO_DATA is a failure here.
    void get_data(int column, SQLSMALLINT datatype, SQLPOINTER buf, SQLLEN buf_len,
                  SQLLEN* ret_len);

    /// The whole character value of `column` in the current row, read in
    /// pieces of up to 1023 characters. `was_null`, if given, tells SQL NULL
    /// (returned as "") from an empty value.
    std::string get_data_as_string(int column, bool* was_null);

    /// The whole binary value of `column` in the current row, read in pieces of
    /// 4096 bytes straight into the result. `was_null` as for strings.
    std::vector<unsigned char> get_data_as_binary(int column, bool* was_null);

    /// The number of columns of the executed statement's result
    /// (SQLNumResultCols); 0 for a statement that returns no rows.
    /// @throws zel::Error "Unable to count result columns: <diagnostics>".
    int get_num_result_columns();

    /// The name of result column `column` (1-based) as the driver gives it
    /// (SQLDescribeCol), whatever its length.
    /// @throws zel::Error "Unable to describe column <n>: <diagnostics>".
    std::string get_column_name(int column);

private:
    friend struct detail::HandleAccess;

    std::string get_error_message() const;

    SQLHSTMT handle_ = SQL_NULL_HSTMT;
    bool is_allocated_ = false;
};

}  // namespace zel::sql

#endif  // ZEL_SQL_HANDLES_H_
