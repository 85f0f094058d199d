// A component list written as CSV, JSON or TFS, for spreadsheets, scripts
// and accelerator codes (MAD-X, xtrack, tfs-pandas read TFS tables).

#ifndef ZEL_SQL_TOOL_LIST_EXPORT_H_
#define ZEL_SQL_TOOL_LIST_EXPORT_H_

#include <ctime>
#include <ostream>
#include <string>

#include <zel/sql.h>

namespace zel_sql_tool {

// `text` as one CSV field (RFC 4180): as it is, or in double quotes with each
// quote doubled when it holds a comma, a quote, CR or LF.
std::string csv_field(const std::string& text);

struct ExportHeader {
    std::string facility;  // may be empty (a backup file of another name)
    std::string source;    // the SOURCE as given
    std::time_t written_at = 0;
};

// RFC 4180: one header line of column names (NAME, the texts, S, X, Y, Z, one
// FLAG_<name> per flag), one line per component, lines ended by CRLF, a field
// quoted when it holds a comma, a quote, CR or LF. Coordinates in 17
// significant digits; flags 1 or 0.
void write_csv(std::ostream& out, const zel::sql::ComponentList& list);

// {"facility", "source", "flag_names": [...], "components": [{"NAME": ...,
//  "S": ..., "flags": {"<name>": true}}]}. A NaN or infinite coordinate is
// null.
void write_json(std::ostream& out, const zel::sql::ComponentList& list, const ExportHeader& header);

// A TFS table as MAD-X writes one: "@" lines (NAME, TYPE, FACILITY, SOURCE,
// ORIGIN, DATE, TIME), a "*" line of column names, a "$" line of their types
// (%s, %le, %d), one line per component. Strings are double-quoted.
// @throws zel::Error when a text holds a double quote or a line feed, which
// TFS cannot carry.
void write_tfs(std::ostream& out, const zel::sql::ComponentList& list, const ExportHeader& header);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_LIST_EXPORT_H_
