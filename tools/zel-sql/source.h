// A SOURCE of a component list on the command line: a backup file, or
// DSN:FACILITY for the facility's view in a data source.

#ifndef ZEL_SQL_TOOL_SOURCE_H_
#define ZEL_SQL_TOOL_SOURCE_H_

#include <cstdint>
#include <optional>
#include <string>

#include <zel/sql.h>

#include "connection.h"

namespace zel_sql_tool {

struct SourceName {
    bool is_file = true;
    std::string file;         // the backup file, when is_file
    std::string data_source;  // otherwise the DSN ...
    std::string facility;     // ... and the facility as given
};

// An existing file is a file, whatever its name; otherwise DSN:FACILITY when
// there is a colon with text on both sides; otherwise a file (that the read
// then reports missing).
SourceName parse_source(const std::string& source);

struct LoadedList {
    zel::sql::ComponentList list;
    std::string label;     // the SOURCE as given
    std::string facility;  // canonical; for a file, taken from a db_component_list_<F>.txt name
    std::optional<std::int64_t> file_modified;  // Unix seconds, for a file
    // For a file: why the library would not fall back on it as a backup
    // (zel::sql::why_untrusted), empty when it would.
    std::optional<std::string> untrusted_reason;
    double read_seconds = 0.0;
};

// Reads the list: read_from_file, or read_from_db through a Database made
// with `login` (no backup file is written).
// @throws zel::Error as the library's readers do; CommandFailure (exit_usage)
// with the login's SQLSTATE and reason when the data source fails.
LoadedList load_source(const std::string& source, const ConnectionOptions& login);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_SOURCE_H_
