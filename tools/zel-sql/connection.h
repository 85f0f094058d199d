// How zel-sql logs in to a data source: the options every command that reads
// one accepts (--user, --password-file, --init-sql, --wait-limit), the
// password (never from the command line), and the Database made from them.

#ifndef ZEL_SQL_TOOL_CONNECTION_H_
#define ZEL_SQL_TOOL_CONNECTION_H_

#include <memory>
#include <string>
#include <vector>

#include <zel/sql.h>
#include <CLI/CLI.hpp>

namespace zel_sql_tool {

struct ConnectionOptions {
    std::string user;
    std::string password_file;
    std::vector<std::string> init_sql;  // run in this order right after login
    double wait_limit_seconds = 15.0;   // Database::set_wait_limit; 0 = none
};

// Adds the login options to `command`.
void add_connection_options(CLI::App& command, ConnectionOptions& options);

// The password, from the first of: --password-file (its first line), the
// environment variable ZEL_SQL_PASSWORD, a prompt without echo when a user is
// given and standard input is a terminal. Empty when none applies.
// @throws zel::Error when the password file cannot be read.
std::string read_password(const ConnectionOptions& options, const std::string& data_source);

// A Database for `data_source` with the options' login and wait limit, logged
// in by running the --init-sql statements (when there are any).
// @throws zel::Error from the statements.
std::unique_ptr<zel::sql::Database> open_database(const std::string& data_source,
                                                  const ConnectionOptions& options);

// Runs the --init-sql statements on `db`, in order; the first one logs in.
void run_init_sql(zel::sql::Database& db, const ConnectionOptions& options);

// The refusal of a command line password, said once for every spelling.
extern const char* const password_option_refused;

// True when `arg` is a password option (--password, --password=..., -p...).
bool is_password_option(const std::string& arg);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_CONNECTION_H_
