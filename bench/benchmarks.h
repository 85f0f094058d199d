#ifndef ZEL_SQL_BENCH_BENCHMARKS_H_
#define ZEL_SQL_BENCH_BENCHMARKS_H_

// Registration of the benchmark families. Names follow
// "<family>/<subject>/<operation>" so that the summary table can pair them up.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>

namespace zel::sql::bench {

// The CPU time of the whole process, every thread, user and system apart, in
// ms. The benchmark's own CPU column counts the calling thread only, which
// waits while a bounded operation's helper thread does the work.
class ProcessCpu {
public:
    ProcessCpu() : start_(now()) {}

    // Adds the user and system time since construction, per iteration, as
    // the counters "proc_user_ms" and "proc_sys_ms".
    void report(benchmark::State& state) const {
        const Times end = now();
        state.counters["proc_user_ms"] =
            benchmark::Counter(end.user_ms - start_.user_ms, benchmark::Counter::kAvgIterations);
        state.counters["proc_sys_ms"] =
            benchmark::Counter(end.sys_ms - start_.sys_ms, benchmark::Counter::kAvgIterations);
    }

private:
    struct Times {
        double user_ms;
        double sys_ms;
    };
    static double ms(const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    }
    static Times now() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return {ms(usage.ru_utime), ms(usage.ru_stime)};
    }
    Times start_;
};

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
/// The hold-back bookkeeping of one operation on a healthy data source.
void register_source_registry_benchmarks();

}  // namespace zel::sql::bench

#endif  // ZEL_SQL_BENCH_BENCHMARKS_H_
