// The command groups of zel-sql. Each adds its subcommands to the program;
// a subcommand's callback does the work and sets `status` (exit_status.h).

#ifndef ZEL_SQL_TOOL_COMMANDS_H_
#define ZEL_SQL_TOOL_COMMANDS_H_

#include <CLI/CLI.hpp>

namespace zel_sql_tool {

void add_check_command(CLI::App& app, int& status);
void add_list_commands(CLI::App& app, int& status);
void add_cache_commands(CLI::App& app, int& status);

}  // namespace zel_sql_tool

#endif  // ZEL_SQL_TOOL_COMMANDS_H_
