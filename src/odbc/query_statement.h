// The raw statement and connection handles and the SQL text of a Query, for
// the library's own readers that drive the ODBC calls themselves (the text
// read, the Python module's typed and columnar reads). Query names this
// struct its friend.
#pragma once

#include <sql.h>

#include <string>

#include "odbc/connection_state.h"
#include "zel/sql/Query.h"

namespace zel::sql::detail {

struct QueryStatementAccess {
    /// @throws zel::Error when the Query's connection was given up.
    static SQLHSTMT handle(const Query& query) {
        check_usable(query.connection_state_);
        return query.statement_();
    }
    static SQLHDBC connection(const Query& query) { return query.connection_; }
    /// Whether the Query's connection was given up (connection_state.h).
    static const SharedConnectionState& state(const Query& query) {
        return query.connection_state_;
    }
    static const std::string& sql(const Query& query) { return query.query_; }
};

}  // namespace zel::sql::detail
