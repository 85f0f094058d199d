// Reads rows with a Query, in the two ways the library offers: buffers bound
// to columns, which every fetch fills, and single columns read one by one
// after each fetch.
//
//   query_rows [--sqlite] DATA_SOURCE
//
// The statements read the demo facility's view TAVIK.MIRAN_VIEW_COMPONENTS.
// --sqlite attaches the database file as schema TAVIK first.

#include <cstdint>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <string>

#include <zel/sql.h>

#include "sqlite_tavik.h"

namespace {

// Bound columns: the cheapest way through many rows, one driver call per row.
void list_bpms(zel::sql::Database& db) {
    zel::sql::Query rows = db.send_query(
        "SELECT NAME, S, Z FROM TAVIK.MIRAN_VIEW_COMPONENTS"
        " WHERE FLAG_RING = 1 AND FLAG_BPM = 1 AND S BETWEEN 100 AND 150 ORDER BY S");

    // The driver writes into these at every fetch: they must stay alive, at
    // the same address, as long as the Query may fetch.
    char name[256];
    double s = 0.0;
    double z = 0.0;
    rows.bind_column(1, name, sizeof name);  // text, NUL-terminated, cut at 255 bytes
    rows.bind_column(2, &s, 1);
    rows.bind_column(3, &z, 1);

    std::cout << "BPMs of the ring between s = 100 m and s = 150 m:\n";
    std::cout << std::fixed << std::setprecision(3);
    // fetch_checked() tells the end of the rows (false) from a driver error
    // (an exception); plain fetch() returns false for both.
    while (rows.fetch_checked()) {
        std::cout << "  " << std::left << std::setw(10) << name << std::right
                  << "  s = " << std::setw(8) << s << "  z = ";
        // A NULL leaves the bound buffer as it was: ask for it explicitly.
        if (rows.is_null(3)) {
            std::cout << "NULL (not surveyed)\n";
        } else {
            std::cout << std::setw(8) << z << '\n';
        }
    }
}

// Column by column: convenient for a few rows of mixed or unknown size.
void count_by_class(zel::sql::Database& db) {
    zel::sql::Query rows = db.send_query(
        "SELECT CLASS, COUNT(*), MIN(S), MAX(S) FROM TAVIK.MIRAN_VIEW_COMPONENTS"
        " GROUP BY CLASS ORDER BY CLASS");

    std::cout << "Components by class:\n";
    while (rows.fetch_checked()) {
        // Read the columns of a row in ascending order: many drivers can
        // deliver them only that way.
        bool class_is_null = false;
        const std::string component_class = rows.get_column_as_string(1, &class_is_null);
        const std::int32_t count = rows.get_column_as_int32_t(2, nullptr);
        const double first_s = rows.get_column_as_double(3, nullptr);
        const double last_s = rows.get_column_as_double(4, nullptr);
        std::cout << "  " << std::left << std::setw(10)
                  << (class_is_null ? "(none)" : component_class) << std::right << std::setw(6)
                  << count << "  s from " << std::setw(8) << first_s << " to " << std::setw(8)
                  << last_s << '\n';
    }
}

}  // namespace

int main(int argc, char** argv) {
    int arg = 1;
    const bool sqlite = argc > arg && std::strcmp(argv[arg], "--sqlite") == 0;
    if (sqlite) {
        ++arg;
    }
    if (argc - arg != 1) {
        std::cerr << "usage: query_rows [--sqlite] DATA_SOURCE\n";
        return 2;
    }

    zel::sql::Database db(argv[arg], "", "");
    try {
        if (sqlite) {
            examples::attach_main_file_as_tavik(db);
        }
        list_bpms(db);
        count_by_class(db);
    } catch (const zel::sql::DatabaseError& e) {
        // The driver refused a statement: its diagnostics and the SQL text are
        // in the message, its SQLSTATE tells the kind of failure ("08...":
        // the connection; the next call logs in again).
        std::cerr << "Database error (SQLSTATE " << e.get_sqlstate() << "): " << e.what() << '\n';
        return 1;
    } catch (const zel::Error& e) {
        std::cerr << "Database error: " << e.what() << '\n';
        // A refused login fails the first statement; the driver said why.
        if (!db.get_last_connect_error().empty()) {
            std::cerr << "Login refused: " << db.get_last_connect_error() << '\n';
        }
        return 1;
    }
    return 0;
}
