// The raw statement handle of a Query, for the library's own readers that
// drive the ODBC calls themselves (the text read, the Python module's typed
// and columnar reads). Query names this struct its friend.
#pragma once

#include <sql.h>

#include "zel/sql/Query.h"

namespace zel::sql::detail {

struct QueryStatementAccess {
    static SQLHSTMT handle(const Query& query) { return query.statement_(); }
};

}  // namespace zel::sql::detail
