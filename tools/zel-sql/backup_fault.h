// Where a backup file that the library refused goes wrong. The library's
// messages name the fault ("Flag format error") but not its line; this scan
// walks the documented layout (docs/backup_file_format.md) in the reader's
// order and gives the first line that breaks it, so that an operator can
// open the file there.

#ifndef ZEL_SQL_TOOL_BACKUP_FAULT_H_
#define ZEL_SQL_TOOL_BACKUP_FAULT_H_

#include <cstddef>
#include <optional>
#include <string>

namespace zel_sql_tool {

struct FaultLine {
    std::size_t number = 0;  // 1-based
    std::string text;
};

// The first line of `file` that the reader refuses, or nothing when the scan
// finds none (the file is fine, or cannot be read, or the fault is the
// flag-count check that the reader makes after the whole file).
std::optional<FaultLine> locate_backup_fault(const std::string& file);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_BACKUP_FAULT_H_
