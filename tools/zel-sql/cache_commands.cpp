// zel-sql cache ls|show|prune: the query-cache folders of data sources.

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include <zel/sql.h>

#include "cache_copy.h"
#include "commands.h"
#include "exit_status.h"
#include "list_export.h"
#include "text_table.h"
#include "time_text.h"

namespace zel_sql_tool {
namespace {

using Json = nlohmann::ordered_json;
constexpr auto json_errors = Json::error_handler_t::replace;

// The files of `folder` that are cache files by name: "<something>.dat".
// Temporary files of a writer (".<name>.tmp.<pid>.<n>") are not.
std::vector<std::string> cache_files(const std::string& folder) {
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) {
        throw zel::Error("Cannot read cache folder \"" + folder + "\": " + error.message());
    }
    std::vector<std::string> files;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        // Not only regular files: a FIFO or a link planted at a copy's name
        // is listed, as not trusted.
        if (!entry.is_directory(error) && name.size() > 4 && name.front() != '.' &&
            name.compare(name.size() - 4, 4, ".dat") == 0) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

Json copy_json(const CacheCopy& copy, bool with_rows) {
    Json out;
    out["file"] = copy.file;
    out["state"] = state_name(copy.state);
    out["reason"] = copy.reason;
    out["size"] = copy.size;
    if (copy.decoded) {
        out["sql"] = copy.sql;
        out["data_source"] = copy.data_source;
        out["stored_at"] = copy.stored_at;
        out["age_seconds"] = unix_now() - copy.stored_at;
        out["columns"] = copy.column_names;
        out["row_count"] = copy.row_count;
        if (with_rows) {
            Json rows = Json::array();
            for (const auto& row : copy.rows) {
                Json values = Json::array();
                for (const auto& value : row) {
                    values.push_back(value ? Json(*value) : Json(nullptr));
                }
                rows.push_back(std::move(values));
            }
            out["rows"] = std::move(rows);
        }
    }
    return out;
}

int list_folder(const std::string& folder, const std::string& data_source, bool json) {
    std::vector<CacheCopy> copies;
    for (const std::string& file : cache_files(folder)) {
        copies.push_back(read_cache_copy(file, data_source, false));
    }
    const bool all_good = std::all_of(copies.begin(), copies.end(), [](const CacheCopy& c) {
        return c.state == CopyState::good;
    });
    if (json) {
        Json out = Json::array();
        for (const CacheCopy& copy : copies) {
            out.push_back(copy_json(copy, false));
        }
        std::cout << out.dump(1, ' ', false, json_errors) << '\n';
        return all_good ? exit_ok : exit_problem;
    }
    TextTable table({"sql", "data source", "stored at", "age", "rows", "bytes", "state"});
    for (const CacheCopy& copy : copies) {
        std::string state = state_name(copy.state);
        if (!copy.reason.empty()) {
            state += ": " + copy.reason;
        }
        if (copy.decoded) {
            table.add_row({cut(copy.sql, 40), copy.data_source, utc_time(copy.stored_at),
                           age_text(unix_now() - copy.stored_at), std::to_string(copy.row_count),
                           std::to_string(copy.size), state});
        } else {
            table.add_row({std::filesystem::path(copy.file).filename().string(), "", "", "", "",
                           std::to_string(copy.size), state});
        }
    }
    std::cout << folder << ": " << copies.size() << " cache files\n";
    if (!table.empty()) {
        table.print(std::cout);
    }
    return all_good ? exit_ok : exit_problem;
}

int show_copy(const std::string& file, const std::string& format) {
    const CacheCopy copy = read_cache_copy(file, std::string(), true);
    if (!copy.decoded) {
        throw zel::Error("Cache file \"" + file + "\" is damaged: " + copy.reason);
    }
    if (format == "json") {
        std::cout << copy_json(copy, true).dump(1, ' ', false, json_errors) << '\n';
    } else if (format == "csv") {
        // NULL is an empty field, the empty text a quoted empty field.
        for (std::size_t i = 0; i < copy.column_names.size(); ++i) {
            std::cout << (i ? "," : "") << csv_field(copy.column_names[i]);
        }
        std::cout << "\r\n";
        for (const auto& row : copy.rows) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                std::cout << (i ? "," : "")
                          << (!row[i]           ? std::string()
                              : row[i]->empty() ? "\"\""
                                                : csv_field(*row[i]));
            }
            std::cout << "\r\n";
        }
    } else {
        std::cout << "sql:         " << copy.sql << '\n'
                  << "data source: " << copy.data_source << '\n'
                  << "stored at:   " << utc_time(copy.stored_at) << " ("
                  << age_text(unix_now() - copy.stored_at) << " ago)\n"
                  << "rows:        " << copy.row_count << "\n\n";
        TextTable table(copy.column_names);
        for (const auto& row : copy.rows) {
            std::vector<std::string> cells;
            for (const auto& value : row) {
                cells.push_back(value ? cut(*value, 60) : "NULL");
            }
            table.add_row(std::move(cells));
        }
        table.print(std::cout);
    }
    return copy.state == CopyState::good ? exit_ok : exit_problem;
}

struct CacheArguments {
    std::string target;
    std::string sql;
    std::string data_source;
    std::string format = "table";
    std::string older_than;
    bool json = false;
};

}  // namespace

void add_cache_commands(CLI::App& app, int& status) {
    auto args = std::make_shared<CacheArguments>();
    CLI::App* cache =
        app.add_subcommand("cache", "Query-cache folders (Database::read_with_cache)");
    cache->require_subcommand(1);

    CLI::App* ls = cache->add_subcommand(
        "ls",
        "One line per cache file: SQL text, data source, stored_at and age, rows, size "
        "and state (good, damaged with the reason, foreign, misplaced); exit 1 unless "
        "all are good");
    ls->add_option("FOLDER", args->target, "The cache folder")->required();
    ls->add_option("--dsn", args->data_source,
                   "The data source the folder belongs to: copies of others are foreign");
    ls->add_flag("--json", args->json, "Print a JSON array");
    ls->callback(
        [args, &status] { status = list_folder(args->target, args->data_source, args->json); });

    CLI::App* show = cache->add_subcommand(
        "show", "The rows of one cache file (FILE, or the file of --sql SQL in FOLDER)");
    show->add_option("FILE_OR_FOLDER", args->target, "A cache file, or with --sql the cache folder")
        ->required();
    show->add_option("--sql", args->sql, "The SQL text whose copy to show");
    show->add_option("--format,-f", args->format, "table, csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    show->add_flag("--json", args->json, "Same as --format json");
    show->callback([args, &status] {
        std::string file = args->target;
        if (!args->sql.empty()) {
            zel::sql::Cache cache_folder;
            cache_folder.set_folder(args->target);
            file = cache_folder.get_full_file_name(args->sql);
        }
        status = show_copy(file, args->json ? "json" : args->format);
    });

    CLI::App* prune = cache->add_subcommand(
        "prune", "Remove the cache files older than AGE (Cache::remove_older_than)");
    prune->add_option("FOLDER", args->target, "The cache folder")->required();
    prune->add_option("--older-than", args->older_than, "AGE: 30d, 12h, 90m, 45s or 2w")
        ->required();
    prune->add_flag("--json", args->json, "Print a JSON object");
    prune->callback([args, &status] {
        const std::chrono::seconds age = parse_age(args->older_than);
        zel::sql::Cache cache_folder;
        cache_folder.set_folder(args->target);
        const std::size_t removed = cache_folder.remove_older_than(age);
        if (args->json) {
            std::cout << Json{{"folder", args->target}, {"removed", removed}}.dump(1) << '\n';
        } else {
            std::cout << "Removed " << removed << " cache files older than " << args->older_than
                      << " from " << args->target << '\n';
        }
        status = exit_ok;
    });
}

}  // namespace zel_sql_tool
