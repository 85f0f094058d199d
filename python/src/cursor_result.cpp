// zel_sql._Result and Database._execute, for zel_sql.Cursor.

#include "cursor_result.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "parameters.h"
#include "result_stream.h"
#include "text.h"
#include "typed_fetch.h"
#include "typed_rows.h"

namespace py = pybind11;

namespace zel::python {
namespace {

// Rows that execute reads with the statement: a result this short is
// complete at once, its rowcount known and its statement closed.
constexpr std::size_t first_rows = 256;

// The result of one statement of a cursor. Rows come from the stream in
// whole chunks and are turned into Python values as the fetches ask for
// them; the chunk being handed out is kept here. Used with the GIL held.
class CursorResult {
public:
    CursorResult(py::object database, std::shared_ptr<ResultStream> stream)
        : database_(std::move(database)),
          locked_(&database_.cast<LockedDatabase&>()),
          stream_(std::move(stream)),
          converter_(stream_->columns().size()) {}

    CursorResult(const CursorResult&) = delete;
    CursorResult& operator=(const CursorResult&) = delete;

    ~CursorResult() {
        // A cursor that is dropped closes its statement as close() does,
        // unless the interpreter is ending, when no other thread is left to
        // wait for it.
        if (stream_ && Py_IsInitialized() != 0 && !finalizing()) {
            try {
                close();
            } catch (...) {
                // Nobody is left to hear of it; the connection was given up.
            }
        }
    }

    py::object description() const {
        if (stream_ == nullptr || stream_->columns().empty()) {
            return py::none();
        }
        py::list columns;
        for (const ResultColumn& column : stream_->columns()) {
            py::object nullable = py::none();
            if (column.nullable != SQL_NULLABLE_UNKNOWN) {
                nullable = py::bool_(column.nullable == SQL_NULLABLE);
            }
            columns.append(py::make_tuple(to_str(column.name), column.sql_type, column.size,
                                          column.decimal_digits, nullable));
        }
        return std::move(columns);
    }

    long long rowcount() {
        if (!stream_) {
            return -1;
        }
        return locked_->use_as_it_is([this](sql::Database&) { return stream_->row_count(); });
    }

    py::list fetch(std::size_t wanted) {
        py::list rows;
        std::size_t left = wanted;
        while (left > 0 && (!chunks_.empty() || take(left))) {
            const RowChunk& front = chunks_.front();
            const std::size_t end = front.rows - offset_ > left ? offset_ + left : front.rows;
            converter_.append(front, offset_, end, rows);
            left -= end - offset_;
            offset_ = end;
            if (offset_ == front.rows) {
                chunks_.pop_front();
                offset_ = 0;
            }
        }
        return rows;
    }

    void close() {
        chunks_.clear();
        offset_ = 0;
        const std::shared_ptr<ResultStream> stream = std::move(stream_);
        if (stream) {
            locked_->use_as_it_is([&stream](sql::Database& db) { stream->close(db); });
        }
    }

private:
    static bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        return Py_IsFinalizing() != 0;
#else
        return _Py_IsFinalizing() != 0;
#endif
    }

    // Takes at least `wanted` more rows from the stream, fewer at the end;
    // false when none was left.
    bool take(std::size_t wanted) {
        if (!stream_) {
            return false;
        }
        std::vector<RowChunk> taken;
        locked_->use_as_it_is(
            [this, wanted, &taken](sql::Database& db) { stream_->take(db, wanted, taken); });
        for (RowChunk& chunk : taken) {
            chunks_.push_back(std::move(chunk));
        }
        return !taken.empty();
    }

    py::object database_;                   // keeps the Database, and its connection, alive
    LockedDatabase* locked_;                // the C++ side of database_
    std::shared_ptr<ResultStream> stream_;  // null once closed
    RowConverter converter_;
    std::deque<RowChunk> chunks_;
    std::size_t offset_ = 0;  // rows of chunks_.front() handed out
};

}  // namespace

void bind_cursor_results(py::module_& module, py::class_<LockedDatabase>& database) {
    py::class_<CursorResult> cls(
        module, "_Result",
        "For zel_sql.Cursor: the result of one statement, read from the database in steps as "
        "it is fetched, each under the wait limit on the statement's own connection.");
    cls.def_property_readonly(
        "description", &CursorResult::description,
        "None for a statement without a result set, else (name, SQL type number, size, "
        "decimal digits, nullable or None) per column.");
    cls.def_property_readonly(
        "rowcount", &CursorResult::rowcount,
        "The rows of the result once it was read to its end, -1 before; for a statement "
        "without a result set the rows changed, -1 when unknown.");
    cls.def("fetch", &CursorResult::fetch, py::arg("size"),
            "The next `size` rows; fewer only at the end of the result. Raises the error of a "
            "read that failed, then and at every later fetch: the rest of the result is gone.");
    cls.def(
        "fetch_all", [](CursorResult& self) { return self.fetch(static_cast<std::size_t>(-1)); },
        "The rows not fetched yet.");
    cls.def("close", &CursorResult::close,
            "Closes the statement under the wait limit and drops the rows not fetched. Raises "
            "OperationalError when the driver does not return in time: the connection is "
            "given up.");
    database.def(
        "_execute",
        [](const py::object& self, const Text& sql, const py::object& parameters) {
            refuse_nul(sql.bytes, "sql");
            const BoundParameters bound = BoundParameters::from_python(parameters);
            LockedDatabase& locked = self.cast<LockedDatabase&>();
            std::shared_ptr<ResultStream> stream = locked.use([&](sql::Database& db) {
                std::shared_ptr<ResultStream> made =
                    ResultStream::execute(db, sql.bytes, bound, first_rows);
                locked.hold_open_result(made);
                return made;
            });
            return std::make_unique<CursorResult>(self, std::move(stream));
        },
        py::arg("sql"), py::arg("parameters") = py::tuple(),
        "For zel_sql.Cursor: runs `sql` with `parameters` as query() does and gives its "
        "result as a zel_sql._Result, read in steps as it is fetched. Before any other "
        "statement runs on this Database, the rest of an open result is read into its "
        "memory.");
}

}  // namespace zel::python
