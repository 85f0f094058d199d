// Statements whose values travel as bound parameters, never inside the SQL
// text: prepared on a Database's connection, given their parameters by the
// caller (SQLBindParameter on the Query's statement, see query_statement.h),
// then executed. The Python module's parameterised reads use them. Internal:
// not installed.
#pragma once

#include <string>

#include "util/internal_api.h"
#include "zel/sql/Database.h"
#include "zel/sql/Query.h"

namespace zel::sql::detail {

/// Database and Query name this struct their friend.
struct PreparedStatementAccess {
    /// Connects `db` as send_query() does, under its wait limit, and
    /// prepares `sql` (SQLPrepare) on a new statement, not yet executed.
    /// @throws as send_query(): "Query failed: <diagnostics> (<sql>)" when
    /// the driver refuses to prepare it.
    ZEL_SQL_INTERNAL_API static Query prepare(Database& db, const std::string& sql);

    /// Connects `db` as send_query() does, under its wait limit, and
    /// executes `sql` (SQLExecDirect) on a new statement as a statement of
    /// `db`'s transaction. Unlike send_query(), a searched UPDATE or DELETE
    /// that met no row (SQL_NO_DATA) has succeeded.
    /// @throws as send_query().
    ZEL_SQL_INTERNAL_API static Query execute_direct(Database& db, const std::string& sql);

    /// The number of parameter markers of the prepared `query` (SQLNumParams).
    /// @throws zel::sql::DatabaseError "Unable to count parameters:
    /// <diagnostics>".
    ZEL_SQL_INTERNAL_API static int count_parameters(Query& query);

    /// Executes the prepared `query` (SQLExecute) with the parameters bound
    /// on it, as a statement of `db`'s transaction. A searched UPDATE or
    /// DELETE that met no row (SQL_NO_DATA) has succeeded.
    /// @throws zel::sql::DatabaseError "Query failed: <diagnostics> (<sql>)".
    ZEL_SQL_INTERNAL_API static void execute(Database& db, Query& query);
};

}  // namespace zel::sql::detail
