// Reading one value whole with SQLGetData, whatever its length: the one way
// the library's readers complete a value that did not fit a bound buffer, or
// read a column of unknown size.
#pragma once

#include <sql.h>

#include <string>

#include "util/internal_api.h"

namespace zel::sql::odbc {

// Appends the value of `column` (1-based) in the current row of `statement`,
// read as `c_type` (SQL_C_CHAR or SQL_C_BINARY), to `out`. A first piece of
// 1 KiB on the stack holds most values; when the driver tells the length,
// the rest comes in one more call, and when it does not (SQL_NO_TOTAL), in
// growing pieces. Returns false for NULL, leaving `out` as it was.
//
// Throws the DatabaseError "Error while retrieving data from column <n>:
// <diagnostics>" when a call fails; `out` then keeps what was read before.
ZEL_SQL_INTERNAL_API bool append_whole_value(SQLHSTMT statement, int column, SQLSMALLINT c_type,
                                             std::string& out);

}  // namespace zel::sql::odbc
