// zel-sql: the operator's command for data sources, backup files and cache
// copies. Written against the public API of libzel_sql only.

#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "exit_status.h"

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

int usage_error(const CLI::App& app, const std::string& message) {
    const std::string command = parsed_command(app);
    std::cerr << "zel-sql: " << message << " (see 'zel-sql "
              << (command.empty() ? "" : command + " ") << "--help')\n";
    return exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(
        "zel-sql: check ODBC data sources, read and compare component lists (backup files and "
        "facility views), and inspect query-cache folders.\n"
        "Exit status: 0 success, 1 a problem was found, 2 wrong usage.\n"
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
    } catch (const zel::Error& e) {
        std::cerr << "zel-sql: " << e.get_message() << '\n';
        return exit_problem;
    } catch (const std::exception& e) {
        std::cerr << "zel-sql: " << e.what() << '\n';
        return exit_problem;
    }
    return status;
}
