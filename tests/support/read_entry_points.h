#ifndef ZEL_SQL_TESTS_SUPPORT_READ_ENTRY_POINTS_H_
#define ZEL_SQL_TESTS_SUPPORT_READ_ENTRY_POINTS_H_

// Every way the library reads the rows of a Query, behind one signature, so
// that the tests of the column reader (src/odbc/column_reader.h) run one table
// of cases through each of them: the text rows of the query cache, the Python
// typed rows and NumPy columns (their parts without Python), and the chunked
// reads of Query::get_column_as_string and Query::get_column_as_binary.
//
// Compiled into the fake ODBC and the integration tests, with the internal
// readers they call; not part of zel_sql_test_support, which needs only
// public headers.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "zel/sql/Query.h"

namespace zel::sql::test {

/// One row, one value per column, as bytes; std::nullopt is NULL.
using ReadRow = std::vector<std::optional<std::string>>;

struct ReadEntryPoint {
    const char* name;
    /// Every remaining row of the executed `query`, which has no bound
    /// columns.
    std::vector<ReadRow> (*read)(Query& query);
    /// Reads through bound buffers and row arrays (the column reader), not
    /// with SQLGetData alone.
    bool binds;
    /// A NUL inside a value comes back; the chunked text read keeps each
    /// piece only up to its first NUL.
    bool keeps_nul;
};

/// The text rows, the typed rows, the NumPy columns, get_column_as_string and
/// get_column_as_binary.
const std::vector<ReadEntryPoint>& read_entry_points();

/// The entry points that go through bound buffers.
std::vector<ReadEntryPoint> binding_entry_points();

/// What the chunked text read gives of `value`: each piece of 1,023
/// characters up to its first NUL.
std::string as_chunked_text(const std::string& value);

/// What `entry` gives of the text values `rows`: the rows themselves, or,
/// for an entry point that does not keep a NUL, each value as the chunked
/// text read gives it.
std::vector<ReadRow> as_read_by(const ReadEntryPoint& entry, std::vector<ReadRow> rows);

inline std::ostream& operator<<(std::ostream& out, const ReadEntryPoint& entry) {
    return out << entry.name;
}

}  // namespace zel::sql::test

#endif  // ZEL_SQL_TESTS_SUPPORT_READ_ENTRY_POINTS_H_
