// The JSON that zel-sql prints for --json: one document, safe for a terminal
// as its text output is (terminal_text.h) and valid JSON for any bytes.

#ifndef ZEL_SQL_TOOL_JSON_OUTPUT_H_
#define ZEL_SQL_TOOL_JSON_OUTPUT_H_

#include <nlohmann/json.hpp>
#include <string>

namespace zel_sql_tool {

using Json = nlohmann::ordered_json;

// `document` indented by one space: invalid UTF-8 replaced by U+FFFD, every
// character beyond ASCII and every control character (DEL included) written
// as a \u escape, so that no byte of it is one a terminal interprets.
std::string json_text(const Json& document);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_JSON_OUTPUT_H_
