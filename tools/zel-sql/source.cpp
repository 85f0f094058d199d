#include "source.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include <zel/sql/component_view.h>
#include <zel/sql/trust.h>

namespace zel_sql_tool {

SourceName parse_source(const std::string& source) {
    SourceName name;
    std::error_code ignored;
    const std::string::size_type colon = source.find(':');
    if (!std::filesystem::exists(source, ignored) && colon != std::string::npos && colon > 0 &&
        colon + 1 < source.size()) {
        name.is_file = false;
        name.data_source = source.substr(0, colon);
        name.facility = source.substr(colon + 1);
    } else {
        name.file = source;
    }
    return name;
}

namespace {

// The facility of a backup file named as read_from_db_with_backup names it.
std::string facility_of_backup_file(const std::string& file) {
    const std::string stem = std::filesystem::path(file).filename().string();
    const std::string prefix(zel::sql::backup_file_prefix);
    const std::string suffix(zel::sql::backup_file_suffix);
    if (stem.size() > prefix.size() + suffix.size() && stem.rfind(prefix, 0) == 0 &&
        stem.compare(stem.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return stem.substr(prefix.size(), stem.size() - prefix.size() - suffix.size());
    }
    return std::string();
}

}  // namespace

LoadedList load_source(const std::string& source, const ConnectionOptions& login) {
    const SourceName name = parse_source(source);
    LoadedList loaded;
    loaded.label = source;
    const auto start = std::chrono::steady_clock::now();
    if (name.is_file) {
        loaded.untrusted_reason = zel::sql::why_untrusted(name.file);
        loaded.list.read_from_file(name.file);
        loaded.facility = facility_of_backup_file(name.file);
        struct stat status {};
        if (stat(name.file.c_str(), &status) == 0) {
            loaded.file_modified = static_cast<std::int64_t>(status.st_mtime);
        }
    } else {
        loaded.facility = zel::sql::standardize_facility_name(name.facility);
        zel::sql::Database db(name.data_source, login.user, read_password(login, name.data_source));
        db.set_wait_limit(wait_limit(login));
        try {
            run_init_sql(db, login);
            loaded.list.read_from_db(db, loaded.facility);
        } catch (const zel::Error& e) {
            throw failure_of(e, &db, exit_usage);
        }
    }
    loaded.read_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return loaded;
}

}  // namespace zel_sql_tool
