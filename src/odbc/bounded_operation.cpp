#include "odbc/bounded_operation.h"

#include <chrono>
#include <vector>

#include "odbc/bounded_wait.h"
#include "odbc/connection_state.h"
#include "odbc/source_registry.h"
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

std::string timeout_message(std::chrono::milliseconds limit, const std::string& where) {
    return util::cat("The database did not answer within ", limit_text(limit), " (", where, ")");
}

std::string message_of(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e.get_message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

const DatabaseError* database_error_in(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const DatabaseError& e) {
        // The exception object lives as long as `error` does.
        return &e;
    } catch (...) {
        return nullptr;
    }
}

bool is_timeout(const std::string& sqlstate) {
    return sqlstate == "HYT00" || sqlstate == "HYT01" || sqlstate == "S1T00";
}

// The SQLSTATEs of a connection that is gone or of a wait that ran out:
// another source may well answer.
bool is_outage(const std::string& sqlstate) {
    return sqlstate.compare(0, 2, "08") == 0 || is_timeout(sqlstate);
}

// Keeps nested operations of one attempt on its source.
class PinnedToSource {
public:
    explicit PinnedToSource(bool& pinned) : pinned_(pinned) { pinned_ = true; }
    ~PinnedToSource() { pinned_ = false; }
    PinnedToSource(const PinnedToSource&) = delete;
    PinnedToSource& operator=(const PinnedToSource&) = delete;

private:
    bool& pinned_;
};

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

Attempt BoundedOperation::attempt(Database& db, const std::function<void(Database&)>& work,
                                  AbandonHooks hooks) {
    const Database::Source& source = db.sources_[db.active_];
    if (db.wait_limit_.count() == 0) {
        return run_here(db, source.data_source, work);
    }
    // The helper works on a Database of its own, for this source alone, that
    // has taken over the handles, so that after a timeout nothing it touches
    // belongs to the caller. It runs with no limit of its own.
    auto helper_db = std::make_shared<Database>(source.data_source, source.user, source.password);
    helper_db->wait_limit_ = std::chrono::milliseconds(0);
    helper_db->hold_back_ = db.hold_back_;
    helper_db->pinned_ = true;
    // The statements that the caller made on this connection, if it is given up.
    const SharedConnectionState handed_over = state_of(db.conn_handle_);
    helper_db->env_handle_ = std::move(db.env_handle_);
    helper_db->conn_handle_ = std::move(db.conn_handle_);
    helper_db->connected_ = db.connected_;
    helper_db->last_connect_error_ = db.last_connect_error_;
    helper_db->last_connect_sqlstate_ = db.last_connect_sqlstate_;
    helper_db->last_connect_native_ = db.last_connect_native_;
    helper_db->autocommit_ = db.autocommit_;
    helper_db->transaction_open_ = db.transaction_open_;
    helper_db->transaction_lost_ = db.transaction_lost_;
    db.connected_ = false;

    const auto take_back = [&db, &helper_db] {
        db.env_handle_ = std::move(helper_db->env_handle_);
        db.conn_handle_ = std::move(helper_db->conn_handle_);
        db.connected_ = helper_db->connected_;
        db.last_connect_error_ = std::move(helper_db->last_connect_error_);
        db.last_connect_sqlstate_ = std::move(helper_db->last_connect_sqlstate_);
        db.last_connect_native_ = helper_db->last_connect_native_;
        db.login_failed_ = helper_db->login_failed_;
        db.autocommit_ = helper_db->autocommit_;
        db.transaction_open_ = helper_db->transaction_open_;
        db.transaction_lost_ = helper_db->transaction_lost_;
        helper_db->connected_ = false;
    };
    BoundedOutcome outcome;
    try {
        outcome = run_with_wait_limit([helper_db, work] { work(*helper_db); }, db.wait_limit_,
                                      std::move(hooks));
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
            source.data_source, AttemptOutcome::timed_out,
            std::make_exception_ptr(DatabaseError(
                timeout_message(db.wait_limit_, step_text(outcome.overdue, source.data_source)),
                "HYT00", 0))};
    }
    take_back();
    return Attempt{source.data_source, outcome.error ? AttemptOutcome::failed : AttemptOutcome::ok,
                   outcome.error};
}

bool BoundedOperation::runs_bounded(const Database& db) noexcept {
    return !db.pinned_ && (db.wait_limit_.count() > 0 || db.sources_.size() > 1);
}

Attempt BoundedOperation::attempt_source(Database& db, std::size_t index,
                                         const WorkMaker& make_work) {
    const std::string name = db.sources_[index].data_source;
    SourceRegistry& registry = SourceRegistry::instance();
    const bool on_helper = db.wait_limit_.count() > 0;
    if (auto refusal = registry.refusal(name, db.hold_back_.count() > 0, on_helper,
                                        SourceRegistry::Clock::now())) {
        Attempt skipped{name, AttemptOutcome::failed,
                        std::make_exception_ptr(DatabaseError(refusal->message, "HYT00", 0))};
        skipped.skipped = true;
        return skipped;
    }
    if (db.connected_ && db.active_ != index) {
        db.disconnect();
    }
    db.active_ = index;
    db.login_failed_ = false;

    AbandonHooks hooks;
    if (on_helper) {
        // Both run under the bounded call's own lock, so the return of a
        // given-up call is never counted before the call itself.
        hooks.given_up = [name, base = db.hold_back_, limit = db.wait_limit_](WaitStep step) {
            SourceRegistry& shared = SourceRegistry::instance();
            const std::string where = step_text(step, name);
            shared.note_abandoned(name);
            shared.note_miss(name, base, timeout_message(limit, where),
                             util::cat("it did not answer within ", limit_text(limit), " at ",
                                       clock_text(std::chrono::system_clock::now()), ": ", where),
                             SourceRegistry::Clock::now());
        };
        hooks.returned = [name] { SourceRegistry::instance().note_abandoned_returned(name); };
    }
    Attempt attempt;
    {
        const PinnedToSource pinned(db.pinned_);
        attempt = BoundedOperation::attempt(db, make_work(), std::move(hooks));
    }
    if (attempt.outcome == AttemptOutcome::timed_out) {
        return attempt;  // noted by the hook
    }
    if (db.login_failed_) {
        if (is_timeout(db.last_connect_sqlstate_)) {
            // The login timed out: as good as no answer.
            registry.note_miss(
                name, db.hold_back_, db.last_connect_error_,
                util::cat("its login timed out at ", clock_text(std::chrono::system_clock::now()),
                          ": ", db.last_connect_error_),
                SourceRegistry::Clock::now());
        } else {
            registry.note_failure(name, db.last_connect_error_);
        }
        return attempt;
    }
    const DatabaseError* driver_error = attempt.error ? database_error_in(attempt.error) : nullptr;
    if (driver_error != nullptr && is_outage(driver_error->get_sqlstate())) {
        registry.note_failure(name, driver_error->get_message());
    } else {
        registry.note_answer(name);
    }
    return attempt;
}

Attempt BoundedOperation::attempt_on_sources(Database& db, const WorkMaker& make_work) {
    if (db.pinned_) {
        return attempt(db, make_work());
    }
    const std::vector<std::size_t> order = db.trying_order();
    std::vector<Attempt> failures;
    bool last_run_timed_out = false;
    for (const std::size_t index : order) {
        Attempt attempt = attempt_source(db, index, make_work);
        const bool refused_login = !db.connected_ && db.login_failed_;
        bool goes_on = false;
        if (attempt.outcome == AttemptOutcome::ok) {
            // With one source a refused login is reported as it always was:
            // by the statement allocation that follows.
            goes_on = refused_login && order.size() > 1;
        } else {
            const DatabaseError* driver_error = database_error_in(attempt.error);
            goes_on = attempt.outcome == AttemptOutcome::timed_out || attempt.skipped ||
                      refused_login ||
                      (driver_error != nullptr && is_outage(driver_error->get_sqlstate()));
        }
        if (goes_on && refused_login && order.size() > 1) {
            // Among several sources the login's own words say more than the
            // statement allocation that failed after it.
            std::string message = "Unable to connect";
            if (!db.last_connect_error_.empty()) {
                message += util::cat(": ", db.last_connect_error_);
            }
            attempt.outcome = AttemptOutcome::failed;
            attempt.error = std::make_exception_ptr(
                DatabaseError(message, db.last_connect_sqlstate_, db.last_connect_native_));
        }
        if (!goes_on) {
            if (attempt.outcome == AttemptOutcome::ok) {
                db.settle_on(index);
            }
            return attempt;
        }
        if (!attempt.skipped) {
            last_run_timed_out = attempt.outcome == AttemptOutcome::timed_out;
        }
        failures.push_back(std::move(attempt));
    }
    if (failures.size() == 1) {
        return failures.front();
    }
    std::string message;
    std::string sqlstate;
    std::int32_t native_error = 0;
    for (const Attempt& failure : failures) {
        const std::string text = message_of(failure.error);
        if (!message.empty()) {
            message += "; ";
        }
        // "miran_prod is held back ..." names its source already.
        if (text.compare(0, failure.data_source.size() + 1, failure.data_source + " ") != 0) {
            message += util::cat(failure.data_source, ": ");
        }
        message += text;
        const DatabaseError* driver_error = database_error_in(failure.error);
        if (sqlstate.empty() && driver_error != nullptr) {
            sqlstate = driver_error->get_sqlstate();
            native_error = driver_error->get_native_error();
        }
    }
    return Attempt{db.data_source_,
                   last_run_timed_out ? AttemptOutcome::timed_out : AttemptOutcome::failed,
                   std::make_exception_ptr(DatabaseError(message, sqlstate, native_error))};
}

void finish(const Attempt& attempt) {
    if (attempt.error) {
        std::rethrow_exception(attempt.error);
    }
}

}  // namespace zel::sql::detail
