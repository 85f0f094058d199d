// Loads the component list of a facility the way a control program starts up:
// from the database when it can be read, otherwise from the backup file that
// the last successful load left in the working directory.
//
//   load_component_list [--sqlite] DATA_SOURCE FACILITY [COMPONENT]
//
// DATA_SOURCE is an ODBC data source (odbc.ini); FACILITY may be given in any
// accepted spelling (" miran.test " is MIRAN). COMPONENT, if given, is looked
// up by name. --sqlite attaches the database file as schema TAVIK first.

#include <cstring>
#include <iostream>
#include <string>

#include <zel/sql.h>

#include "sqlite_tavik.h"

int main(int argc, char** argv) {
    int arg = 1;
    const bool sqlite = argc > arg && std::strcmp(argv[arg], "--sqlite") == 0;
    if (sqlite) {
        ++arg;
    }
    if (argc - arg < 2 || argc - arg > 3) {
        std::cerr << "usage: load_component_list [--sqlite] DATA_SOURCE FACILITY [COMPONENT]\n";
        return 2;
    }
    const std::string data_source = argv[arg];
    const std::string facility = argv[arg + 1];

    // Nothing is contacted yet: the first statement connects. An empty user
    // and password leave the credentials to the data source definition.
    zel::sql::Database db(data_source, "", "");
    if (sqlite) {
        try {
            examples::attach_main_file_as_tavik(db);
        } catch (const zel::Error& e) {
            // Not fatal: the load below falls back to the backup file.
            std::cerr << "Cannot prepare the database: " << e.what() << '\n';
        }
    }

    zel::sql::ComponentList list;
    const std::string backup_file =
        "db_component_list_" + zel::sql::standardize_facility_name(facility) + ".txt";
    // Behind "Unable to allocate SQL statement handle": why the login was
    // refused, in the driver's words; empty once a login succeeded.
    const auto report_refused_login = [&db] {
        if (!db.get_last_connect_error().empty()) {
            std::cerr << "login refused: " << db.get_last_connect_error() << '\n';
        }
    };
    try {
        // Empty on full success; otherwise the reason why the list came from
        // the backup file (or why the backup could not be rewritten).
        const std::string warning = list.read_from_db_with_backup(db, facility);
        if (!warning.empty()) {
            std::cerr << "warning: " << warning << '\n';
            report_refused_login();
        }
    } catch (const zel::Error& e) {
        // Both the database and the backup file failed.
        std::cerr << "Cannot load the component list: " << e.what() << '\n';
        report_refused_login();
        return 1;
    }

    std::cout << list.components_.size() << " components with " << list.flag_names_.size()
              << " flags, backup copy in " << backup_file << '\n';
    std::cout << "flags:";
    for (const std::string& flag : list.flag_names_) {
        std::cout << ' ' << flag;
    }
    std::cout << '\n';

    if (argc - arg == 3) {
        // Names are compared with ASCII letter case ignored.
        const zel::sql::Component* c = list.find_component_by_name(argv[arg + 2]);
        if (c == nullptr) {
            std::cout << argv[arg + 2] << ": no such component\n";
            return 1;
        }
        std::cout << c->name_ << " (" << c->friendly_name_ << "): s = " << c->s_
                  << " m, z = " << c->z_ << " m, section " << c->section_ << '\n';
    }
    return 0;
}
