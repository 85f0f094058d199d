#include "json_output.h"

namespace zel_sql_tool {

std::string json_text(const Json& document) {
    const std::string ascii = document.dump(1, ' ', true, Json::error_handler_t::replace);
    // The serializer escapes C0 and everything beyond ASCII; DEL is left,
    // and may stand only inside a string, where its escape means the same.
    std::string out;
    out.reserve(ascii.size());
    for (const char c : ascii) {
        if (c == '\x7f') {
            out += "\\u007f";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace zel_sql_tool
