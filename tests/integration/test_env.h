#ifndef ZEL_SQL_TESTS_INTEGRATION_TEST_ENV_H_
#define ZEL_SQL_TESTS_INTEGRATION_TEST_ENV_H_

// The database servers and files that test_env.sh set up for the integration
// tests, and small helpers around them.

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "zel/sql/Component.h"
#include "zel/sql/Database.h"

namespace zel::sql {

// Shows a component in test failures (found by argument-dependent lookup).
inline void PrintTo(const Component& c, std::ostream* os) {
    *os << "{" << c.name_ << ", " << c.real_name_ << ", " << c.name2_ << ", " << c.section_ << ", "
        << c.group_ << ", " << c.class_ << ", " << c.type_ << ", " << c.friendly_name_ << ", "
        << c.link_name_ << ", x " << c.x_ << ", y " << c.y_ << ", z " << c.z_ << ", s " << c.s_
        << ", flags";
    for (const bool flag : c.flags_) {
        *os << " " << flag;
    }
    *os << "}";
}

}  // namespace zel::sql

namespace zel::sql::integration {

// Credentials of the PostgreSQL role and the MariaDB user that the tests log
// in as (see sql/postgres.sql and sql/mariadb.sql); SQLite takes none.
inline constexpr const char* reader = "tavik_reader";
inline constexpr const char* reader_password = "miran-reader-pw";

// One ODBC data source of the test environment.
struct Backend {
    const char* name;         // test name suffix
    const char* data_source;  // DSN in the generated odbc.ini
    bool is_sqlite;
    // The spelling in which the data dictionary lists the vacuum flag column:
    // SQLite keeps the declared lower case, PostgreSQL shows it upper-cased.
    const char* vacuum_flag_column;
    bool is_mariadb = false;
};

inline constexpr Backend pg_unicode{"PgUnicode", "zel_pg_unicode", false, "FLAG_VACUUM"};
inline constexpr Backend pg_ansi{"PgAnsi", "zel_pg_ansi", false, "FLAG_VACUUM"};
inline constexpr Backend sqlite{"Sqlite", "zel_sqlite", true, "flag_vacuum"};
inline constexpr Backend mariadb{"MariaDb", "zel_mariadb", false, "FLAG_VACUUM", true};

// Every data source that the per-driver tests run on.
inline const std::vector<Backend>& all_backends() {
    static const std::vector<Backend> backends{pg_unicode, pg_ansi, sqlite, mariadb};
    return backends;
}

inline void PrintTo(const Backend& backend, std::ostream* os) {
    *os << backend.name;
}

// Names the instances of a test parameterised by Backend.
struct BackendName {
    template <typename ParamInfo>
    std::string operator()(const ParamInfo& param_info) const {
        return param_info.param.name;
    }
};

// The folder that test_env.sh filled; throws when the tests were started
// without it, so that a missing environment fails instead of skipping.
std::string environment_dir();

// A Database on `backend` as the reader. For SQLite the TAVIK database is
// attached, so that TAVIK-qualified names resolve.
std::unique_ptr<Database> open_database(const Backend& backend);

// Fails the test unless `data_source` accepts the reader's login: the control
// that tells a refused login from a server that is not there at all.
void expect_login_accepted(const char* data_source);

// The long values of sample row 1, as test_env.sh generated them.
std::string expected_long_text();
std::vector<unsigned char> expected_payload();

// Every entry of a folder (not recursive) by name: the content of a regular
// file, "-> target" for a symbolic link, "<folder>" for a folder. Two equal
// snapshots mean that nothing in the folder was written, added or removed.
std::map<std::string, std::string> folder_snapshot(const std::string& folder);

// Stops the server of a PostgreSQL cluster of the environment and starts it
// again on destruction, so a failing test leaves it running for the next one.
class ServerHalt {
public:
    explicit ServerHalt(std::string cluster);
    ServerHalt(const ServerHalt&) = delete;
    ServerHalt& operator=(const ServerHalt&) = delete;
    ~ServerHalt();

private:
    std::string cluster_;
};

// Shuts the server of a PostgreSQL cluster down at once, without waiting for
// its clients, as a crash would (pg_ctl's immediate mode).
void crash_server(const std::string& cluster);

// Starts the server of a PostgreSQL cluster again unless it is running.
void resume_server(const std::string& cluster);

// Waits until `data_source` accepts the reader's login again, for a server that
// is recovering from a crash; fails the test after 30 seconds.
void wait_for_login(const char* data_source);

}  // namespace zel::sql::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_TEST_ENV_H_
