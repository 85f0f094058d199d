#ifndef ZEL_SQL_BENCH_SUMMARY_REPORTER_H_
#define ZEL_SQL_BENCH_SUMMARY_REPORTER_H_

// The console output of Google Benchmark, followed by one Markdown table of the
// medians and the ratios that the targets are stated in.

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace zel::sql::bench {

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    // `db_labels` in the order of the command line. The table goes to
    // `table_out`, or after the console output when that is empty.
    SummaryReporter(std::vector<std::string> db_labels, std::string table_out);

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

    bool had_errors() const { return !errors_.empty(); }

private:
    struct Median {
        double ns = 0.0;      // wall-clock time
        double cpu_ns = 0.0;  // CPU time of the benchmark's thread
        std::map<std::string, double> counters;
    };

    // The median wall-clock time of benchmark `name` in units of `unit_ns`
    // nanoseconds, or -1 when it did not run.
    double median(const std::string& name, double unit_ns) const;
    // The same for the CPU time of the benchmark's thread.
    double median_cpu(const std::string& name, double unit_ns) const;
    double counter(const std::string& name, const std::string& counter_name) const;
    void write_table(std::ostream& out) const;

    std::vector<std::string> db_labels_;
    std::string table_out_;
    std::map<std::string, Median> medians_;
    std::vector<std::string> errors_;
};

}  // namespace zel::sql::bench

#endif  // ZEL_SQL_BENCH_SUMMARY_REPORTER_H_
