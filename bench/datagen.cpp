// Writes the benchmark facilities as CSV files and the SQL script that loads
// them into PostgreSQL (through psql), MariaDB (through the mariadb client,
// with --local-infile) or SQLite (through the sqlite3 shell).
//
//   zel_sql_bench_datagen postgres|mariadb|sqlite <output folder>
//
// The script is written to <output folder>/load-<dialect>.sql and refers to
// the CSV files beside it.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "component_fixture.h"
#include "zel/sql/component_view.h"

namespace {

using zel::sql::component_view_full_name;
using zel::sql::component_view_name;
using zel::sql::bench::column_definitions;

struct Facility {
    const char* name;
    std::size_t size;
};

constexpr Facility facilities[] = {
    {zel::sql::bench::large_facility, zel::sql::bench::large_facility_size},
    {zel::sql::bench::small_facility, zel::sql::bench::small_facility_size},
};

// ALL_TAB_COLUMNS answers with owner, table and column names in upper case,
// the columns of a table in their order.
void write_postgres(std::ostream& sql, const std::string& folder) {
    sql << "\\set ON_ERROR_STOP on\n"
           "DROP SCHEMA IF EXISTS tavik CASCADE;\n"
           "CREATE SCHEMA tavik;\n"
           "DROP VIEW IF EXISTS all_tab_columns;\n"
           "CREATE VIEW all_tab_columns AS SELECT upper(table_schema::text) AS owner, "
           "upper(table_name::text) AS table_name, upper(column_name::text) AS column_name "
           "FROM information_schema.columns ORDER BY table_schema, table_name, "
           "ordinal_position;\n";
    for (const Facility& f : facilities) {
        const std::string table = std::string("tavik.") + f.name + "_COMPONENTS";
        sql << "CREATE TABLE " << table << " ("
            << column_definitions("varchar(255)", "double precision", "smallint") << ");\n"
            << "\\copy " << table << " FROM '" << folder << "/" << f.name
            << ".csv' WITH (FORMAT csv)\n"
            << "CREATE VIEW tavik." << component_view_name(f.name) << " AS SELECT * FROM " << table
            << ";\n";
    }
    sql << "ANALYZE;\n";
}

// In MariaDB a schema is a database: TAVIK holds the facilities, and the
// login's default database zel_bench the dictionary view. Its names compare
// byte for byte and without padding, as in Oracle.
void write_mariadb(std::ostream& sql, const std::string& folder) {
    sql << "DROP DATABASE IF EXISTS TAVIK;\n"
           "CREATE DATABASE TAVIK CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;\n"
           "CREATE DATABASE IF NOT EXISTS zel_bench;\n"
           "CREATE OR REPLACE VIEW zel_bench.ALL_TAB_COLUMNS AS SELECT "
           "CONVERT(UPPER(TABLE_SCHEMA) USING utf8mb4) COLLATE utf8mb4_nopad_bin AS OWNER, "
           "CONVERT(UPPER(TABLE_NAME) USING utf8mb4) COLLATE utf8mb4_nopad_bin AS TABLE_NAME, "
           "CONVERT(UPPER(COLUMN_NAME) USING utf8mb4) COLLATE utf8mb4_nopad_bin AS COLUMN_NAME "
           "FROM information_schema.COLUMNS ORDER BY TABLE_SCHEMA, TABLE_NAME, "
           "ORDINAL_POSITION;\n";
    for (const Facility& f : facilities) {
        const std::string table = std::string("TAVIK.") + f.name + "_COMPONENTS";
        sql << "CREATE TABLE " << table << " ("
            << column_definitions("varchar(255)", "double", "smallint") << ");\n"
            << "LOAD DATA LOCAL INFILE '" << folder << "/" << f.name << ".csv' INTO TABLE " << table
            << " CHARACTER SET utf8mb4 FIELDS TERMINATED BY ',' ESCAPED BY '' "
            << "LINES TERMINATED BY '\\n';\n"
            << "CREATE VIEW " << component_view_full_name(f.name) << " AS SELECT * FROM " << table
            << ";\n";
    }
    sql << "ANALYZE TABLE";
    const char* separator = " ";
    for (const Facility& f : facilities) {
        sql << separator << "TAVIK." << f.name << "_COMPONENTS";
        separator = ", ";
    }
    sql << ";\n";
}

// SQLite has no schemas: everything lives in the main file, which the
// benchmarks attach a second time as TAVIK.
void write_sqlite(std::ostream& sql, const std::string& folder) {
    sql << ".bail on\n"
           "PRAGMA journal_mode = OFF;\n"
           "CREATE TABLE ALL_TAB_COLUMNS (OWNER TEXT, TABLE_NAME TEXT, COLUMN_NAME TEXT);\n";
    for (const Facility& f : facilities) {
        const std::string table = std::string(f.name) + "_COMPONENTS";
        const std::string view = component_view_name(f.name);
        sql << "CREATE TABLE " << table << " (" << column_definitions("TEXT", "REAL", "INTEGER")
            << ");\n"
            << ".import --csv '" << folder << "/" << f.name << ".csv' " << table << "\n"
            << "CREATE VIEW " << view << " AS SELECT * FROM " << table << ";\n"
            << "INSERT INTO ALL_TAB_COLUMNS SELECT 'TAVIK', '" << view
            << "', name FROM pragma_table_info('" << view << "') ORDER BY cid;\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dialects[] = {"postgres", "mariadb", "sqlite"};
    if (argc != 3 ||
        std::find(std::begin(dialects), std::end(dialects), argv[1]) == std::end(dialects)) {
        std::cerr << "usage: " << argv[0] << " postgres|mariadb|sqlite <output folder>\n";
        return 2;
    }
    const std::string dialect = argv[1];
    const std::string folder = argv[2];
    for (const Facility& f : facilities) {
        std::ofstream csv(folder + "/" + f.name + ".csv");
        zel::sql::bench::write_csv(zel::sql::bench::make_component_list(f.size), csv);
        if (!csv) {
            std::cerr << "cannot write " << folder << "/" << f.name << ".csv\n";
            return 1;
        }
    }
    std::ofstream sql(folder + "/load-" + dialect + ".sql");
    if (dialect == "postgres") {
        write_postgres(sql, folder);
    } else if (dialect == "mariadb") {
        write_mariadb(sql, folder);
    } else {
        write_sqlite(sql, folder);
    }
    if (!sql) {
        std::cerr << "cannot write the load script in " << folder << "\n";
        return 1;
    }
    return 0;
}
