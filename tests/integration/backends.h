#ifndef ZEL_SQL_TESTS_INTEGRATION_BACKENDS_H_
#define ZEL_SQL_TESTS_INTEGRATION_BACKENDS_H_

// The data sources of the integration test environment, the reader's login
// and the name of the SQLite TAVIK file, as backends.ini describes them (the
// setup script and the Python tests read the same file).
//
// The description is read once, on first use, from the file that the build
// names (ZEL_SQL_TEST_BACKENDS_FILE); the names below are bound to it before
// main, so that the test lists exist without the database servers. A file
// that cannot be read or lacks an entry stops the program with the reason.

#include <ostream>
#include <string>
#include <vector>

namespace zel::sql::test::integration {

// One ODBC data source of the test environment. The texts live as long as
// the program.
struct Backend {
    const char* name;         // test name suffix
    const char* data_source;  // DSN in the generated odbc.ini
    bool is_sqlite;
    // The spelling in which the data dictionary lists the vacuum flag column:
    // SQLite keeps the declared lower case, PostgreSQL shows it upper-cased.
    const char* vacuum_flag_column;
    bool is_mariadb = false;
};

// The backend of section "[backend <key>]" of backends.ini.
const Backend& backend(const std::string& key);

// Every data source that the per-driver tests run on, in the file's order.
const std::vector<Backend>& all_backends();

// Credentials of the PostgreSQL role and the MariaDB user that the tests log
// in as (see sql/postgres.sql and sql/mariadb.sql); SQLite takes none.
const std::string& reader_login();
const std::string& reader_login_password();

// The file of the environment folder that SQLite data sources attach as TAVIK.
const std::string& tavik_sqlite_file();

inline const char* const reader = reader_login().c_str();
inline const char* const reader_password = reader_login_password().c_str();

inline const Backend& pg_unicode = backend("pg_unicode");
inline const Backend& pg_ansi = backend("pg_ansi");
inline const Backend& sqlite = backend("sqlite");
inline const Backend& mariadb = backend("mariadb");

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

}  // namespace zel::sql::test::integration

#endif  // ZEL_SQL_TESTS_INTEGRATION_BACKENDS_H_
