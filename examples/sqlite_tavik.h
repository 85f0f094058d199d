#ifndef ZEL_SQL_EXAMPLES_SQLITE_TAVIK_H_
#define ZEL_SQL_EXAMPLES_SQLITE_TAVIK_H_

// Makes an SQLite database look like a server with a TAVIK schema.
//
// The component list reads TAVIK.<FACILITY>_VIEW_COMPONENTS. SQLite has no
// schemas, only attached database files, so the demo database keeps the views
// in its main file and this helper attaches that same file a second time under
// the name TAVIK. A server with a real TAVIK schema (Oracle, PostgreSQL) needs
// none of this. An attachment lasts as long as the connection.

#include <string>

#include <zel/sql.h>

namespace examples {

inline void attach_main_file_as_tavik(zel::sql::Database& db) {
    std::string file;
    {
        zel::sql::Query main_file =
            db.send_query("SELECT file FROM pragma_database_list WHERE name = 'main'");
        if (!main_file.fetch_checked()) {
            throw zel::Error("SQLite reports no main database file");
        }
        file = main_file.get_column_as_string(1, nullptr);
    }  // the Query ends its statement before the next one starts

    std::string literal;
    for (const char c : file) {
        literal += c;
        if (c == '\'') {
            literal += '\'';
        }
    }
    db.send_query("ATTACH DATABASE '" + literal + "' AS TAVIK");
}

}  // namespace examples

#endif  // ZEL_SQL_EXAMPLES_SQLITE_TAVIK_H_
