// The differences between two component lists, as an operator needs them to
// see how far a backup file is behind the database: components added and
// removed, and each changed field with both values.

#ifndef ZEL_SQL_TOOL_LIST_DIFF_H_
#define ZEL_SQL_TOOL_LIST_DIFF_H_

#include <string>
#include <vector>

#include <zel/sql.h>

namespace zel_sql_tool {

struct FieldChange {
    std::string component;  // its key (see diff_lists)
    std::string field;      // a column name: NAME2, S, FLAG_BPM, ...
    std::string first;
    std::string second;
};

struct ListDiff {
    std::vector<std::string> flags_added;    // flag names only in the second list
    std::vector<std::string> flags_removed;  // flag names only in the first list
    std::vector<std::string> added;          // components only in the second list
    std::vector<std::string> removed;        // components only in the first list
    std::vector<FieldChange> changed;        // in list order of the first list

    bool empty() const {
        return flags_added.empty() && flags_removed.empty() && added.empty() && removed.empty() &&
               changed.empty();
    }
};

// Components are matched by name; a name that occurs more than once is
// matched by occurrence, its later occurrences keyed "<name>#2", "#3", ...
// Texts are compared byte for byte, coordinates at the 16 significant digits
// of the backup file, flags by flag name (a flag in one list only is a change
// of the flag set, not of each component).
ListDiff diff_lists(const zel::sql::ComponentList& first, const zel::sql::ComponentList& second);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_LIST_DIFF_H_
