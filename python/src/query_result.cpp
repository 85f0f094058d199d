// zel_sql.QueryResult: the rows of Database.read_with_cache.

#include "query_result.h"

#include <cstddef>

#include "text.h"

namespace py = pybind11;

namespace zel::python {

py::list rows_to_python(const std::vector<std::vector<std::optional<std::string>>>& rows) {
    py::list result(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const auto& row = rows[r];
        py::tuple values(row.size());
        for (std::size_t c = 0; c < row.size(); ++c) {
            values[c] = row[c] ? py::object(to_str(*row[c])) : py::object(py::none());
        }
        result[r] = std::move(values);
    }
    return result;
}

PythonQueryResult to_python(const sql::QueryResult& result) {
    PythonQueryResult converted;
    for (const std::string& name : result.column_names) {
        converted.columns.append(to_str(name));
    }
    converted.rows = rows_to_python(result.rows);
    converted.from_cache = result.from_cache;
    converted.message = to_str(result.message);
    converted.served_by = to_str(result.served_by);
    const py::module_ datetime = py::module_::import("datetime");
    converted.stored_at =
        datetime.attr("datetime")
            .attr("fromtimestamp")(result.stored_at, datetime.attr("timezone").attr("utc"));
    return converted;
}

void bind_query_result(py::module_& module) {
    py::class_<PythonQueryResult> cls(
        module, "QueryResult",
        "Every row of one query read through Database.read_with_cache, each value as text. "
        "len() is the number of rows; pandas.DataFrame(result.rows, columns=result.columns) "
        "makes a data frame of it.");
    cls.def_readonly("columns", &PythonQueryResult::columns,
                     "The column names as the driver gives them (list of str).");
    cls.def_readonly("rows", &PythonQueryResult::rows,
                     "The rows: a list of tuples of str, None for NULL.");
    cls.def_readonly("from_cache", &PythonQueryResult::from_cache,
                     "True when the rows come from the cache file, not from the database.");
    cls.def_readonly("message", &PythonQueryResult::message,
                     "Why the database was not used or the rows were not stored; \"\" on full "
                     "success.");
    cls.def_readonly("served_by", &PythonQueryResult::served_by,
                     "The data source that answered: the primary or a standby; \"\" when the "
                     "rows come from the cache file.");
    cls.def_readonly("stored_at", &PythonQueryResult::stored_at,
                     "When these rows were read from the database (a datetime in UTC).");
    cls.def(
        "to_dicts",
        [](const PythonQueryResult& self) {
            py::list dicts;
            for (const py::handle row : self.rows) {
                py::dict values;
                for (std::size_t c = 0; c < self.columns.size(); ++c) {
                    values[self.columns[c]] = row[py::int_(c)];
                }
                dicts.append(std::move(values));
            }
            return dicts;
        },
        "The rows as a list of dicts, column name -> value.");
    cls.def(
        "__len__", [](const PythonQueryResult& self) { return self.rows.size(); },
        "The number of rows.");
    cls.def(
        "__repr__",
        [](const PythonQueryResult& self) {
            return py::str("<zel_sql.QueryResult: {} rows, {} columns{}>")
                .format(self.rows.size(), self.columns.size(),
                        self.from_cache ? ", from the cache" : "");
        },
        "The numbers of rows and columns, and whether they come from the cache.");
}

}  // namespace zel::python
