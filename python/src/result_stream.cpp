#include "result_stream.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "odbc/bounded_operation.h"
#include "odbc/bounded_statement.h"
#include "odbc/query_statement.h"
#include "zel/sql/DatabaseError.h"
#include "zel/sql/Query.h"

namespace zel::python {

namespace bounded = sql::detail;

// The open statement and its reader, shared with the bounded call that uses
// them. Closed (both freed) by that call when the result ends or fails, so
// the ODBC calls of closing run under the wait limit too.
struct ResultStream::Statement {
    explicit Statement(sql::Query executed) : query(std::move(executed)) {}

    // Reads up to `rows` rows into `out`; true at the end of the result.
    bool read(std::size_t rows, std::vector<RowChunk>& out) {
        while (rows > 0) {
            RowChunk chunk;
            if (!fetch->read_chunk(chunk, std::min(rows, chunk_rows), chunk_bytes)) {
                return true;
            }
            rows -= chunk.rows;
            out.push_back(std::move(chunk));
        }
        return false;
    }

    void close() noexcept {
        fetch.reset();  // undoes its bindings first
        query.reset();
    }

    std::optional<sql::Query> query;
    std::optional<TypedFetch> fetch;  // reads `query`
};

std::shared_ptr<ResultStream> ResultStream::execute(sql::Database& db, const std::string& sql,
                                                    const BoundParameters& parameters,
                                                    std::size_t first_rows) {
    // Shared with the helper that runs the statement, which may outlive a
    // timeout; bound there, on its own copy.
    auto bound = std::make_shared<BoundParameters>(parameters);
    struct Executed {
        std::vector<ResultColumn> columns;
        long long changed_rows = -1;
        std::shared_ptr<Statement> statement;  // null when the result ended
        sql::detail::SharedConnectionState connection;
        std::vector<RowChunk> chunks;
    };
    Executed executed =
        bounded::run_statement_bounded<Executed>(db, [sql, bound, first_rows](sql::Database& on) {
            Executed out;
            auto statement = std::make_shared<Statement>(execute_statement(on, sql, *bound));
            statement->fetch.emplace(*statement->query);
            out.columns = describe_columns(*statement->query, statement->fetch->columns());
            if (out.columns.empty()) {
                out.changed_rows = changed_rows(*statement->query);
            } else if (!statement->read(first_rows, out.chunks)) {
                out.connection = sql::detail::QueryStatementAccess::state(*statement->query);
                out.statement = std::move(statement);
                return out;
            }
            statement->close();
            return out;
        });
    std::shared_ptr<ResultStream> stream(new ResultStream());
    stream->columns_ = std::move(executed.columns);
    stream->changed_rows_ = executed.changed_rows;
    stream->statement_ = std::move(executed.statement);
    stream->connection_ = std::move(executed.connection);
    for (RowChunk& chunk : executed.chunks) {
        stream->rows_read_ += chunk.rows;
        stream->pending_.push_back(std::move(chunk));
    }
    stream->complete_ = stream->statement_ == nullptr;
    return stream;
}

ResultStream::~ResultStream() = default;

long long ResultStream::row_count() const noexcept {
    if (columns_.empty()) {
        return changed_rows_;
    }
    return complete_ ? static_cast<long long>(rows_read_) : -1;
}

void ResultStream::take(sql::Database& db, std::size_t wanted, std::vector<RowChunk>& out) {
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    std::size_t have = 0;
    for (const RowChunk& chunk : pending_) {
        have += chunk.rows;
    }
    if (have < wanted) {
        read(db, wanted - have);
    }
    std::size_t moved = 0;
    while (!pending_.empty() && moved < wanted) {
        moved += pending_.front().rows;
        out.push_back(std::move(pending_.front()));
        pending_.pop_front();
    }
}

void ResultStream::read_rest(sql::Database& db) {
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    read(db, static_cast<std::size_t>(-1));
}

void ResultStream::read(sql::Database& db, std::size_t rows) {
    if (!statement_) {
        return;
    }
    if (sql::detail::is_inert(connection_) || !db.is_connected()) {
        fail(std::make_exception_ptr(sql::DatabaseError(
            "The connection of this result was given up or closed; the rest of its rows is "
            "gone",
            "08003", 0)));
    }
    struct Batch {
        std::vector<RowChunk> chunks;
        bool ended = false;
    };
    auto batch = std::make_shared<Batch>();
    const bounded::Attempt attempt = bounded::BoundedOperation::attempt(
        db, [statement = statement_, batch, rows](sql::Database&) {
            try {
                batch->ended = statement->read(rows, batch->chunks);
            } catch (...) {
                statement->close();
                throw;
            }
            if (batch->ended) {
                statement->close();
            }
        });
    if (attempt.outcome != bounded::AttemptOutcome::ok) {
        // After a timeout the helper may still be reading: `batch` and the
        // statement are its own now.
        fail(attempt.error);
    }
    for (RowChunk& chunk : batch->chunks) {
        rows_read_ += chunk.rows;
        pending_.push_back(std::move(chunk));
    }
    if (batch->ended) {
        statement_.reset();
        complete_ = true;
    }
}

void ResultStream::close(sql::Database& db) {
    pending_.clear();
    const std::shared_ptr<Statement> statement = std::move(statement_);
    if (!statement || sql::detail::is_inert(connection_) || !db.is_connected()) {
        return;  // nothing open, or nothing of it left to touch
    }
    bounded::finish(bounded::BoundedOperation::attempt(
        db, [statement](sql::Database&) { statement->close(); }));
}

void ResultStream::fail(std::exception_ptr error) {
    statement_.reset();
    pending_.clear();
    failure_ = error;
    std::rethrow_exception(error);
}

}  // namespace zel::python
