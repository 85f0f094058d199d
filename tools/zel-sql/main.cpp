// zel-sql: the operator's command for data sources, backup files and cache
// copies. Written against the public API of libzel_sql and the few internals
// it exports for its tools (src/util/internal_api.h).

#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "exit_status.h"
#include "json_output.h"
#include "odbc/source_registry.h"
#include "terminal_text.h"

namespace zel_sql_tool {

const char* const exit_status_help =
    "  0  success: nothing wrong was found; list diff: the lists are equal\n"
    "  1  a finding: the lists differ, a backup file or a cache copy is bad, a check fails\n"
    "  2  wrong usage, or an input that cannot be read at all (no such file, not a regular\n"
    "     file, a data source that refuses or does not answer for list and cache commands),\n"
    "     or an output file that cannot be written\n";

}  // namespace zel_sql_tool

namespace {

using namespace zel_sql_tool;

// "list diff" for the command that was being parsed, so that the hint names
// its help.
std::string parsed_command(const CLI::App& app) {
    std::string name;
    const CLI::App* current = &app;
    for (;;) {
        const auto subcommands = current->get_subcommands();
        if (subcommands.empty()) {
            return name;
        }
        current = subcommands.front();
        name += (name.empty() ? "" : " ") + current->get_name();
    }
}

// True when the command being run was given --json (or cache show's
// --format json): its failure is then a JSON object on stdout too.
bool wants_json(const CLI::App& app) {
    const CLI::App* current = &app;
    for (;;) {
        const auto subcommands = current->get_subcommands();
        if (subcommands.empty()) {
            break;
        }
        current = subcommands.front();
    }
    const CLI::Option* json = current->get_option_no_throw("--json");
    if (json != nullptr && json->count() > 0) {
        return true;
    }
    const CLI::Option* format = current->get_option_no_throw("--format");
    // The raw text: the option may be the very value that failed its check.
    return format != nullptr && !format->results().empty() && format->results().back() == "json";
}

// Prints a failure: on stderr as "zel-sql: <message>: <reason> (SQLSTATE
// <state>)", and with --json also as {"error", "sqlstate", "reason"} on stdout,
// the one object a script reads.
int report_failure(const CLI::App& app, const std::string& message, int status,
                   const std::string& sqlstate = {}, const std::string& reason = {}) {
    if (wants_json(app)) {
        const nlohmann::ordered_json out{
            {"error", message}, {"sqlstate", sqlstate}, {"reason", reason}};
        std::cout << json_text(out) << '\n';
    }
    std::string text = message;
    if (!reason.empty() && message.find(reason) == std::string::npos) {
        text += ": " + reason;
    }
    if (!sqlstate.empty()) {
        text += " (SQLSTATE " + sqlstate + ")";
    }
    std::cerr << "zel-sql: " << printable(text) << '\n';
    return status;
}

int usage_error(const CLI::App& app, const std::string& message) {
    const std::string command = parsed_command(app);
    return report_failure(
        app, message + " (see 'zel-sql " + (command.empty() ? "" : command + " ") + "--help')",
        exit_usage);
}

// Parses the command line and runs the command; the exit status.
int run(int argc, char** argv) {
    CLI::App app(
        "zel-sql: check ODBC data sources, read and compare component lists (backup files and "
        "facility views), and inspect query-cache folders.\n"
        "Exit status:\n" +
            std::string(exit_status_help) +
            "Passwords never come on the command line: --password-file FILE, the environment "
            "variable ZEL_SQL_PASSWORD, or a prompt when standard input is a terminal.",
        "zel-sql");
    app.require_subcommand(1);
    app.set_version_flag("--version", "zel-sql 1.0.0");
    int status = exit_ok;
    add_check_command(app, status);
    add_list_commands(app, status);
    add_cache_commands(app, status);

    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (is_password_option(arg)) {
            std::cerr << "zel-sql: " << password_option_refused << '\n';
            return exit_usage;
        }
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usage_error(app, e.what());
    } catch (const UsageError& e) {
        return usage_error(app, e.what());
    } catch (const CommandFailure& e) {
        return report_failure(app, e.what(), e.status(), e.sqlstate(), e.reason());
    } catch (const zel::sql::DatabaseError& e) {
        return report_failure(app, e.get_message(), exit_usage, e.get_sqlstate());
    } catch (const zel::Error& e) {
        // What the command was to read or write could not be.
        return report_failure(app, e.get_message(), exit_usage);
    } catch (const std::exception& e) {
        return report_failure(app, e.what(), exit_usage);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const int status = run(argc, argv);
    // A call given up after a timeout may still be blocked in the driver. If
    // it returned while the process ends, during the driver's teardown, it
    // could crash there; everything the command had to say is written, so
    // the process ends without a teardown.
    if (zel::sql::detail::given_up_calls_running() > 0) {
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(status);
    }
    return status;
}
