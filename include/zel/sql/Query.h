#ifndef ZEL_SQL_QUERY_H_
#define ZEL_SQL_QUERY_H_

/// @file
/// An SQL statement executed at construction whose result rows are then read.

#include <sql.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "zel/export.h"
#include "zel/sql/handles.h"
#include "zel/sql/types.h"

namespace zel::sql {

namespace detail {

/// The C data type that belongs to a buffer element type of Query::bind_column<T>.
template <typename T>
struct CDataTypeOf;
template <>
struct CDataTypeOf<char> {
    static constexpr CDataType value = CDataType::c_char;
};
template <>
struct CDataTypeOf<double> {
    static constexpr CDataType value = CDataType::c_double;
};
template <>
struct CDataTypeOf<unsigned short> {
    static constexpr CDataType value = CDataType::c_ushort;
};

struct QueryStatementAccess;  // internal: the raw statement of a Query (src/odbc/query_statement.h)
struct PreparedStatementAccess;  // internal: statements prepared for bound parameters

}  // namespace detail

/// One SQL statement executed on an open connection; its rows are read either
/// through buffers bound to columns, which every fetch() fills, or column by
/// column after each fetch() with the get_column_as_... functions.
///
/// Usually made by Database::send_query(). A Query keeps its own statement
/// handle and knows the connection it was made on, but keeps no reference to
/// its Database: see Database.h for when a Query must be destroyed and for
/// the one case in which it turns inert, a connection given up after a
/// timeout. Bound buffers belong to the caller and must stay alive, at the
/// same address, as long as the Query may fetch.
///
/// A Query can be moved but not copied; a moved-from Query owns nothing, its
/// operations throw the "unallocated" errors and destroying it calls nothing.
class ZEL_SQL_API Query {
public:
    /// What is known of a column bound through this Query.
    struct ColumnInfo {
        CDataType datatype;  ///< C type of the bound buffer
        SQLPOINTER buf;      ///< the caller's buffer
        SQLLEN buf_len;      ///< the buffer's length in bytes
        SQLLEN bytes_read;   ///< length of the current row's value, or SQL_NULL_DATA
    };

    /// Allocates a statement on `connection_handle` (query time-out 10 s) and
    /// executes `query` at once.
    /// @throws zel::Error "SQL connection handle is not allocated", "Unable to
    /// allocate SQL statement handle" or "Query failed: <diagnostics> (<query>)".
    Query(const std::string& query, const ConnectionHandle& connection_handle);
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    /// Takes over the statement, the text and the column records of `other`,
    /// which owns nothing afterwards; bound buffers stay bound.
    Query(Query&& other) noexcept;
    /// Frees the statement held so far; self-assignment changes nothing.
    Query& operator=(Query&& other) noexcept;
    /// Cancels the statement (SQLCancel) and frees it; makes no ODBC call when
    /// its connection was given up (see Database.h).
    ~Query();

    /// Binds `buf` of `buf_len` bytes to result column `column` (1-based);
    /// binding a column again replaces the earlier binding.
    /// @throws zel::Error "Unable to bind to column <n>: <diagnostics>".
    void bind_column(int column, CDataType datatype, SQLPOINTER buf, SQLLEN buf_len);

    /// Binds an array of `num_elements` elements of type char, double or
    /// unsigned short, with the matching C type.
    template <typename T>
    void bind_column(int column, T* buf, std::size_t num_elements) {
        bind_column(column, detail::CDataTypeOf<std::remove_cv_t<T>>::value, buf,
                    static_cast<SQLLEN>(num_elements * sizeof(T)));
    }

    /// Fetches the next row into the bound buffers. True when a row came;
    /// false at the end of the rows and also when the driver reported an error.
    /// Use fetch_checked() to tell the two apart.
    bool fetch();

    /// Fetches the next row into the bound buffers. True when a row came, false
    /// at the end of the rows.
    /// @throws zel::Error "Fetch failed: <diagnostics> (<query>)" when the
    /// driver reports an error instead of a row.
    bool fetch_checked();

    /// Length in bytes of the current value of bound column `column`; 0 for
    /// NULL. @throws std::out_of_range when the column was never bound.
    unsigned long get_bytes_read(int column) const;

    /// True when bound column `column` is NULL in the current row.
    /// @throws std::out_of_range when the column was never bound.
    bool is_null(int column) const;

    /// One SQLGetData of `column` into `buf`; false when the value is NULL.
    bool get_column(int column, SQLPOINTER buf, SQLLEN buf_len, SQLSMALLINT datatype);

    /// The whole binary value of an unbound column of the current row.
    std::vector<unsigned char> get_column_as_binary(int column, bool* was_null);
    /// A double value of the current row; 0.0 for NULL.
    double get_column_as_double(int column, bool* was_null);
    /// A 32-bit integer value of the current row; 0 for NULL.
    int32_t get_column_as_int32_t(int column, bool* was_null);
    /// The whole character value of an unbound column of the current row.
    std::string get_column_as_string(int column, bool* was_null);

    /// The number of columns of the result (SQLNumResultCols).
    /// @throws zel::Error "Unable to count result columns: <diagnostics>".
    int get_num_result_columns();
    /// The name of result column `column` (1-based) as the driver gives it.
    /// @throws zel::Error "Unable to describe column <n>: <diagnostics>".
    std::string get_column_name(int column);

private:
    // The library's own readers (src/odbc/query_statement.h) bind buffers and
    // row arrays on the statement, which this interface does not offer.
    friend struct detail::QueryStatementAccess;
    // Statements with bound parameters (src/odbc/prepared_statement.h) are
    // prepared here and executed once their parameters are bound.
    friend struct detail::PreparedStatementAccess;
    struct Unexecuted {};
    // Allocates a statement on `connection_handle` and prepares `query`
    // without executing it.
    Query(const std::string& query, const ConnectionHandle& connection_handle, Unexecuted);
    struct NoRowsIsSuccess {};
    // Allocates a statement on `connection_handle` and executes `query`
    // (SQLExecDirect). Unlike the public constructor's, a searched UPDATE or
    // DELETE that met no row (SQL_NO_DATA) has succeeded: the database
    // interface of the Python module runs a script's writes this way.
    Query(const std::string& query, const ConnectionHandle& connection_handle, NoRowsIsSuccess);

    StatementHandle statement_;
    // The connection the statement belongs to, for the text read's questions
    // to the driver (SQLGetInfo takes a connection handle).
    SQLHDBC connection_ = SQL_NULL_HDBC;
    // Whether that connection was given up after a timeout: then this Query
    // touches its statement no more.
    std::shared_ptr<detail::ConnectionState> connection_state_;
    std::string query_;
    // Node-based on purpose: the driver keeps the address of each bytes_read.
    std::map<int, ColumnInfo> column_info_;
};

}  // namespace zel::sql

#endif  // ZEL_SQL_QUERY_H_
