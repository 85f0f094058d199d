// The exit status of zel-sql and the error that ends a command with "problem
// found". Scripts and monitoring rely on the three values, so they live here
// and nowhere else.

#ifndef ZEL_SQL_TOOL_EXIT_STATUS_H_
#define ZEL_SQL_TOOL_EXIT_STATUS_H_

#include <stdexcept>
#include <string>

namespace zel_sql_tool {

enum ExitStatus : int {
    exit_ok = 0,       // the command did its work and found nothing wrong
    exit_problem = 1,  // it found a problem: a refused login, a damaged file, a difference
    exit_usage = 2,    // the command line is wrong; nothing was done
};

// Wrong usage that only a command can see (a SOURCE that is neither a file
// nor DSN:FACILITY, a malformed age): ends the program with exit_usage.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_EXIT_STATUS_H_
