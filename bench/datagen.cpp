// Writes the benchmark facilities as CSV files and the SQL script that loads
// them into PostgreSQL (through psql) or SQLite (through the sqlite3 shell).
//
//   zel_sql_bench_datagen postgres|sqlite <output folder>
//
// The script is written to <output folder>/load-<dialect>.sql and refers to
// the CSV files beside it.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "component_fixture.h"

namespace {

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
            << "CREATE VIEW tavik." << f.name << "_VIEW_COMPONENTS AS SELECT * FROM " << table
            << ";\n";
    }
    sql << "ANALYZE;\n";
}

// SQLite has no schemas: everything lives in the main file, which the
// benchmarks attach a second time as TAVIK.
void write_sqlite(std::ostream& sql, const std::string& folder) {
    sql << ".bail on\n"
           "PRAGMA journal_mode = OFF;\n"
           "CREATE TABLE ALL_TAB_COLUMNS (OWNER TEXT, TABLE_NAME TEXT, COLUMN_NAME TEXT);\n";
    for (const Facility& f : facilities) {
        const std::string table = std::string(f.name) + "_COMPONENTS";
        const std::string view = std::string(f.name) + "_VIEW_COMPONENTS";
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
    if (argc != 3 || (std::string(argv[1]) != "postgres" && std::string(argv[1]) != "sqlite")) {
        std::cerr << "usage: " << argv[0] << " postgres|sqlite <output folder>\n";
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
    } else {
        write_sqlite(sql, folder);
    }
    if (!sql) {
        std::cerr << "cannot write the load script in " << folder << "\n";
        return 1;
    }
    return 0;
}
