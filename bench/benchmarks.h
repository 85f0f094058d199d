#ifndef ZEL_SQL_BENCH_BENCHMARKS_H_
#define ZEL_SQL_BENCH_BENCHMARKS_H_

// Registration of the benchmark families. Names follow
// "<family>/<subject>/<operation>" so that the summary table can pair them up.

#include <string>

namespace zel::sql::bench {

// One ODBC data source holding the benchmark facilities.
struct DataSource {
    std::string label;        // short name in the results, e.g. "pg-unicode"
    std::string dsn;          // ODBC data source name
    std::string attach_file;  // SQLite only: file attached as TAVIK after connecting
};

// Loads the large facility once through the library and compares it with the
// generated list; throws std::runtime_error when the rows differ, so that no
// figure is ever reported for the wrong data.
void verify_data_source(const DataSource& source);

void register_database_benchmarks(const DataSource& source, const std::string& work_dir);
void register_cache_benchmarks(const DataSource& source, const std::string& work_dir);
void register_file_benchmarks(const std::string& work_dir);
void register_query_benchmarks();

}  // namespace zel::sql::bench

#endif  // ZEL_SQL_BENCH_BENCHMARKS_H_
