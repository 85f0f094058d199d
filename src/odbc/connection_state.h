// What the statements made on one connection share with it: whether the
// connection was given up after the database did not answer. Internal: not
// installed.
//
// A bounded operation runs on a helper thread that has taken over the
// connection. When an answer is overdue the caller stops waiting and leaves
// the connection to the helper, which frees it, and with it every statement
// on it, once the hung call returns. A Query or Procedure that the caller
// still holds must then neither use its statement nor free it: the helper
// may be using the connection right now, or may already have freed it. So
// every statement keeps the state of its connection and asks it first.
#pragma once

#include <sql.h>

#include <atomic>
#include <memory>

#include "util/internal_api.h"
#include "zel/sql/handles.h"

namespace zel::sql::detail {

struct ConnectionState {
    // Set once, by the thread that gave the connection up; read by the
    // threads that hold statements on it.
    std::atomic<bool> given_up{false};
};

using SharedConnectionState = std::shared_ptr<ConnectionState>;

/// The state of the connection `handle` holds; null when none is allocated.
SharedConnectionState state_of(const ConnectionHandle& handle);

/// True when the connection was given up and this thread is not the helper
/// that now owns it: a statement on it must not touch its handle.
ZEL_SQL_INTERNAL_API bool is_inert(const SharedConnectionState& state) noexcept;

/// @throws zel::Error "The connection of this statement was given up after
/// the database did not answer; make a new one" when is_inert(state).
ZEL_SQL_INTERNAL_API void check_usable(const SharedConnectionState& state);

/// Lets `statement` forget its handle without freeing it: the helper that
/// owns the given-up connection frees it with the connection.
void forget(StatementHandle& statement) noexcept;

}  // namespace zel::sql::detail
