#include "connection.h"

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "exit_status.h"
#include "odbc/bounded_statement.h"
#include "regular_file.h"
#include "terminal_text.h"

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
                    "Longest wait in seconds for one answer of the database, from 0.001 to "
                    "86400, or 0 for none")
        ->check(CLI::Validator(
            [](std::string& text) {
                const auto seconds = parse_wait_limit(text);
                return seconds ? std::string() : wait_limit_refused(text);
            },
            "SECONDS", "wait limit"))
        ->type_name("SECONDS")
        ->default_val(options.wait_limit_seconds)
        ->group("Login");
}

std::optional<double> parse_wait_limit(const std::string& text) {
    // strtod in the "C" locale: "1.5" means the same under every LC_NUMERIC.
    const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    const locale_t previous = uselocale(c_locale);
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    const bool whole = !text.empty() && end == text.c_str() + text.size();
    uselocale(previous);
    freelocale(c_locale);
    if (!whole || !std::isfinite(seconds) ||
        !(seconds == 0.0 ||
          (seconds >= min_wait_limit_seconds && seconds <= max_wait_limit_seconds))) {
        return std::nullopt;
    }
    return seconds;
}

std::string wait_limit_refused(const std::string& text) {
    return "\"" + printable(text) +
           "\" is refused: give 0 (no limit) or a number of seconds from 0.001 to 86400";
}

std::chrono::milliseconds wait_limit(const ConnectionOptions& options) {
    // Checked when parsed; 0.0015 s becomes 2 ms, never 0 (no limit).
    return std::chrono::milliseconds(std::llround(options.wait_limit_seconds * 1000.0));
}

namespace {

// The longest password file read: a password is a line, not a file's worth.
constexpr std::size_t max_password_file_size = 64 * 1024;

std::string read_password_file(const std::string& name) {
    std::string content;
    try {
        content = read_regular_file(name, max_password_file_size);
    } catch (const FileRefused& e) {
        throw CommandFailure("Unable to read the password file " + name + ": " + e.what(),
                             exit_usage);
    }
    std::string password = content.substr(0, content.find('\n'));
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return password;
}

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
        return read_password_file(options.password_file);
    }
    if (const char* from_environment = std::getenv("ZEL_SQL_PASSWORD")) {
        return from_environment;
    }
    if (!options.user.empty() && isatty(STDIN_FILENO) != 0) {
        return prompt_without_echo("Password for " + options.user + " at " + data_source + ": ");
    }
    return std::string();
}

bool log_in(zel::sql::Database& db) {
    if (!db.is_connected()) {
        zel::sql::detail::run_bounded_void(db, [](zel::sql::Database& on) {
            if (!on.is_connected()) {
                on.connect();
            }
        });
    }
    return db.is_connected();
}

std::vector<std::optional<std::string>> first_row(zel::sql::Database& db, const std::string& sql) {
    using Row = std::vector<std::optional<std::string>>;
    return zel::sql::detail::run_statement_bounded<Row>(db, [sql](zel::sql::Database& on) {
        Row row;
        zel::sql::Query query = on.send_query(sql);
        const int columns = query.get_num_result_columns();
        if (columns > 0 && query.fetch_checked()) {
            for (int column = 1; column <= columns; ++column) {
                bool was_null = false;
                std::string value = query.get_column_as_string(column, &was_null);
                row.push_back(was_null ? std::nullopt : std::optional(std::move(value)));
            }
        }
        return row;  // the Query ends its statement here, on the helper
    });
}

void run_init_sql(zel::sql::Database& db, const ConnectionOptions& options) {
    for (const std::string& sql : options.init_sql) {
        zel::sql::detail::run_statement_bounded<bool>(db, [sql](zel::sql::Database& on) {
            on.send_query(sql);  // the Query ends its statement at once
            return true;
        });
    }
}

CommandFailure failure_of(const zel::Error& error, const zel::sql::Database* db, int status) {
    std::string sqlstate;
    if (const auto* database_error = dynamic_cast<const zel::sql::DatabaseError*>(&error)) {
        sqlstate = database_error->get_sqlstate();
    }
    std::string reason;
    if (db != nullptr && !db->is_connected()) {
        reason = db->get_last_connect_error();
    }
    return CommandFailure(error.get_message(), status, sqlstate, reason);
}

}  // namespace zel_sql_tool
