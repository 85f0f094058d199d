// Loads the large facility once and reports the process's peak resident set
// size before and after, from getrusage.
//
//   zel_sql_bench_peak_memory DSN [SQLITE_FILE]
//   zel_sql_bench_peak_memory --generated
//   zel_sql_bench_peak_memory --write FILE
//
// Prints one line: "<peak KiB before> <peak KiB after> <components>". With
// --generated the list is built in memory instead, which shows what the list
// itself occupies without any driver. With --write the generated list is
// written to FILE: "before" is then the resident size with the list in
// memory, "after" the peak while writing it.

#include <sys/resource.h>

#include <fstream>
#include <iostream>
#include <string>

#include "component_fixture.h"
#include "zel/Error.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"

namespace {

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A "Vm...:" figure of /proc/self/status in KiB, or -1.
long status_kib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string name;
    long value = -1;
    while (status >> name) {
        if (name == field + ":") {
            status >> value;
            return value;
        }
        status.ignore(256, '\n');
    }
    return -1;
}

// The peak of writing the list alone: the peak so far is reset to the current
// resident size first, so that the making of the list does not hide it.
int measure_write(const std::string& file) {
    const zel::sql::ComponentList list =
        zel::sql::bench::make_component_list(zel::sql::bench::large_facility_size);
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = status_kib("VmRSS");
    try {
        list.write_to_file(file);
    } catch (const zel::Error& e) {
        std::cerr << "write_to_file: " << e.get_message() << "\n";
        return 1;
    }
    std::cout << before << " " << status_kib("VmHWM") << " " << list.components_.size() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: " << argv[0] << " DSN [SQLITE_FILE]\n";
        return 2;
    }
    if (argc == 3 && std::string(argv[1]) == "--write") {
        return measure_write(argv[2]);
    }
    if (std::string(argv[1]) == "--generated") {
        const long before = peak_rss_kib();
        const zel::sql::ComponentList list =
            zel::sql::bench::make_component_list(zel::sql::bench::large_facility_size);
        std::cout << before << " " << peak_rss_kib() << " " << list.components_.size() << "\n";
        return 0;
    }
    try {
        zel::sql::Database db(argv[1], "", "");
        if (argc == 3) {
            db.send_query(zel::sql::bench::attach_tavik_statement(argv[2]));
        }
        const long before = peak_rss_kib();
        zel::sql::ComponentList list;
        list.read_from_db(db, zel::sql::bench::large_facility);
        std::cout << before << " " << peak_rss_kib() << " " << list.components_.size() << "\n";
        return 0;
    } catch (const zel::Error& e) {
        std::cerr << argv[0] << ": " << e.get_message() << "\n";
        return 1;
    }
}
