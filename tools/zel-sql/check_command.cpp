// zel-sql check DSN: can the data source be reached, by which driver, how
// fast, and does a facility's component view look as the library needs it.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "exit_status.h"
#include "json_output.h"
#include "terminal_text.h"

namespace zel_sql_tool {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

struct FacilityReport {
    std::string facility;
    std::string view;
    bool view_exists = false;
    std::vector<std::string> columns;
    std::vector<std::string> flag_names;
    std::string read_error;  // the first read of the view that failed
    bool read = false;       // read_from_db gave `rows`
    std::size_t rows = 0;
    double read_seconds = 0.0;
    std::vector<std::string> findings;  // anything unusual, one sentence each
};

// NULL coordinates reach the list as 0.0, so they are counted in the view.
std::vector<std::string> null_positions(zel::sql::Database& db, const std::string& view) {
    const auto counts = first_row(
        db,
        "SELECT SUM(CASE WHEN X IS NULL THEN 1 ELSE 0 END), SUM(CASE WHEN Y IS NULL THEN 1 ELSE 0 "
        "END), SUM(CASE WHEN Z IS NULL THEN 1 ELSE 0 END), SUM(CASE WHEN S IS NULL THEN 1 ELSE 0 "
        "END) FROM " +
            view);
    std::vector<std::string> findings;
    const char* const names[] = {"X", "Y", "Z", "S"};
    for (std::size_t column = 0; column < counts.size() && column < 4; ++column) {
        const std::optional<std::string>& count = counts[column];
        if (count && std::atof(count->c_str()) > 0) {
            findings.push_back(*count + " rows with NULL " + names[column] + " (read as 0)");
        }
    }
    return findings;
}

// The text of a failed read of the view, with its SQLSTATE when it has one.
std::string failure_text(const zel::Error& error) {
    std::string text = error.get_message();
    if (const auto* database_error = dynamic_cast<const zel::sql::DatabaseError*>(&error)) {
        if (!database_error->get_sqlstate().empty()) {
            text += " (SQLSTATE " + database_error->get_sqlstate() + ")";
        }
    }
    return text;
}

// Every read of the view runs under the wait limit; the first that fails (a
// timeout gives the connection up) ends the check of the view as failed.
FacilityReport check_facility(zel::sql::Database& db, const std::string& facility) {
    FacilityReport report;
    report.facility = zel::sql::standardize_facility_name(facility);
    report.view = zel::sql::component_view_full_name(report.facility);
    try {
        report.columns = db.read_column_names(zel::sql::component_view_name(report.facility),
                                              zel::sql::component_view_owner);
    } catch (const zel::Error& e) {
        report.view_exists = true;  // unknown: the failed read is the finding
        report.read_error = failure_text(e);
        return report;
    }
    report.view_exists = !report.columns.empty();
    if (!report.view_exists) {
        report.findings.push_back("the view " + report.view +
                                  " does not exist (or is not visible)");
        return report;
    }
    const std::string prefix(zel::sql::flag_column_prefix);
    for (const std::string& column : report.columns) {
        if (upper(column).rfind(prefix, 0) == 0) {
            report.flag_names.push_back(upper(column).substr(prefix.size()));
        }
    }
    if (report.flag_names.empty()) {
        report.findings.push_back("no " + prefix + " columns: the list has no flags");
    }

    zel::sql::ComponentList list;
    const auto start = Clock::now();
    try {
        list.read_from_db(db, report.facility);
    } catch (const zel::Error& e) {
        report.read_error = failure_text(e);
        return report;
    }
    report.read_seconds = seconds_since(start);
    report.read = true;
    report.rows = list.components_.size();

    std::set<std::string> seen;
    std::set<std::string> duplicates;
    for (const zel::sql::Component& c : list.components_) {
        if (!seen.insert(c.name_).second) {
            duplicates.insert(c.name_);
        }
    }
    if (!duplicates.empty()) {
        std::string names;
        for (const std::string& name : duplicates) {
            names += (names.empty() ? "" : ", ") + name;
        }
        report.findings.push_back(std::to_string(duplicates.size()) + " duplicate names: " + names);
    }
    for (std::size_t i = 1; i < list.components_.size(); ++i) {
        if (list.components_[i].s_ < list.components_[i - 1].s_) {
            report.findings.push_back(
                "s not ascending in view order: " + list.components_[i].name_ + " comes after " +
                list.components_[i - 1].name_);
            break;
        }
    }
    try {
        for (std::string& finding : null_positions(db, report.view)) {
            report.findings.push_back(std::move(finding));
        }
    } catch (const zel::Error& e) {
        report.read_error = failure_text(e);
    }
    return report;
}

struct CheckArguments {
    std::string data_source;
    std::vector<std::string> standbys;
    std::string facility;
    ConnectionOptions login;
    bool json = false;
};

// What one data source did when asked for its driver: "answers", "refused",
// "held back" or "timed out", and, for a PostgreSQL standby, how far its
// replay is behind.
struct SourceReport {
    std::string data_source;
    std::string status;
    double seconds = 0.0;
    std::string error;
    std::string sqlstate;
    std::string reason;
    std::string dbms;
    std::optional<double> replay_delay_seconds;
};

std::string status_of(bool answered, const std::string& sqlstate, const std::string& error) {
    if (answered) {
        return "answers";
    }
    if (sqlstate == "HYT00" || sqlstate == "HYT01") {
        return error.find(" is held back until ") != std::string::npos ? "held back" : "timed out";
    }
    return "refused";
}

// How far a PostgreSQL standby's replay is behind its primary, in seconds;
// nothing on a primary, on another DBMS, or when the server does not tell.
// The statement runs under the wait limit.
// @throws zel::sql::DatabaseError "HYT00" when the standby stops answering.
std::optional<double> replay_delay(zel::sql::Database& db, const std::string& dbms) {
    if (dbms.find("PostgreSQL") == std::string::npos) {
        return std::nullopt;
    }
    try {
        const auto row =
            first_row(db,
                      "SELECT CASE WHEN pg_is_in_recovery() THEN "
                      "EXTRACT(EPOCH FROM now() - pg_last_xact_replay_timestamp()) END");
        if (row.empty() || !row[0] || row[0]->empty()) {
            return std::nullopt;
        }
        return std::stod(*row[0]);
    } catch (const zel::sql::DatabaseError& e) {
        if (e.get_sqlstate() == "HYT00") {
            throw;
        }
        return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;  // the server does not tell
    }
}

// A standby, checked on a Database of its own: its login under the wait limit.
SourceReport check_standby(const std::string& data_source, const CheckArguments& args,
                           const std::string& password) {
    SourceReport report;
    report.data_source = data_source;
    zel::sql::Database db(data_source, args.login.user, password);
    db.set_wait_limit(wait_limit(args.login));
    const auto start = Clock::now();
    zel::sql::DriverInfo driver;
    try {
        driver = db.get_driver_info();
    } catch (const zel::sql::DatabaseError& e) {
        report.error = e.get_message();
        report.sqlstate = e.get_sqlstate();
    } catch (const zel::Error& e) {
        report.error = e.get_message();
    }
    report.seconds = seconds_since(start);
    const bool answered = report.error.empty() && db.is_connected();
    report.status = status_of(answered, report.sqlstate, report.error);
    if (!answered) {
        report.reason = db.get_last_connect_error();
        return report;
    }
    report.dbms = driver.dbms_name + " " + driver.dbms_version;
    try {
        report.replay_delay_seconds = replay_delay(db, driver.dbms_name);
    } catch (const zel::sql::DatabaseError& e) {
        report.error = e.get_message();
        report.sqlstate = e.get_sqlstate();
        report.status = status_of(false, report.sqlstate, report.error);
        report.seconds = seconds_since(start);
    }
    return report;
}

// One line per standby, under the data source's name: "standby:     NAME
// answers in 0.012 s, replay 0.4 s behind".
void print_standbys(const std::vector<SourceReport>& standbys) {
    for (const SourceReport& report : standbys) {
        std::cout << std::fixed << std::setprecision(3)
                  << "standby:     " << printable(report.data_source) << ' ' << report.status
                  << (report.status == "answers" ? " in " : " after ") << report.seconds << " s";
        if (report.status == "answers") {
            if (report.replay_delay_seconds) {
                std::cout << ", replay " << *report.replay_delay_seconds << " s behind";
            }
        } else {
            std::string why = report.error;
            if (!report.reason.empty() && why.find(report.reason) == std::string::npos) {
                why += why.empty() ? report.reason : ": " + report.reason;
            }
            std::cout << ": " << printable(why);
            if (!report.sqlstate.empty()) {
                std::cout << " (SQLSTATE " << report.sqlstate << ")";
            }
        }
        std::cout << '\n';
    }
}

int check(const CheckArguments& args) {
    const std::string password = read_password(args.login, args.data_source);
    // Each standby is checked on a thread of its own, on a Database of its
    // own, while the data source is: silent sources wait out their limits
    // side by side, and the check ends within one limit, not one per source.
    std::vector<std::future<SourceReport>> standby_checks;
    for (const std::string& standby : args.standbys) {
        standby_checks.push_back(std::async(std::launch::async, [&args, &password, standby] {
            return check_standby(standby, args, password);
        }));
    }

    zel::sql::Database db(args.data_source, args.login.user, password);
    db.set_wait_limit(wait_limit(args.login));

    // The login, timed: the --init-sql statements, or the question for the
    // driver's and the server's names. Both run under the wait limit. A
    // statement that times out gives the connection up: nothing more is asked
    // of a server that stopped answering.
    std::string login_error;
    std::string login_sqlstate;
    bool logged_in = false;
    zel::sql::DriverInfo driver;
    bool driver_known = false;
    const auto start = Clock::now();
    try {
        if (!args.login.init_sql.empty() && log_in(db)) {
            logged_in = true;
            run_init_sql(db, args.login);
        }
    } catch (const zel::sql::DatabaseError& e) {
        login_error = e.get_message();
        login_sqlstate = e.get_sqlstate();
    } catch (const zel::Error& e) {
        login_error = e.get_message();
    }
    // Asked also after a refused login without an SQLSTATE of its own: its
    // refusal carries the SQLSTATE of the login.
    if (db.is_connected() || login_error.empty() || login_sqlstate.empty()) {
        try {
            driver = db.get_driver_info();
            driver_known = true;
        } catch (const zel::sql::DatabaseError& e) {
            if (login_error.empty()) {
                login_error = e.get_message();
            }
            if (login_sqlstate.empty()) {
                login_sqlstate = e.get_sqlstate();
            }
        } catch (const zel::Error& e) {
            if (login_error.empty()) {
                login_error = e.get_message();
            }
        }
    }
    const double login_seconds = seconds_since(start);
    const bool connected = logged_in || db.is_connected();
    const std::string refusal = connected ? std::string() : db.get_last_connect_error();

    std::unique_ptr<FacilityReport> facility;
    if (connected && login_error.empty() && !args.facility.empty()) {
        facility = std::make_unique<FacilityReport>(check_facility(db, args.facility));
    }
    std::vector<SourceReport> standbys;
    for (std::future<SourceReport>& standby : standby_checks) {
        standbys.push_back(standby.get());
    }
    const bool standby_failed =
        std::any_of(standbys.begin(), standbys.end(),
                    [](const SourceReport& report) { return report.status != "answers"; });
    const bool problem = !connected || !login_error.empty() || standby_failed ||
                         (facility && (!facility->view_exists || !facility->read_error.empty()));
    const std::string sqlstate_text =
        login_sqlstate.empty() ? std::string() : " (SQLSTATE " + login_sqlstate + ")";

    if (args.json) {
        Json out;
        out["data_source"] = args.data_source;
        out["connected"] = connected;
        out["login_seconds"] = login_seconds;
        if (!connected) {
            out["refusal"] = refusal.empty() ? login_error : refusal;
            out["error"] = login_error;
            out["sqlstate"] = login_sqlstate;
            out["reason"] = refusal;
        } else if (!login_error.empty()) {
            out["init_sql_error"] = login_error;
            out["error"] = login_error;
            out["sqlstate"] = login_sqlstate;
            out["reason"] = "";
        }
        out["driver"] = {{"name", driver.driver_name},
                         {"version", driver.driver_version},
                         {"odbc_version", driver.odbc_version}};
        out["dbms"] = {{"name", driver.dbms_name}, {"version", driver.dbms_version}};
        if (facility) {
            out["facility"] = {{"name", facility->facility},
                               {"view", facility->view},
                               {"view_exists", facility->view_exists},
                               {"columns", facility->columns},
                               {"flag_names", facility->flag_names},
                               {"rows", facility->rows},
                               {"read_seconds", facility->read_seconds},
                               {"read_error", facility->read_error},
                               {"findings", facility->findings}};
        }
        if (!standbys.empty()) {
            Json sources = Json::array();
            sources.push_back({{"data_source", args.data_source},
                               {"status", status_of(connected && login_error.empty(),
                                                    login_sqlstate, login_error)},
                               {"seconds", login_seconds},
                               {"error", login_error},
                               {"sqlstate", login_sqlstate},
                               {"reason", refusal}});
            for (const SourceReport& report : standbys) {
                Json source = {{"data_source", report.data_source}, {"status", report.status},
                               {"seconds", report.seconds},         {"error", report.error},
                               {"sqlstate", report.sqlstate},       {"reason", report.reason}};
                source["replay_delay_seconds"] = report.replay_delay_seconds
                                                     ? Json(*report.replay_delay_seconds)
                                                     : Json(nullptr);
                sources.push_back(std::move(source));
            }
            out["sources"] = std::move(sources);
        }
        std::cout << json_text(out) << '\n';
        return problem ? exit_problem : exit_ok;
    }

    std::cout << std::fixed << std::setprecision(3)
              << "data source: " << printable(args.data_source) << '\n';
    print_standbys(standbys);
    if (!connected) {
        std::string why = login_error;
        if (!refusal.empty() && why.find(refusal) == std::string::npos) {
            why += why.empty() ? refusal : ": " + refusal;
        }
        std::cout << "login:       REFUSED after " << login_seconds << " s: " << printable(why)
                  << sqlstate_text << '\n';
        return exit_problem;
    }
    std::cout << "login:       " << login_seconds << " s\n";
    if (driver_known) {  // not asked of a server that stopped answering
        std::cout << "driver:      " << printable(driver.driver_name) << ' '
                  << printable(driver.driver_version) << " (ODBC " << printable(driver.odbc_version)
                  << ")\n"
                  << "dbms:        " << printable(driver.dbms_name) << ' '
                  << printable(driver.dbms_version) << '\n';
    }
    if (!login_error.empty()) {
        std::cout << "init-sql:    FAILED: " << printable(login_error) << sqlstate_text << '\n';
        return exit_problem;
    }
    if (facility) {
        std::cout << "facility:    " << printable(facility->facility) << '\n'
                  << "view:        " << printable(facility->view)
                  << (facility->view_exists ? "" : " (does not exist)") << '\n';
        if (facility->view_exists) {
            std::string columns;
            for (const std::string& column : facility->columns) {
                columns += (columns.empty() ? "" : " ") + column;
            }
            std::string flags;
            for (const std::string& flag : facility->flag_names) {
                flags += (flags.empty() ? "" : " ") + flag;
            }
            if (!facility->columns.empty()) {
                std::cout << "columns:     " << printable(columns) << '\n'
                          << "flags:       " << printable(flags) << '\n';
            }
            if (facility->read) {
                std::cout << "rows:        " << facility->rows << ", read in "
                          << facility->read_seconds << " s\n";
            }
            if (!facility->read_error.empty()) {
                // A failed read is the check failing (exit 1), not something unusual.
                std::cout << "read:        FAILED: " << printable(facility->read_error) << '\n';
            }
        }
        for (const std::string& finding : facility->findings) {
            std::cout << "unusual:     " << printable(finding) << '\n';
        }
    }
    return problem ? exit_problem : exit_ok;
}

}  // namespace

void add_check_command(CLI::App& app, int& status) {
    auto args = std::make_shared<CheckArguments>();
    CLI::App* command = app.add_subcommand(
        "check",
        "Log in to a data source and report the driver, the DBMS and the login time, or the "
        "refusal with its SQLSTATE; with --facility, check the facility's component view");
    command->add_option("DSN", args->data_source, "The ODBC data source name")->required();
    command->add_option("--standby", args->standbys,
                        "Also check this standby of the data source (repeatable): it answers, "
                        "is refused, held back or timed out, and for a PostgreSQL standby how "
                        "far its replay is behind");
    command->add_option("--facility", args->facility,
                        "Check TAVIK.<FACILITY>_VIEW_COMPONENTS: columns, flags, rows, the time "
                        "of a full read, and anything unusual");
    command->add_flag("--json", args->json, "Print a JSON object");
    add_connection_options(*command, args->login);
    command->callback([args, &status] { status = check(*args); });
}

}  // namespace zel_sql_tool
