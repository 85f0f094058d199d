#ifndef ZEL_SQL_ODBC_BOUNDED_STATEMENT_H_
#define ZEL_SQL_ODBC_BOUNDED_STATEMENT_H_

// Running a caller's own statement (a script's, an operator's) and reading its rows under the
// Database's wait limit (src/odbc/bounded_operation.h). The login goes
// through the sources as every connect does (held-back ones skipped, the
// next one tried); the statement then runs once, on the source that
// answered, and never again elsewhere after a failure: it may write.

#include <memory>
#include <utility>

#include "odbc/bounded_operation.h"
#include "zel/sql/Database.h"

namespace zel::sql::detail {

/// What `read(Database&)` returns, run once under `db`'s wait limit.
/// `read` is copied to the helper that runs it and must own what it uses.
/// @throws what `read` threw; zel::sql::DatabaseError with SQLSTATE "HYT00"
/// when an answer is overdue; zel::Error when no helper can be started.
template <typename Result, typename Read>
Result run_statement_bounded(Database& db, Read read) {
    // The helper may outlive a timeout, so what it builds is shared with it
    // and read here only once it has returned.
    auto result = std::make_shared<Result>();
    if (!db.is_connected()) {
        detail::run_bounded_void(db, [](Database& on) {
            if (!on.is_connected()) {
                on.connect();
            }
        });
    }
    detail::finish(detail::BoundedOperation::attempt(
        db, [result, read](Database& on) { *result = read(on); }));
    return std::move(*result);
}

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_ODBC_BOUNDED_STATEMENT_H_
