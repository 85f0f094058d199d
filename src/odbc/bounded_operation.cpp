#include "odbc/bounded_operation.h"

#include <chrono>

#include "odbc/bounded_wait.h"
#include "odbc/connection_state.h"
#include "util/string.h"
#include "zel/Error.h"
#include "zel/sql/DatabaseError.h"

namespace zel::sql::detail {
namespace {

// "15 s" for whole seconds, "1500 ms" otherwise.
std::string limit_text(std::chrono::milliseconds limit) {
    return limit.count() % 1000 == 0 ? util::cat(limit.count() / 1000, " s")
                                     : util::cat(limit.count(), " ms");
}

std::string step_text(WaitStep step, const std::string& data_source) {
    switch (step) {
        case WaitStep::connect:
            return util::cat("connect to ", data_source);
        case WaitStep::execute:
            return util::cat("statement on ", data_source);
        case WaitStep::fetch:
            break;
    }
    return util::cat("fetch from ", data_source);
}

Attempt run_here(Database& db, const std::string& data_source,
                 const std::function<void(Database&)>& work) {
    Attempt attempt{data_source, AttemptOutcome::ok, nullptr};
    try {
        work(db);
    } catch (...) {
        attempt.outcome = AttemptOutcome::failed;
        attempt.error = std::current_exception();
    }
    return attempt;
}

}  // namespace

Attempt BoundedOperation::attempt(Database& db, const std::function<void(Database&)>& work) {
    if (db.wait_limit_.count() == 0) {
        return run_here(db, db.data_source_, work);
    }
    // The helper works on a Database of its own that has taken over the
    // handles, so that after a timeout nothing it touches belongs to the
    // caller. It runs with no limit of its own.
    auto helper_db = std::make_shared<Database>(db.data_source_, db.user_, db.password_);
    helper_db->wait_limit_ = std::chrono::milliseconds(0);
    // The statements that the caller made on this connection, if it is given up.
    const SharedConnectionState handed_over = state_of(db.conn_handle_);
    helper_db->env_handle_ = std::move(db.env_handle_);
    helper_db->conn_handle_ = std::move(db.conn_handle_);
    helper_db->connected_ = db.connected_;
    helper_db->last_connect_error_ = db.last_connect_error_;
    helper_db->autocommit_ = db.autocommit_;
    helper_db->transaction_open_ = db.transaction_open_;
    helper_db->transaction_lost_ = db.transaction_lost_;
    db.connected_ = false;

    const auto take_back = [&db, &helper_db] {
        db.env_handle_ = std::move(helper_db->env_handle_);
        db.conn_handle_ = std::move(helper_db->conn_handle_);
        db.connected_ = helper_db->connected_;
        db.last_connect_error_ = std::move(helper_db->last_connect_error_);
        db.autocommit_ = helper_db->autocommit_;
        db.transaction_open_ = helper_db->transaction_open_;
        db.transaction_lost_ = helper_db->transaction_lost_;
        helper_db->connected_ = false;
    };
    BoundedOutcome outcome;
    try {
        outcome = run_with_wait_limit([helper_db, work] { work(*helper_db); }, db.wait_limit_);
    } catch (const Error&) {
        take_back();  // no helper started: the handles never left this thread
        throw;
    }
    if (!outcome.finished) {
        // The helper keeps the hung connection's handles and frees them once,
        // when it ends; this Database connects anew next time.
        if (handed_over) {
            handed_over->given_up.store(true, std::memory_order_release);
        }
        db.note_connection_lost();
        return Attempt{
            db.data_source_, AttemptOutcome::timed_out,
            std::make_exception_ptr(DatabaseError(
                util::cat("The database did not answer within ", limit_text(db.wait_limit_), " (",
                          step_text(outcome.overdue, db.data_source_), ")"),
                "HYT00", 0))};
    }
    take_back();
    return Attempt{db.data_source_, outcome.error ? AttemptOutcome::failed : AttemptOutcome::ok,
                   outcome.error};
}

void finish(const Attempt& attempt) {
    if (attempt.error) {
        std::rethrow_exception(attempt.error);
    }
}

}  // namespace zel::sql::detail
