// Running database work under a Database's wait limit: the one way the
// library starts a bounded operation (the connect of send_query() and
// get_procedure(), read_column_names(), the component list load and the
// cached read). Internal: not installed.
//
// With a limit above 0 the work runs on a helper thread, on a Database of its
// own that has taken over the caller's handles, while the caller waits (see
// bounded_wait.h for the waiting). When the work ends in time the handles go
// back to the caller together with what the work built. When an answer is
// overdue the connection is given up: the helper keeps the handles and frees
// them once its hung call returns, the caller's statements on that connection
// turn inert (connection_state.h), and the caller gets a DatabaseError with
// SQLSTATE "HYT00". With the limit 0 the work runs on the caller's Database,
// on the caller's thread.
//
// A Database with standbys runs the work on each source in turn until one
// serves it (attempt_on_sources): a source that is held back or whose cap of
// given-up calls is reached is skipped without a thread (source_registry.h);
// a timeout, a refused login or a lost connection goes on to the next source;
// any other failure is the source's answer and ends the operation. Nested
// operations (the work calling send_query(), say) stay on the source of the
// attempt.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "odbc/bounded_wait.h"
#include "util/internal_api.h"
#include "zel/sql/Database.h"

namespace zel::sql::detail {

/// How one attempt of a bounded operation ended.
enum class AttemptOutcome {
    ok,         ///< the work returned
    failed,     ///< the work threw `error`
    timed_out,  ///< an answer was overdue; `error` is the "HYT00" DatabaseError
};

/// One attempt of a bounded operation on one data source.
struct Attempt {
    std::string data_source;
    AttemptOutcome outcome = AttemptOutcome::ok;
    std::exception_ptr error;
    /// True when the source was not tried at all (held back, or a cap reached).
    bool skipped = false;
};

/// Database names this class its friend: it hands the connection over to a
/// helper and takes it back.
class ZEL_SQL_INTERNAL_API BoundedOperation {
public:
    /// Runs `work` once on `db`'s data source under `db`'s wait limit. After
    /// a timeout `work` may still be running: it must own, or share, all it
    /// touches besides the Database it is given.
    /// @throws zel::Error when no helper thread can be started; `work` has
    /// not run.
    static Attempt attempt(Database& db, const std::function<void(Database&)>& work,
                           AbandonHooks hooks = {});

    /// The work of one attempt, made on the caller's thread just before it.
    using WorkMaker = std::function<std::function<void(Database&)>()>;

    /// Runs the work that `make_work` makes, once per source tried, on `db`'s
    /// sources in turn, as the file comment says, and returns the attempt that
    /// served it, or the one failure: with one source its own, with several a
    /// DatabaseError naming each source with its failure, in the order tried,
    /// joined with "; " (SQLSTATE of the first that had one), whose outcome is
    /// timed_out when the last work made is still running.
    /// @throws zel::Error when no helper thread can be started.
    static Attempt attempt_on_sources(Database& db, const WorkMaker& make_work);

    /// True when an operation on `db` must go through attempt_on_sources():
    /// a wait limit or standbys, and not already inside an attempt.
    static bool runs_bounded(const Database& db) noexcept;

private:
    static Attempt attempt_source(Database& db, std::size_t index, const WorkMaker& make_work);
};

/// See BoundedOperation::runs_bounded().
inline bool runs_bounded(const Database& db) noexcept {
    return BoundedOperation::runs_bounded(db);
}

/// Returns when `attempt` is ok; otherwise throws its error.
ZEL_SQL_INTERNAL_API void finish(const Attempt& attempt);

/// Runs `operation(Database&, Result&)` under `db`'s wait limit on a result
/// of its own, which becomes `target` when the operation returns or throws,
/// so that a failure leaves `target` as the operation left it, just as when
/// it runs on `target` itself. The operation starts from `target`'s contents,
/// moved, so that a reload reuses the memory of the last load (a cleared
/// vector keeps its capacity) rather than growing a new one on the helper.
/// After a timeout `target` is a new, empty Result.
/// `operation` is copied: it must not refer to the caller's objects.
/// @throws what the operation threw, the timeout, or zel::Error when no
/// helper thread can be started.
template <typename Result, typename Operation>
void run_bounded_into(Database& db, Result& target, Operation operation) {
    // A helper may outlive this call, so what it builds is shared with it;
    // each source tried builds anew, since a helper given up may still write.
    std::shared_ptr<Result> result;
    const Attempt attempt = BoundedOperation::attempt_on_sources(db, [&] {
        result = result ? std::make_shared<Result>() : std::make_shared<Result>(std::move(target));
        return std::function<void(Database&)>(
            [result, operation](Database& on) { operation(on, *result); });
    });
    if (result) {  // else no source was tried and `target` is untouched
        target = attempt.outcome == AttemptOutcome::timed_out ? Result{} : std::move(*result);
    }
    finish(attempt);
}

/// The result of `operation(Database&)` run under `db`'s wait limit.
template <typename Result, typename Operation>
Result run_bounded(Database& db, Operation operation) {
    Result result{};
    run_bounded_into(db, result, [operation](Database& on, Result& out) { out = operation(on); });
    return result;
}

/// Runs `operation(Database&)`, which returns nothing, under `db`'s wait limit.
template <typename Operation>
void run_bounded_void(Database& db, Operation operation) {
    finish(BoundedOperation::attempt_on_sources(
        db, [&operation] { return std::function<void(Database&)>(operation); }));
}

}  // namespace zel::sql::detail
