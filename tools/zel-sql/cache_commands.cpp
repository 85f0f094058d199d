// zel-sql cache ls|show|prune: the query-cache folders of data sources.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include <zel/sql.h>

#include "commands.h"
#include "exit_status.h"
#include "json_output.h"
#include "list_export.h"
#include "terminal_text.h"
#include "text_table.h"
#include "time_text.h"

namespace zel_sql_tool {
namespace {

// What the listing says of one cache file.
enum class CopyState {
    good,       // the library would use it
    damaged,    // it would refuse it: unreadable, wrong header or version, size, check sum, fields
    foreign,    // stored through another data source than the one asked about
    misplaced,  // its name is not that of its SQL text: the library never finds it
    not_trusted,  // it fails the trust rule (zel::sql::why_untrusted): the library refuses it
    not_stored,   // there is no such file
};

const char* state_name(CopyState state) {
    switch (state) {
        case CopyState::good:
            return "good";
        case CopyState::damaged:
            return "damaged";
        case CopyState::foreign:
            return "foreign";
        case CopyState::misplaced:
            return "misplaced";
        case CopyState::not_trusted:
            return "not trusted";
        case CopyState::not_stored:
            return "not stored";
    }
    return "damaged";
}

struct CacheCopy {
    std::string file;
    std::uint64_t size = 0;
    CopyState state = CopyState::damaged;
    std::string reason;  // why it is not good
    // What it holds, when the library could read it.
    std::optional<zel::sql::CacheCopy> copy;
    std::uint64_t row_count = 0;
    bool unreadable = false;  // it could not be opened or read at all
};

// Reads `file` with the library's reader, then checks its name against
// Cache::get_full_file_name of its SQL text and its data source against
// `expected_data_source` (empty: any data source). Never throws for a bad
// file: `state` and `reason` say what is wrong.
CacheCopy read_copy(const std::string& file, const std::string& expected_data_source) {
    CacheCopy out;
    out.file = file;
    std::error_code no_size;
    if (std::filesystem::is_regular_file(file, no_size)) {
        out.size = std::filesystem::file_size(file, no_size);
    }
    try {
        out.copy = zel::sql::read_cache_copy(file);
    } catch (const zel::sql::CacheCopyError& e) {
        out.state = e.get_kind() == zel::sql::CacheCopyError::Kind::not_trusted
                        ? CopyState::not_trusted
                        : CopyState::damaged;
        out.reason = e.get_reason();
        out.unreadable = e.get_kind() == zel::sql::CacheCopyError::Kind::unreadable;
        return out;
    }
    if (out.copy) {
        out.row_count = out.copy->result.rows.size();
    } else {
        out.state = CopyState::not_stored;
        out.reason = "there is no file \"" + file + "\"";
        return out;
    }
    // The folder does not matter here, only the name within it.
    zel::sql::Cache naming;
    const std::string expected_name =
        std::filesystem::path(naming.get_full_file_name(out.copy->sql)).filename().string();
    if (std::filesystem::path(file).filename().string() != expected_name) {
        out.state = CopyState::misplaced;
        out.reason = "its name is not that of its SQL text (" + expected_name + ")";
    } else if (!expected_data_source.empty() && out.copy->data_source != expected_data_source) {
        out.state = CopyState::foreign;
        out.reason = "stored through data source \"" + out.copy->data_source + "\", not \"" +
                     expected_data_source + "\"";
    } else {
        out.state = CopyState::good;
    }
    return out;
}

// The files of `folder` that are cache files by name: "<something>.dat".
// Temporary files of a writer (".<name>.tmp.<pid>.<n>") are not.
std::vector<std::string> cache_files(const std::string& folder) {
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) {
        throw CommandFailure("Cannot read cache folder \"" + folder + "\": " + error.message(),
                             exit_usage);
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

Json copy_json(const CacheCopy& entry, bool with_rows) {
    Json out;
    out["file"] = entry.file;
    out["state"] = state_name(entry.state);
    out["reason"] = entry.reason;
    out["size"] = entry.size;
    if (entry.copy) {
        const zel::sql::CacheCopy& copy = *entry.copy;
        out["sql"] = copy.sql;
        out["data_source"] = copy.data_source;
        out["stored_at"] = copy.result.stored_at;
        out["age_seconds"] = seconds_between(copy.result.stored_at, unix_now());
        out["columns"] = copy.result.column_names;
        out["row_count"] = entry.row_count;
        if (with_rows) {
            Json rows = Json::array();
            for (const auto& row : copy.result.rows) {
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
        copies.push_back(read_copy(file, data_source));
        // Only the count of the rows is listed.
        if (copies.back().copy) {
            copies.back().copy->result.rows = {};
        }
    }
    const bool all_good = std::all_of(copies.begin(), copies.end(), [](const CacheCopy& c) {
        return c.state == CopyState::good;
    });
    if (json) {
        Json out = Json::array();
        for (const CacheCopy& entry : copies) {
            out.push_back(copy_json(entry, false));
        }
        std::cout << json_text(out) << '\n';
        return all_good ? exit_ok : exit_problem;
    }
    TextTable table({"sql", "data source", "stored at", "age", "rows", "bytes", "state"});
    for (const CacheCopy& entry : copies) {
        std::string state = state_name(entry.state);
        if (!entry.reason.empty()) {
            state += ": " + entry.reason;
        }
        if (entry.copy) {
            const zel::sql::CacheCopy& copy = *entry.copy;
            table.add_row({cut(copy.sql, 40), copy.data_source, utc_time(copy.result.stored_at),
                           age_text(seconds_between(copy.result.stored_at, unix_now())),
                           std::to_string(entry.row_count), std::to_string(entry.size), state});
        } else {
            table.add_row({std::filesystem::path(entry.file).filename().string(), "", "", "", "",
                           std::to_string(entry.size), state});
        }
    }
    std::cout << printable(folder) << ": " << copies.size() << " cache files\n";
    if (!table.empty()) {
        table.print(std::cout);
    }
    return all_good ? exit_ok : exit_problem;
}

int show_copy(const std::string& file, const std::string& format) {
    // A FIFO, a device or a folder named as the copy to show is no input at
    // all (the library would refuse it unopened, as not trusted).
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        throw CommandFailure("Cache file \"" + file + "\" cannot be read: not a regular file",
                             exit_usage);
    }
    const CacheCopy entry = read_copy(file, std::string());
    if (entry.state == CopyState::not_stored) {
        throw CommandFailure("Cache file \"" + file + "\" is not stored", exit_usage);
    }
    if (!entry.copy) {
        // A copy the library refuses is a finding; one it cannot open at all
        // is not.
        throw CommandFailure(
            "Cache file \"" + file + "\" is " + state_name(entry.state) + ": " + entry.reason,
            entry.unreadable ? exit_usage : exit_problem);
    }
    const zel::sql::CacheCopy& copy = *entry.copy;
    const std::vector<std::string>& columns = copy.result.column_names;
    const auto& rows = copy.result.rows;
    if (format == "json") {
        std::cout << json_text(copy_json(entry, true)) << '\n';
    } else if (format == "csv") {
        // NULL is an empty field, the empty text a quoted empty field.
        for (std::size_t i = 0; i < columns.size(); ++i) {
            std::cout << (i ? "," : "") << csv_field(columns[i]);
        }
        std::cout << "\r\n";
        for (const auto& row : rows) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                std::cout << (i ? "," : "")
                          << (!row[i]           ? std::string()
                              : row[i]->empty() ? "\"\""
                                                : csv_field(*row[i]));
            }
            std::cout << "\r\n";
        }
    } else {
        std::cout << "sql:         " << printable(copy.sql) << '\n'
                  << "data source: " << printable(copy.data_source) << '\n'
                  << "stored at:   " << utc_time(copy.result.stored_at) << " ("
                  << age_text(seconds_between(copy.result.stored_at, unix_now())) << " ago)\n"
                  << "rows:        " << rows.size() << "\n\n";
        TextTable table(columns);
        for (const auto& row : rows) {
            std::vector<std::string> cells;
            for (const auto& value : row) {
                cells.push_back(value ? cut(*value, 60) : "NULL");
            }
            table.add_row(std::move(cells));
        }
        table.print(std::cout);
    }
    return entry.state == CopyState::good ? exit_ok : exit_problem;
}

// A descriptor of the cache folder, opened without following a link, so that
// what is removed is removed from the folder that was listed.
class FolderDescriptor {
public:
    explicit FolderDescriptor(const std::string& folder)
        : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
        if (fd_ < 0) {
            const int error = errno;
            throw CommandFailure("Cannot read cache folder \"" + folder + "\": " +
                                     (error == ELOOP ? std::string("a symbolic link")
                                                     : std::string(std::strerror(error))),
                                 exit_usage);
        }
    }
    ~FolderDescriptor() { ::close(fd_); }
    FolderDescriptor(const FolderDescriptor&) = delete;
    FolderDescriptor& operator=(const FolderDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// What prune did with one cache file.
struct PruneEntry {
    std::string file;
    std::int64_t stored_at = 0;
    std::string kept_because;  // empty when removed
};

// Removes the copies of `folder` stored longer than `age` ago, by their
// stored_at: the age that "cache ls" shows, whatever the file's time says.
// A copy the library cannot read has no stored_at and is kept, as is a file
// that is not this user's own regular file.
std::vector<PruneEntry> prune_folder(const std::string& folder, std::chrono::seconds age) {
    const FolderDescriptor descriptor(folder);
    const std::int64_t now = unix_now();
    std::int64_t cutoff = 0;  // removed when stored_at < cutoff
    if (__builtin_sub_overflow(now, static_cast<std::int64_t>(age.count()), &cutoff)) {
        cutoff = std::numeric_limits<std::int64_t>::min();
    }
    std::vector<PruneEntry> entries;
    for (const std::string& file : cache_files(folder)) {
        PruneEntry entry;
        entry.file = file;
        const CacheCopy copy = read_copy(file, std::string());
        if (!copy.copy) {
            entry.kept_because = std::string(state_name(copy.state)) + ": " + copy.reason;
            entries.push_back(std::move(entry));
            continue;
        }
        entry.stored_at = copy.copy->result.stored_at;
        if (entry.stored_at >= cutoff) {
            continue;  // young enough: not reported
        }
        const std::string name = std::filesystem::path(file).filename().string();
        struct stat info {};
        if (::fstatat(descriptor.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
            entry.kept_because = "not a regular file of this user";
        } else if (::unlinkat(descriptor.get(), name.c_str(), 0) != 0) {
            entry.kept_because = std::string("cannot remove it: ") + std::strerror(errno);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

int prune_older(const std::string& folder, const std::string& older_than, bool json) {
    const std::chrono::seconds age = parse_age(older_than);
    const std::vector<PruneEntry> entries = prune_folder(folder, age);
    const auto removed = static_cast<std::size_t>(
        std::count_if(entries.begin(), entries.end(),
                      [](const PruneEntry& e) { return e.kept_because.empty(); }));
    const bool all_removed = removed == entries.size();
    if (json) {
        Json files = Json::array();
        Json kept = Json::array();
        for (const PruneEntry& e : entries) {
            if (e.kept_because.empty()) {
                files.push_back({{"file", e.file}, {"stored_at", e.stored_at}});
            } else {
                kept.push_back({{"file", e.file}, {"reason", e.kept_because}});
            }
        }
        std::cout << json_text(Json{{"folder", folder},
                                    {"removed", removed},
                                    {"files", files},
                                    {"kept", kept}})
                  << '\n';
        return all_removed ? exit_ok : exit_problem;
    }
    std::cout << "Removed " << removed << " cache files stored more than " << printable(older_than)
              << " ago from " << printable(folder) << '\n';
    TextTable table({"file", "stored at", "age", "state"});
    for (const PruneEntry& e : entries) {
        const bool gone = e.kept_because.empty();
        table.add_row({std::filesystem::path(e.file).filename().string(),
                       gone ? utc_time(e.stored_at) : "",
                       gone ? age_text(seconds_between(e.stored_at, unix_now())) : "",
                       gone ? "removed" : "kept: " + e.kept_because});
    }
    if (!table.empty()) {
        table.print(std::cout);
    }
    return all_removed ? exit_ok : exit_problem;
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
        "prune",
        "Remove the copies stored more than AGE ago (by their stored_at, the age that ls "
        "shows) and list them; copies that cannot be read are kept and listed (exit 1)");
    prune->add_option("FOLDER", args->target, "The cache folder")->required();
    prune->add_option("--older-than", args->older_than, "AGE: 30d, 12h, 90m, 45s or 2w")
        ->required();
    prune->add_flag("--json", args->json, "Print a JSON object");
    prune->callback(
        [args, &status] { status = prune_older(args->target, args->older_than, args->json); });
}

}  // namespace zel_sql_tool
