// Text from files, servers and command lines made safe for a terminal. A
// cache copy, a backup file or a server's message can hold escape sequences
// (ESC ] 0 ; ... BEL retitles the window, CSI 2 J clears it); every text the
// tool prints passes through printable() first.

#ifndef ZEL_SQL_TOOL_TERMINAL_TEXT_H_
#define ZEL_SQL_TOOL_TERMINAL_TEXT_H_

#include <string>
#include <string_view>

namespace zel_sql_tool {

// `text` with every control character written as an escape, so that one
// value stays on one line and the terminal interprets none of it:
//   - C0 bytes (below 0x20) and DEL as "\xNN" ("\t", "\n" and "\r" too);
//   - C1 characters, as bytes 0x80-0x9F or as UTF-8 U+0080-U+009F, as
//     "\xNN" or "\u00NN";
//   - a byte that is not part of valid UTF-8 as "\xNN".
// Valid UTF-8 outside these ranges is kept as it is, and so is a backslash:
// the library's messages escape the same way, and are shown unchanged.
std::string printable(std::string_view text);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_TERMINAL_TEXT_H_
