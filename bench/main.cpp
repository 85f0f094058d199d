// The benchmark program: the database, file and query benchmarks in one run,
// followed by the summary table.
//
//   zel_sql_bench [benchmark flags] [--db=LABEL,DSN[,SQLITE_FILE]]...
//                 [--work_dir=DIR] [--table_out=FILE]
//
// Every --db names a data source that holds the benchmark facilities (see
// scripts/bench); SQLITE_FILE is attached as TAVIK after connecting. Files
// are written to --work_dir (default: the working directory).

#include <benchmark/benchmark.h>

#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "benchmarks.h"
#include "summary_reporter.h"

namespace {

using zel::sql::bench::DataSource;

bool take_option(const std::string& arg, const std::string& name, std::string& value) {
    const std::string prefix = "--" + name + "=";
    if (arg.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    value = arg.substr(prefix.size());
    return true;
}

DataSource parse_data_source(const std::string& argument) {
    DataSource source;
    const auto first = argument.find(',');
    if (first == std::string::npos) {
        throw std::invalid_argument("--db needs LABEL,DSN[,SQLITE_FILE]: " + argument);
    }
    source.label = argument.substr(0, first);
    const auto second = argument.find(',', first + 1);
    source.dsn = argument.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (second != std::string::npos) {
        source.attach_file = argument.substr(second + 1);
    }
    return source;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<DataSource> sources;
    std::string work_dir = ".";
    std::string table_out;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            std::string value;
            if (take_option(arg, "db", value)) {
                sources.push_back(parse_data_source(value));
            } else if (take_option(arg, "work_dir", value)) {
                work_dir = value;
            } else if (take_option(arg, "table_out", value)) {
                table_out = value;
            } else {
                std::cerr << argv[0] << ": unknown argument " << arg << "\n";
                return 2;
            }
        }
        std::vector<std::string> labels;
        for (const DataSource& source : sources) {
            zel::sql::bench::verify_data_source(source);
            zel::sql::bench::register_database_benchmarks(source, work_dir);
            zel::sql::bench::register_cache_benchmarks(source, work_dir);
            labels.push_back(source.label);
        }
        zel::sql::bench::register_file_benchmarks(work_dir);
        zel::sql::bench::register_query_benchmarks();
        zel::sql::bench::register_source_registry_benchmarks();

        zel::sql::bench::SummaryReporter reporter(labels, table_out);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        return reporter.had_errors() ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << argv[0] << ": " << e.what() << "\n";
        return 1;
    }
}
