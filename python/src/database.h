#ifndef ZEL_SQL_PYTHON_DATABASE_H_
#define ZEL_SQL_PYTHON_DATABASE_H_

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "zel/sql/Database.h"

namespace zel::python {

class ResultStream;

/// The Database behind a Python zel_sql.Database. A Database serves one
/// thread at a time, while a script may share it between threads: every use
/// holds its mutex. The GIL is let go before the mutex is taken, so that a
/// thread waiting for the database never stops the other Python threads.
///
/// A DB API cursor may leave its result open on the connection between its
/// fetches (result_stream.h). Before anything else runs on the connection,
/// use() reads the rest of that result into the cursor's memory and closes
/// its statement: some drivers take one statement at a time, a commit may
/// close a driver's cursors, and what the cursor fetches later must still be
/// what its statement gave.
class LockedDatabase {
public:
    LockedDatabase(std::string data_source, const std::string& user, const std::string& password)
        : data_source_(std::move(data_source)), database_(data_source_, user, password) {}

    /// Runs `action(database)` without the GIL, holding the mutex, once an
    /// open result is read to its end. `action` must not touch a Python
    /// object. @throws what reading that result threw (then `action` has not
    /// run); the cursor meets the same error at its next fetch.
    template <typename Action>
    auto use(Action&& action) {
        return locked(Settle::reporting, std::forward<Action>(action));
    }

    /// As use(), but a failure to read the rest of an open result is left to
    /// its cursor alone: for rollback and disconnect, which must work after
    /// any failure.
    template <typename Action>
    auto use_after_any_failure(Action&& action) {
        return locked(Settle::quietly, std::forward<Action>(action));
    }

    /// As use(), leaving an open result open: for that result's own reads,
    /// and for settings that send nothing to the database.
    template <typename Action>
    auto use_as_it_is(Action&& action) {
        return locked(Settle::not_at_all, std::forward<Action>(action));
    }

    /// Notes `result` as the result open on the connection, when it is. Call
    /// only inside use(), from the action that executed it.
    void hold_open_result(const std::shared_ptr<ResultStream>& result);

    const std::string& data_source() const noexcept { return data_source_; }

private:
    enum class Settle { reporting, quietly, not_at_all };

    template <typename Action>
    auto locked(Settle settle, Action&& action) {
        pybind11::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        if (settle != Settle::not_at_all) {
            settle_open_result(settle == Settle::reporting);
        }
        return std::forward<Action>(action)(database_);
    }

    // Reads the rest of the open result, if any, and forgets it.
    void settle_open_result(bool report);

    const std::string data_source_;
    std::mutex mutex_;
    sql::Database database_;
    std::weak_ptr<ResultStream> open_result_;
};

/// Adds zel_sql.Database to `module`.
void bind_database(pybind11::module_& module);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_DATABASE_H_
