#ifndef ZEL_SQL_ODBC_JOIN_ERRORS_H_
#define ZEL_SQL_ODBC_JOIN_ERRORS_H_

// The one error of a read that failed twice: first at the database, then at
// the local copy that should have stood in for it. Internal: not installed.

#include "zel/Error.h"

namespace zel::sql::detail {

/// Throws the messages of `database_failure` and `file_failure` joined with
/// "; ". When the database failure is a DatabaseError, so is the joined error,
/// with its SQLSTATE and native code: the joined message still carries the
/// driver's diagnostics, and callers decide by the SQLSTATE.
[[noreturn]] void throw_joined_errors(const Error& database_failure, const Error& file_failure);

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_ODBC_JOIN_ERRORS_H_
