#ifndef ZEL_SQL_ODBC_BOUNDED_WAIT_H_
#define ZEL_SQL_ODBC_BOUNDED_WAIT_H_

// Waiting for the database with a limit. Drivers block the calling thread
// until the server answers, and a server that stops answering (paused, its
// session silently dropped) blocks it forever: neither SQLCancel nor the
// driver's own time-outs help there. So a bounded operation runs on a helper
// thread while the caller waits, and the caller gives up once one answer is
// overdue. Internal: not installed.
//
// The helper marks the start of every call that waits for the database with
// note_wait(). The caller's limit runs from the latest mark: a long read whose
// answers keep coming is never cut off. The caller notices a mark within a
// tenth of the limit (at most 100 ms), so a call is given up no sooner than
// the limit after it began and no later than that notice after.

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>

#include "util/internal_api.h"

namespace zel::sql::detail {

/// What the database was asked when it stopped answering.
enum class WaitStep { connect, execute, fetch };

/// Marks, on a helper thread of a bounded operation, the start of a call that
/// waits for the database. On any other thread it does nothing but a
/// thread-local read.
/// @throws zel::Error on a helper whose operation was given up, so that the
/// helper stops at its next call instead of using a connection nobody wants.
void note_wait(WaitStep step);

/// True on the helper thread of a bounded operation while it runs.
bool is_bounded_helper() noexcept;

/// How a bounded operation ended.
struct BoundedOutcome {
    /// false: `limit` passed without an answer; the helper runs on detached.
    bool finished = false;
    /// What `work` threw, when it finished by throwing.
    std::exception_ptr error;
    /// The step that was overdue, when not finished.
    WaitStep overdue = WaitStep::connect;
};

/// What the owner of a bounded call learns about a helper that it gave up.
/// Both run while the call's own lock is held, so `given_up` always comes
/// before `returned`; they must not block, and what they throw is dropped.
struct AbandonHooks {
    /// On the caller's thread, when it stops waiting at `overdue`.
    std::function<void(WaitStep overdue)> given_up;
    /// On the helper, when the given-up work returns.
    std::function<void()> returned;
};

/// Runs `work` on a helper thread and waits until it returns, or until
/// `limit` has passed since its latest note_wait() (or its start) with no new
/// one. `limit` is at most 24 h (longer ones are cut to it). The helper is an
/// idle one of an earlier call, or a new thread; after its call it waits a
/// few seconds for the next one before it ends. After a timeout the helper is
/// left to finish by itself: `work` must own everything it touches, and must
/// not touch the caller's objects. When `work` returns in time, what it holds
/// is released on the helper before this returns.
/// @throws zel::Error when no thread can be started; `work` has not run.
BoundedOutcome run_with_wait_limit(std::function<void()> work, std::chrono::milliseconds limit,
                                   AbandonHooks hooks = {});

/// The helper threads that wait for a call now, for tests that count the
/// threads of the process.
ZEL_SQL_INTERNAL_API std::size_t idle_bounded_helpers();

}  // namespace zel::sql::detail

#endif  // ZEL_SQL_ODBC_BOUNDED_WAIT_H_
