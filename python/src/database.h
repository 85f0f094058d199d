#ifndef ZEL_SQL_PYTHON_DATABASE_H_
#define ZEL_SQL_PYTHON_DATABASE_H_

#include <pybind11/pybind11.h>

#include <mutex>
#include <string>
#include <utility>

#include "zel/sql/Database.h"

namespace zel::python {

/// The Database behind a Python zel_sql.Database. A Database serves one
/// thread at a time, while a script may share it between threads: every use
/// holds its mutex. The GIL is let go before the mutex is taken, so that a
/// thread waiting for the database never stops the other Python threads.
class LockedDatabase {
public:
    LockedDatabase(std::string data_source, const std::string& user, const std::string& password)
        : data_source_(std::move(data_source)), database_(data_source_, user, password) {}

    /// Runs `action(database)` without the GIL, holding the mutex. `action`
    /// must not touch a Python object.
    template <typename Action>
    auto use(Action&& action) {
        pybind11::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> lock(mutex_);
        return std::forward<Action>(action)(database_);
    }

    const std::string& data_source() const noexcept { return data_source_; }

private:
    const std::string data_source_;
    std::mutex mutex_;
    sql::Database database_;
};

/// Adds zel_sql.Database to `module`.
void bind_database(pybind11::module_& module);

}  // namespace zel::python

#endif  // ZEL_SQL_PYTHON_DATABASE_H_
