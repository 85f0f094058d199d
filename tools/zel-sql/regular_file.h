// Reading a small file the way the library reads its own: a regular file
// only (a FIFO, a device or a folder is refused, never waited on), opened
// without blocking and without following it into a terminal, bounded in size.

#ifndef ZEL_SQL_TOOL_REGULAR_FILE_H_
#define ZEL_SQL_TOOL_REGULAR_FILE_H_

#include <cstddef>
#include <stdexcept>
#include <string>

namespace zel_sql_tool {

// Why a file was not read: "not a regular file", "No such file or directory",
// "larger than 65536 bytes".
class FileRefused : public std::runtime_error {
public:
    explicit FileRefused(const std::string& reason) : std::runtime_error(reason) {}
};

// The whole content of `name`, at most `max_size` bytes.
// @throws FileRefused when it is not a regular file, cannot be opened or
// read, or holds more than `max_size` bytes.
std::string read_regular_file(const std::string& name, std::size_t max_size);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_REGULAR_FILE_H_
