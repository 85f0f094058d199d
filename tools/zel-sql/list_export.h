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

// The shortest text that reads back to the same double (std::to_chars): 1251.4
// stays "1251.4", where 17 significant digits would print 1251.4000000000001.
// "nan", "inf" and "-inf" for the values that are not finite.
std::string shortest_number(double value);

// Whether a text cell of a CSV export is written so that a spreadsheet cannot
// take it for a formula.
enum class CsvTexts {
    // A text that begins with =, +, -, @, a tab or a carriage return gets a
    // leading ' (the OWASP advice against CSV injection): names come from a
    // database or a file that someone else may write.
    guarded,
    // Every text as it is, for programs that read the file as data.
    raw,
};

// Whether `name` is a plain identifier (letters, digits, _, $, #), the only
// flag names that a TFS header can carry as column names.
bool is_plain_identifier(const std::string& name);

struct ExportHeader {
    std::string facility;  // may be empty (a backup file of another name)
    std::string source;    // the SOURCE as given
    std::time_t written_at = 0;
};

// RFC 4180: one header line of column names (NAME, the texts, S, X, Y, Z, one
// FLAG_<name> per flag), one line per component, lines ended by CRLF, a field
// quoted when it holds a comma, a quote, CR or LF. Coordinates as their
// shortest_number, flags 1 or 0; numbers are never guarded.
void write_csv(std::ostream& out, const zel::sql::ComponentList& list,
               CsvTexts texts = CsvTexts::guarded);

// {"facility", "source", "flag_names": [...], "components": [{"NAME": ...,
//  "S": ..., "flags": {"<name>": true}}]}. A NaN or infinite coordinate is
// null.
void write_json(std::ostream& out, const zel::sql::ComponentList& list, const ExportHeader& header);

// A TFS table as MAD-X writes one: "@" lines (NAME, TYPE, FACILITY, SOURCE,
// ORIGIN, DATE, TIME), a "*" line of column names, a "$" line of their types
// (%s, %le, %d), one line per component. Strings are double-quoted,
// coordinates written as their shortest_number.
// @throws zel::Error when a flag name is not a plain identifier (a space or a
// quote would split or break the column line), or when a text holds a double
// quote or a line break, which TFS cannot carry. Nothing is written then.
void write_tfs(std::ostream& out, const zel::sql::ComponentList& list, const ExportHeader& header);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_LIST_EXPORT_H_
