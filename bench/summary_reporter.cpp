#include "summary_reporter.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <utility>

#include "component_fixture.h"

namespace zel::sql::bench {
namespace {

constexpr double ns_per_us = 1e3;
constexpr double ns_per_ms = 1e6;

// A figure with two decimals, or "n/a" for one that was not measured.
std::string fixed(double value, const char* format = "%.2f") {
    if (value < 0.0) {
        return "n/a";
    }
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::string ratio(double numerator, double denominator) {
    if (numerator < 0.0 || denominator <= 0.0) {
        return "n/a";
    }
    return fixed(numerator / denominator, "%.3f");
}

// The ratio with its verdict against `limit`.
std::string ratio_against(double numerator, double denominator, double limit) {
    const std::string text = ratio(numerator, denominator);
    if (text == "n/a") {
        return text;
    }
    return text + (numerator / denominator <= limit ? " (met)" : " (missed)");
}

double sum(double a, double b) {
    return a < 0.0 || b < 0.0 ? -1.0 : a + b;
}

}  // namespace

SummaryReporter::SummaryReporter(std::vector<std::string> db_labels, std::string table_out)
    : db_labels_(std::move(db_labels)), table_out_(std::move(table_out)) {}

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        const std::string name = run.run_name.function_name;
        if (run.error_occurred) {
            errors_.push_back(name + ": " + run.error_message);
            continue;
        }
        // With repetitions only the median counts; a single run stands for itself.
        const bool wanted = run.repetitions > 1 ? run.run_type == Run::RT_Aggregate &&
                                                      run.aggregate_name == "median"
                                                : run.run_type == Run::RT_Iteration;
        if (!wanted) {
            continue;
        }
        Median& m = medians_[name];
        const double unit_ns = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        m.ns = run.GetAdjustedRealTime() * unit_ns;
        m.cpu_ns = run.GetAdjustedCPUTime() * unit_ns;
        for (const auto& [counter_name, value] : run.counters) {
            m.counters[counter_name] = value.value;
        }
    }
    ConsoleReporter::ReportRuns(runs);
}

double SummaryReporter::median(const std::string& name, double unit_ns) const {
    const auto it = medians_.find(name);
    return it == medians_.end() ? -1.0 : it->second.ns / unit_ns;
}

double SummaryReporter::median_cpu(const std::string& name, double unit_ns) const {
    const auto it = medians_.find(name);
    return it == medians_.end() ? -1.0 : it->second.cpu_ns / unit_ns;
}

double SummaryReporter::counter(const std::string& name, const std::string& counter_name) const {
    const auto it = medians_.find(name);
    if (it == medians_.end()) {
        return -1.0;
    }
    const auto c = it->second.counters.find(counter_name);
    return c == it->second.counters.end() ? -1.0 : c->second;
}

void SummaryReporter::write_table(std::ostream& out) const {
    if (!db_labels_.empty()) {
        out << "\n### Loading " << large_facility_size
            << " components with 10 flags (median ms)\n\n"
               "| data source | floor loop | copying loop | read_from_db | "
               "read_from_db_with_backup | read_column_names | copying / floor | "
               "read_from_db / copying (<= 1.05) | same, client CPU time | "
               "with backup / read_from_db (<= 1.15) |\n"
               "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
        for (const std::string& label : db_labels_) {
            const std::string p = "db/" + label + "/";
            const double floor = median(p + "floor_loop", ns_per_ms);
            const double copying = median(p + "copying_loop", ns_per_ms);
            const double read = median(p + "read_from_db", ns_per_ms);
            const double backup = median(p + "read_from_db_with_backup", ns_per_ms);
            const double names = median(p + "read_column_names", ns_per_ms);
            out << "| " << label << " | " << fixed(floor) << " | " << fixed(copying) << " | "
                << fixed(read) << " | " << fixed(backup) << " | " << fixed(names) << " | "
                << ratio(copying, floor) << " | " << ratio_against(read, copying, 1.05) << " | "
                << ratio_against(median_cpu(p + "read_from_db", ns_per_ms),
                                 median_cpu(p + "copying_loop", ns_per_ms), 1.05)
                << " | " << ratio_against(backup, read, 1.15) << " |\n";
        }
    }

    if (!db_labels_.empty()) {
        out << "\n### Query cache: all columns of the " << large_facility_size
            << "-row view as text (median ms)\n\n"
               "| data source | database read | read_with_cache, storing | cache hit | "
               "storing / read (<= 1.2) | same, client CPU time | cache hit / read (<= 0.3) | "
               "same, client CPU time |\n"
               "|---|---:|---:|---:|---:|---:|---:|---:|\n";
        for (const std::string& label : db_labels_) {
            const std::string p = "cache/" + label + "/";
            const double read = median(p + "db_read", ns_per_ms);
            const double store = median(p + "db_read_and_store", ns_per_ms);
            const double hit = median(p + "cache_hit", ns_per_ms);
            const double read_cpu = median_cpu(p + "db_read", ns_per_ms);
            out << "| " << label << " | " << fixed(read) << " | " << fixed(store) << " | "
                << fixed(hit) << " | " << ratio_against(store, read, 1.2) << " | "
                << ratio_against(median_cpu(p + "db_read_and_store", ns_per_ms), read_cpu, 1.2)
                << " | " << ratio_against(hit, read, 0.3) << " | "
                << ratio_against(median_cpu(p + "cache_hit", ns_per_ms), read_cpu, 0.3) << " |\n";
        }

        out << "\n### Text reads against a raw ODBC text loop with bound buffers (median ms)\n\n"
               "| data source | raw ODBC loop | text read | read_with_cache, storing | cache hit | "
               "text read / raw (<= 1.0) | storing / raw (<= 1.1) | cache hit / raw (<= 0.3) |\n"
               "|---|---:|---:|---:|---:|---:|---:|---:|\n";
        for (const std::string& label : db_labels_) {
            const std::string p = "cache/" + label + "/";
            const double raw = median(p + "raw_text_read", ns_per_ms);
            const double read = median(p + "db_read", ns_per_ms);
            const double store = median(p + "db_read_and_store", ns_per_ms);
            const double hit = median(p + "cache_hit", ns_per_ms);
            out << "| " << label << " | " << fixed(raw) << " | " << fixed(read) << " | "
                << fixed(store) << " | " << fixed(hit) << " | " << ratio_against(read, raw, 1.0)
                << " | " << ratio_against(store, raw, 1.1) << " | " << ratio_against(hit, raw, 0.3)
                << " |\n";
        }
    }

    out << "\n### Backup file (median ms)\n\n"
           "| components | write_to_file | plain write | read_from_file | plain read | "
           "write / plain write (<= 0.6) | read / plain read (<= 0.6) | "
           "round trip / plain round trip |\n"
           "|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const std::size_t size : {small_facility_size, large_facility_size}) {
        const std::string p = "file/" + std::to_string(size) + "/";
        const double write = median(p + "write_to_file", ns_per_ms);
        const double bare_write = median(p + "bare_write", ns_per_ms);
        const double read = median(p + "read_from_file", ns_per_ms);
        const double bare_read = median(p + "bare_read", ns_per_ms);
        out << "| " << size << " | " << fixed(write) << " | " << fixed(bare_write) << " | "
            << fixed(read) << " | " << fixed(bare_read) << " | "
            << ratio_against(write, bare_write, 0.6) << " | " << ratio_against(read, bare_read, 0.6)
            << " | " << ratio(sum(write, read), sum(bare_write, bare_read)) << " |\n";
    }

    // The queries use nothing but the CPU: their CPU time is their cost, and
    // it does not suffer from other processes on a shared machine.
    out << "\n### In-memory queries (median CPU µs)\n\n"
           "| query | "
        << small_facility_size << " | " << large_facility_size
        << " | growth |\n"
           "|---|---:|---:|---:|\n";
    for (const char* query : {"get_sorted_list", "find_components_with_flag", "extract_beamline",
                              "extract_cells_around_components", "find_component_by_name"}) {
        const double small =
            median("query/" + std::to_string(small_facility_size) + "/" + query, ns_per_us);
        const double large =
            median("query/" + std::to_string(large_facility_size) + "/" + query, ns_per_us);
        out << "| " << query << " | " << fixed(small) << " | " << fixed(large) << " | "
            << ratio(large, small) << " |\n";
    }

    out << "\n### Cells of equal size (anchors 1 in 20, window ±5 m along s)\n\n"
           "| selection | anchors | mean cell size | median CPU µs | µs per anchor |\n"
           "|---:|---:|---:|---:|---:|\n";
    double per_anchor[2] = {-1.0, -1.0};
    int row = 0;
    for (const std::size_t size : {small_facility_size, large_facility_size}) {
        const std::string name = "cells/" + std::to_string(size) + "/equal_density";
        const double time = median_cpu(name, ns_per_us);
        const double anchors = counter(name, "anchors");
        per_anchor[row] = anchors > 0.0 && time >= 0.0 ? time / anchors : -1.0;
        out << "| " << size << " | " << fixed(anchors, "%.0f") << " | "
            << fixed(counter(name, "cell_size"), "%.1f") << " | " << fixed(time) << " | "
            << fixed(per_anchor[row], "%.3f") << " |\n";
        ++row;
    }
    out << "\nTime per anchor, " << large_facility_size << " / " << small_facility_size
        << " selection: " << ratio(per_anchor[1], per_anchor[0]) << "\n";

    if (!errors_.empty()) {
        out << "\nFailed benchmarks:\n";
        for (const std::string& error : errors_) {
            out << "- " << error << "\n";
        }
    }
}

void SummaryReporter::Finalize() {
    ConsoleReporter::Finalize();
    if (table_out_.empty()) {
        write_table(GetOutputStream());
    } else {
        std::ofstream file(table_out_);
        write_table(file);
    }
}

}  // namespace zel::sql::bench
