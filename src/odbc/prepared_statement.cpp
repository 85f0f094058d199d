#include "odbc/prepared_statement.h"

#include "odbc/bounded_operation.h"
#include "odbc/bounded_wait.h"
#include "odbc/odbc_rules.h"
#include "odbc/query_statement.h"
#include "util/string.h"

namespace zel::sql::detail {

Query PreparedStatementAccess::prepare(Database& db, const std::string& sql) {
    run_bounded_void(db, [](Database& on) { on.prepare_connection(); });
    return Query(sql, db.conn_handle_, Query::Unexecuted{});
}

Query PreparedStatementAccess::execute_direct(Database& db, const std::string& sql) {
    run_bounded_void(db, [](Database& on) { on.prepare_connection(); });
    try {
        Query executed(sql, db.conn_handle_, Query::NoRowsIsSuccess{});
        db.note_statement();
        return executed;
    } catch (const DatabaseError&) {
        throw;
    } catch (const Error& e) {
        db.rethrow_allocation_failure(e);
    }
}

int PreparedStatementAccess::count_parameters(Query& query) {
    const SQLHSTMT statement = QueryStatementAccess::handle(query);
    SQLSMALLINT count = 0;
    if (!odbc::succeeded(SQLNumParams(statement, &count))) {
        odbc::throw_statement_error(statement, "Unable to count parameters: ");
    }
    return count;
}

void PreparedStatementAccess::execute(Database& db, Query& query) {
    const SQLHSTMT statement = QueryStatementAccess::handle(query);
    note_wait(WaitStep::execute);
    const SQLRETURN code = SQLExecute(statement);
    if (code != SQL_NO_DATA && !odbc::succeeded(code)) {
        odbc::throw_statement_error(
            statement, "Query failed: ", util::cat(" (", QueryStatementAccess::sql(query), ")"));
    }
    db.note_statement();
}

}  // namespace zel::sql::detail
