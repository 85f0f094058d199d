#include "odbc/connection_state.h"

#include "odbc/bounded_wait.h"
#include "zel/Error.h"

namespace zel::sql::detail {

// Handles name this struct their friend: it reads a connection's state and
// lets a statement forget its handle.
struct HandleAccess {
    static SharedConnectionState state(const ConnectionHandle& handle) { return handle.state_; }
    static void forget(StatementHandle& statement) noexcept {
        statement.handle_ = SQL_NULL_HSTMT;
        statement.is_allocated_ = false;
    }
};

SharedConnectionState state_of(const ConnectionHandle& handle) {
    return HandleAccess::state(handle);
}

bool is_inert(const SharedConnectionState& state) noexcept {
    // The helper that owns a given-up connection still finishes and frees the
    // statements of its own operation.
    return state != nullptr && state->given_up.load(std::memory_order_acquire) &&
           !is_bounded_helper();
}

void check_usable(const SharedConnectionState& state) {
    if (is_inert(state)) {
        throw Error(
            "The connection of this statement was given up after the database did not answer; "
            "make a new one");
    }
}

void forget(StatementHandle& statement) noexcept {
    HandleAccess::forget(statement);
}

}  // namespace zel::sql::detail
