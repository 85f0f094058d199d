// The exit status of zel-sql and the errors that end a command. Scripts and
// monitoring rely on the three values, so they live here and nowhere else;
// --help, the manual page and docs/zel-sql.md show the same table.

#ifndef ZEL_SQL_TOOL_EXIT_STATUS_H_
#define ZEL_SQL_TOOL_EXIT_STATUS_H_

#include <stdexcept>
#include <string>

namespace zel_sql_tool {

enum ExitStatus : int {
    exit_ok = 0,       // the command did its work and found nothing wrong; lists equal
    exit_problem = 1,  // a finding: lists differ, a copy or a file is bad, a check fails
    exit_usage = 2,    // wrong usage, or an input that cannot be read at all
};

// The table of exit statuses for --help.
extern const char* const exit_status_help;

// Wrong usage that only a command can see (a SOURCE that is neither a file
// nor DSN:FACILITY, a malformed age): ends the program with exit_usage.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

// A command that could not do its work: `what()` is the message (the
// library's, unchanged), `sqlstate` and `reason` say why when a data source
// refused (the login's SQLSTATE and Database::get_last_connect_error()).
// main() prints it, as text or as the JSON object of --json.
class CommandFailure : public std::runtime_error {
public:
    CommandFailure(const std::string& message, int status, std::string sqlstate = {},
                   std::string reason = {})
        : std::runtime_error(message),
          status_(status),
          sqlstate_(std::move(sqlstate)),
          reason_(std::move(reason)) {}
    int status() const noexcept { return status_; }
    const std::string& sqlstate() const noexcept { return sqlstate_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    int status_;
    std::string sqlstate_;
    std::string reason_;
};

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_EXIT_STATUS_H_
