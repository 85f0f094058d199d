// The files that zel-sql writes for the operator (--svg, --output): replaced
// whole, as the library replaces a backup file, and never through a link that
// someone planted at the target's name.

#ifndef ZEL_SQL_TOOL_OUTPUT_FILE_H_
#define ZEL_SQL_TOOL_OUTPUT_FILE_H_

#include <string>
#include <string_view>

namespace zel_sql_tool {

// Writes `bytes` as the file `path`: to a new temporary file beside it,
// created exclusively and without following links, synced, then renamed over
// `path`. A link at `path` is replaced by the file, its target left alone. A
// reader sees the old file or the new one, never half of it. The new file
// keeps the permission bits of the regular file it replaces when that is the
// effective user's; otherwise it has 0666 less the umask.
// @throws zel::Error naming `path` and the system's reason when any step
// fails; `path` is then as it was and no temporary file is left.
void write_output_file(const std::string& path, std::string_view bytes);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_OUTPUT_FILE_H_
