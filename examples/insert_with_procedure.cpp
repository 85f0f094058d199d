// Runs one statement with parameters several times through a Procedure, then
// reads the result back with a Query.
//
//   insert_with_procedure DATA_SOURCE
//
// On an Oracle-style server the text would be a stored-procedure call such as
// "{call TAVIK.LOG_SETPOINT(?, ?)}"; the demo database has no procedures, so
// a plain INSERT with the same two markers stands in for it.

#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <zel/sql.h>

namespace {

using zel::sql::CDataType;
using zel::sql::ParameterType;
using zel::sql::SqlDataType;

struct Setpoint {
    std::string magnet;
    double current_a;
};

void log_setpoints(zel::sql::Database& db, const std::vector<Setpoint>& setpoints) {
    // Nothing is executed yet: the text runs at every exec().
    zel::sql::Procedure insert =
        db.get_procedure("INSERT INTO SETPOINT_LOG (NAME, CURRENT_A) VALUES (?, ?)");

    // The statement reads the parameters from these buffers at every exec():
    // they must stay alive, at the same address, until the last exec().
    std::string name;
    double current_a = 0.0;
    insert.bind_parameter(2, ParameterType::in, CDataType::c_double, SqlDataType::s_double, 15, 0,
                          &current_a, sizeof current_a);

    for (const Setpoint& setpoint : setpoints) {
        name = setpoint.magnet;
        current_a = setpoint.current_a;
        // A bound input is sent as exactly buf_len bytes, so a text of a new
        // length is bound again before the statement runs.
        insert.bind_parameter(1, ParameterType::in, CDataType::c_char, SqlDataType::s_varchar, 64,
                              0, name.data(), static_cast<SQLLEN>(name.size()));
        insert.exec();
    }
}  // the Procedure frees its statement here, before the Database goes

void print_log(zel::sql::Database& db) {
    zel::sql::Query rows =
        db.send_query("SELECT NAME, CURRENT_A FROM SETPOINT_LOG ORDER BY NAME, CURRENT_A");
    char name[65];
    double current_a = 0.0;
    rows.bind_column(1, name, sizeof name);
    rows.bind_column(2, &current_a, 1);
    std::cout << "SETPOINT_LOG now holds:\n" << std::fixed << std::setprecision(2);
    while (rows.fetch_checked()) {
        // get_bytes_read() is the length the driver delivered for the value.
        std::cout << "  " << std::left << std::setw(10) << name << std::right << std::setw(9)
                  << current_a << " A  (name: " << rows.get_bytes_read(1) << " bytes)\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: insert_with_procedure DATA_SOURCE\n";
        return 2;
    }
    zel::sql::Database db(argv[1], "", "");
    try {
        log_setpoints(db, {{"RG.QF001", 112.5}, {"RG.QD001", -108.25}, {"TL.BEND001", 731.0}});
        print_log(db);
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
