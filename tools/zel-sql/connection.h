// How zel-sql logs in to a data source: the options every command that reads
// one accepts (--user, --password-file, --init-sql, --wait-limit), the
// password (never from the command line), and the Database made from them.

#ifndef ZEL_SQL_TOOL_CONNECTION_H_
#define ZEL_SQL_TOOL_CONNECTION_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <zel/sql.h>
#include <CLI/CLI.hpp>

#include "exit_status.h"

namespace zel_sql_tool {

struct ConnectionOptions {
    std::string user;
    std::string password_file;
    std::vector<std::string> init_sql;  // run in this order right after login
    double wait_limit_seconds = 15.0;   // Database::set_wait_limit; 0 = none
};

// The range of --wait-limit besides 0 (no limit): from a millisecond, the
// library's unit, to a day, beyond which a deadline is no longer a bound.
constexpr double min_wait_limit_seconds = 0.001;
constexpr double max_wait_limit_seconds = 86400.0;

// `text` as a wait limit in seconds: a finite number, 0 or within the range
// above; std::nullopt otherwise ("abc", "-3", "inf", "nan", "1e-9", "1e300").
std::optional<double> parse_wait_limit(const std::string& text);

// The usage error for a refused wait limit `text`; it names the range.
std::string wait_limit_refused(const std::string& text);

// The checked wait limit of `options` in milliseconds, for set_wait_limit.
std::chrono::milliseconds wait_limit(const ConnectionOptions& options);

// Adds the login options to `command`.
void add_connection_options(CLI::App& command, ConnectionOptions& options);

// The password, from the first of: --password-file (its first line), the
// environment variable ZEL_SQL_PASSWORD, a prompt without echo when a user is
// given and standard input is a terminal. Empty when none applies. The file
// must be a regular file of at most 64 KiB; it is never waited on.
// @throws CommandFailure (exit_usage) when the password file cannot be read.
std::string read_password(const ConnectionOptions& options, const std::string& data_source);

// The failure of a command for `error` of the library, with the reason a data
// source gave: the SQLSTATE of a DatabaseError and, when `db` is not
// connected, Database::get_last_connect_error(). `db` may be null.
CommandFailure failure_of(const zel::Error& error, const zel::sql::Database* db, int status);

// The tool's own statements (--init-sql, check's questions) run as the
// library's reads do: the login through the sources, then the statement
// once, on the source that answered, each call to the server under `db`'s
// wait limit. A statement is never run again elsewhere: it may write.

// Logs `db` in under its wait limit unless it is connected; true when it is.
// A refused login leaves it unconnected (get_last_connect_error() says why).
// @throws zel::sql::DatabaseError "HYT00" when the login is overdue.
bool log_in(zel::sql::Database& db);

// The first row of `sql`, each value as text, std::nullopt for NULL; empty
// when `sql` gives no row; the rest is not read.
// @throws what send_query() and fetch_checked() throw, and "HYT00" when an
// answer is overdue (the connection is then given up).
std::vector<std::optional<std::string>> first_row(zel::sql::Database& db, const std::string& sql);

// Runs the --init-sql statements on `db`, in order; the first one logs in.
// @throws as first_row().
void run_init_sql(zel::sql::Database& db, const ConnectionOptions& options);

// The refusal of a command line password, said once for every spelling.
extern const char* const password_option_refused;

// True when `arg` is a password option (--password, --password=..., -p...).
bool is_password_option(const std::string& arg);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_CONNECTION_H_
