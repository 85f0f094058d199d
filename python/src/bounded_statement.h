#ifndef ZEL_SQL_PYTHON_BOUNDED_STATEMENT_H_
#define ZEL_SQL_PYTHON_BOUNDED_STATEMENT_H_

// Running a script's own statement and reading its rows under the
// Database's wait limit (src/odbc/bounded_operation.h). The login goes
// through the sources as every connect does (held-back ones skipped, the
// next one tried); the statement then runs once, on the source that
// answered, and never again elsewhere after a failure: it may write.

#include <memory>
#include <utility>

#include "odbc/bounded_operation.h"
#include "zel/sql/Database.h"

namespace zel::python {

/// What `read(sql::Database&)` returns, run once under `db`'s wait limit.
/// `read` is copied to the helper that runs it and must own what it uses.
/// @throws what `read` threw; zel::sql::DatabaseError with SQLSTATE "HYT00"
/// when an answer is overdue; zel::Error when no helper can be started.
template <typename Result, typename Read>
Result run_statement_bounded(sql::Database& db, Read read) {
    // The helper may outlive a timeout, so what it builds is shared with it
    // and read here only once it has returned.
    auto result = std::make_shared<Result>();
    if (!db.is_connected()) {
        sql::detail::run_bounded_void(db, [](sql::Database& on) {
            if (!on.is_connected()) {
                on.connect();
            }
        });
    }
    sql::detail::finish(sql::detail::BoundedOperation::attempt(
        db, [result, read](sql::Database& on) { *result = read(on); }));
    return std::move(*result);
}

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_BOUNDED_STATEMENT_H_
