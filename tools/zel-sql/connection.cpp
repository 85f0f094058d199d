#include "connection.h"

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace zel_sql_tool {

const char* const password_option_refused =
    "a password on the command line is refused: every user of this machine can read it "
    "(ps, /proc/<pid>/cmdline). Give it with --password-file FILE, the environment variable "
    "ZEL_SQL_PASSWORD, or type it at the prompt";

bool is_password_option(const std::string& arg) {
    return arg == "--password" || arg.rfind("--password=", 0) == 0 || arg == "--passwd" ||
           arg.rfind("--passwd=", 0) == 0 || arg == "--pwd";
}

void add_connection_options(CLI::App& command, ConnectionOptions& options) {
    command.add_option("--user,-u", options.user, "Login name for the data source")
        ->type_name("USER")
        ->group("Login");
    command
        .add_option("--password-file", options.password_file,
                    "Read the password from the first line of FILE (else ZEL_SQL_PASSWORD, "
                    "else a prompt on a terminal)")
        ->type_name("FILE")
        ->group("Login");
    command
        .add_option("--init-sql", options.init_sql,
                    "Run SQL right after login, before anything else (repeatable), "
                    "e.g. \"ATTACH DATABASE 'tavik.sqlite' AS TAVIK\" for SQLite")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("SQL")
        ->group("Login");
    command
        .add_option("--wait-limit", options.wait_limit_seconds,
                    "Longest wait in seconds for one answer of the database (0 = none)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("SECONDS")
        ->default_val(options.wait_limit_seconds)
        ->group("Login");
}

namespace {

std::string prompt_without_echo(const std::string& prompt) {
    std::cerr << prompt << std::flush;
    termios saved{};
    const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string password;
    std::getline(std::cin, password);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    std::cerr << '\n';
    return password;
}

}  // namespace

std::string read_password(const ConnectionOptions& options, const std::string& data_source) {
    if (!options.password_file.empty()) {
        std::ifstream file(options.password_file);
        if (!file) {
            throw zel::Error("Unable to read the password file " + options.password_file);
        }
        std::string password;
        std::getline(file, password);
        if (!password.empty() && password.back() == '\r') {
            password.pop_back();
        }
        return password;
    }
    if (const char* from_environment = std::getenv("ZEL_SQL_PASSWORD")) {
        return from_environment;
    }
    if (!options.user.empty() && isatty(STDIN_FILENO) != 0) {
        return prompt_without_echo("Password for " + options.user + " at " + data_source + ": ");
    }
    return std::string();
}

void run_init_sql(zel::sql::Database& db, const ConnectionOptions& options) {
    for (const std::string& sql : options.init_sql) {
        db.send_query(sql);  // the Query ends its statement at once
    }
}

std::unique_ptr<zel::sql::Database> open_database(const std::string& data_source,
                                                  const ConnectionOptions& options) {
    auto db = std::make_unique<zel::sql::Database>(data_source, options.user,
                                                   read_password(options, data_source));
    db->set_wait_limit(std::chrono::milliseconds(
        static_cast<long long>(std::llround(options.wait_limit_seconds * 1000.0))));
    run_init_sql(*db, options);
    return db;
}

}  // namespace zel_sql_tool
