#ifndef ZEL_SQL_PYTHON_RESULT_STREAM_H_
#define ZEL_SQL_PYTHON_RESULT_STREAM_H_

// The result of a DB API cursor's statement, read from the database in steps
// as the cursor fetches, so that a script walking a large result in batches
// holds one batch at a time rather than the whole result. Without Python:
// cursor_result.h turns the rows into Python values.
//
// The statement stays open on the connection between the fetches. Each read
// is one bounded call (src/odbc/bounded_operation.h) on that same connection,
// under the Database's wait limit: never a new login, never a standby, since
// the rest of the result exists only there. Everything such a call touches is
// shared with it, as its helper thread may outlive a timeout; after a
// timeout the statement is left to that helper and its connection's rule for
// given-up statements (src/odbc/connection_state.h): nothing here touches it
// again.
//
// A connection takes one statement at a time on some drivers (MariaDB's
// "Commands out of sync"), and a commit may close a driver's open cursors.
// So before anything else runs on the Database, LockedDatabase reads the
// rest of an open result into its memory (settle()): whatever a cursor
// fetches later is what the statement gave, whatever ran in between.
//
// All members are used with the Database's mutex held (database.h).

#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "odbc/connection_state.h"
#include "parameters.h"
#include "typed_fetch.h"
#include "typed_rows.h"
#include "zel/sql/Database.h"

namespace zel::python {

class ResultStream {
public:
    /// Runs `sql` with `parameters` once on `db` under its wait limit, as
    /// Database.query() does, and reads up to `first_rows` rows of its result.
    /// A result that ends within them is complete at once and its statement
    /// closed.
    /// @throws zel::sql::DatabaseError as the driver refuses the statement, or
    /// with SQLSTATE "HYT00" when an answer is overdue.
    static std::shared_ptr<ResultStream> execute(sql::Database& db, const std::string& sql,
                                                 const BoundParameters& parameters,
                                                 std::size_t first_rows);

    ResultStream(const ResultStream&) = delete;
    ResultStream& operator=(const ResultStream&) = delete;
    ~ResultStream();

    /// The result columns; empty for a statement without a result set.
    const std::vector<ResultColumn>& columns() const noexcept { return columns_; }

    /// For a result set: its rows once it was read to its end, -1 before.
    /// Else the rows the statement changed, -1 when the driver does not tell.
    long long row_count() const noexcept;

    /// True while the statement is open on its connection.
    bool is_open() const noexcept { return statement_ != nullptr; }

    /// Moves rows into `out`, whole chunks in order, at least `wanted` of
    /// them unless the result ends first: the rows read before, then, when
    /// those are fewer, as many more as are missing, read on `db` in one
    /// bounded call. The rows moved are dropped here. A read that fails ends
    /// the result: this throws its error, now and at every later take, and
    /// rows read but not taken are gone.
    /// @throws zel::sql::DatabaseError with SQLSTATE "HYT00" for an overdue
    /// answer, "08003" when the connection was given up or closed since;
    /// what the read threw.
    void take(sql::Database& db, std::size_t wanted, std::vector<RowChunk>& out);

    /// Reads the rest of the result into memory and closes the statement, so
    /// that another statement may run on the connection. Nothing when the
    /// statement is closed.
    /// @throws what take() throws.
    void read_rest(sql::Database& db);

    /// Closes the statement, in a bounded call (a driver may read the rest
    /// from the server to close it), and drops the rows not taken.
    /// @throws zel::sql::DatabaseError with SQLSTATE "HYT00" when the driver
    /// does not return within the wait limit; the connection is given up.
    void close(sql::Database& db);

private:
    struct Statement;

    ResultStream() = default;
    // Reads on `db` in one bounded call: `rows` rows or the rest.
    void read(sql::Database& db, std::size_t rows);
    // Ends the result with `error`, raised by every later take().
    [[noreturn]] void fail(std::exception_ptr error);

    std::vector<ResultColumn> columns_;
    long long changed_rows_ = -1;
    std::shared_ptr<Statement> statement_;  // null once complete, closed or failed
    sql::detail::SharedConnectionState connection_;
    std::deque<RowChunk> pending_;  // read, not taken yet
    std::size_t rows_read_ = 0;
    bool complete_ = false;  // read to its end
    std::exception_ptr failure_;
};

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_RESULT_STREAM_H_
