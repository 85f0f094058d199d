#ifndef ZEL_SQL_ODBC_ODBC_RULES_H_
#define ZEL_SQL_ODBC_ODBC_RULES_H_

// The rules every ODBC call of the library follows: what counts as success,
// how a handle's diagnostics are read, how text is handed to the driver, and
// the guard for operations on a handle that is not allocated. Internal: not
// installed, not exported.

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>

#include "util/internal_api.h"
#include "zel/sql/DatabaseError.h"

namespace zel::sql::odbc {

/// SQL_SUCCESS or SQL_SUCCESS_WITH_INFO: the 16-bit return code, read as
/// unsigned, is at most 1. Everything else, SQL_NEED_DATA and SQL_NO_DATA
/// included, is failure.
constexpr bool succeeded(SQLRETURN code) noexcept {
    return static_cast<std::uint16_t>(code) <= 1;
}

/// What the diagnostic records of a handle say.
struct Diagnostics {
    /// The message texts of all records, joined with nothing between them.
    std::string text;
    /// The SQLSTATE of the first record; empty when there is no record.
    std::string sqlstate;
    /// The native error code of the first record; 0 when there is none.
    std::int32_t native_error = 0;
};

/// Reads the diagnostic records of `handle` (of type SQL_HANDLE_ENV,
/// SQL_HANDLE_DBC or SQL_HANDLE_STMT) from the first on, up to the first
/// call that returns SQL_NO_DATA or an error. A message longer than 512
/// characters arrives cut. Never throws for an ODBC result.
ZEL_SQL_INTERNAL_API Diagnostics collect_diagnostics(SQLSMALLINT handle_type, SQLHANDLE handle);

/// The error for a failed call whose diagnostics were `diagnostics`;
/// `message` already holds their text where it belongs.
inline DatabaseError database_error(const std::string& message, const Diagnostics& diagnostics) {
    return DatabaseError(message, diagnostics.sqlstate, diagnostics.native_error);
}

/// Throws the DatabaseError "<before><diagnostics><after>" with the
/// diagnostics of the statement `statement`, for a call on it that failed.
[[noreturn]] ZEL_SQL_INTERNAL_API void throw_statement_error(
    SQLHSTMT statement, const std::string& before, const std::string& after = std::string());

/// The characters of `text` as the SQLCHAR* that ODBC's signatures ask for.
/// ODBC only reads through input text arguments; they are declared
/// non-const for historical reasons.
inline SQLCHAR* sql_text(const std::string& text) noexcept {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data()));
}

/// Throws zel::Error `message` unless the handle is allocated.
inline void require_allocated(bool is_allocated, const char* message) {
    if (!is_allocated) {
        throw Error(message);
    }
}

}  // namespace zel::sql::odbc

#endif  // ZEL_SQL_ODBC_ODBC_RULES_H_
