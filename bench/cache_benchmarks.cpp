// Reading the large facility's view through the query cache: the database read
// with storing against the same read without it, and a cache hit against the
// database read.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "benchmarks.h"
#include "component_fixture.h"
#include "odbc/text_rows.h"
#include "raw_odbc.h"
#include "zel/sql/Database.h"
#include "zel/sql/component_view.h"

namespace zel::sql::bench {
namespace {

// Every column of the view, read as text: what read_with_cache reads.
std::string view_select() {
    return "SELECT * FROM " + component_view_full_name(large_facility);
}

// The database read of read_with_cache, through the same text read, without
// storing.
std::size_t read_without_storing(Database& db, const std::string& sql) {
    Query query = db.send_query(sql);
    const std::vector<std::string> names = detail::read_column_names(query);
    const std::vector<detail::TextRow> rows =
        detail::read_text_rows(query, static_cast<int>(names.size()));
    benchmark::DoNotOptimize(rows.data());
    return rows.size();
}

// The baseline: every column bound to a character buffer as a client sizes it
// (four bytes per declared character, 4 KiB when the size is unknown),
// `rows_per_fetch` rows per SQLFetch (a row array when more than one), each
// value copied into the same row type the library returns. No value is
// completed: this is the floor, not a correct reader.
std::size_t raw_text_read(const RawConnection& connection, const std::string& sql,
                          std::size_t rows_per_fetch) {
    RawStatement statement(connection, sql);
    SQLULEN fetched = 1;
    if (rows_per_fetch > 1) {
        SQLSetStmtAttr(statement.get(), SQL_ATTR_ROW_ARRAY_SIZE,
                       reinterpret_cast<SQLPOINTER>(rows_per_fetch), 0);
        SQLSetStmtAttr(statement.get(), SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    }
    SQLSMALLINT count = 0;
    SQLNumResultCols(statement.get(), &count);
    const auto columns = static_cast<std::size_t>(count);
    std::vector<std::size_t> widths(columns);
    std::vector<std::vector<char>> buffers(columns);
    std::vector<std::vector<SQLLEN>> indicators(columns);
    for (std::size_t i = 0; i < columns; ++i) {
        SQLULEN size = 0;
        SQLSMALLINT type = 0;
        SQLDescribeCol(statement.get(), static_cast<SQLUSMALLINT>(i + 1), nullptr, 0, nullptr,
                       &type, &size, nullptr, nullptr);
        widths[i] = size == 0 || size > 1020 ? 4096 : size * 4 + 16;
        buffers[i].resize(widths[i] * rows_per_fetch);
        indicators[i].resize(rows_per_fetch);
        statement.bind(static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, buffers[i].data(),
                       static_cast<SQLLEN>(widths[i]), indicators[i].data());
    }
    std::vector<detail::TextRow> rows;
    while (statement.fetch()) {
        for (std::size_t r = 0; r < fetched; ++r) {
            detail::TextRow& row = rows.emplace_back();
            row.reserve(columns);
            for (std::size_t i = 0; i < columns; ++i) {
                const SQLLEN indicator = indicators[i][r];
                if (indicator == SQL_NULL_DATA) {
                    row.emplace_back(std::nullopt);
                } else {
                    const auto length =
                        std::min<std::size_t>(static_cast<std::size_t>(indicator), widths[i] - 1);
                    row.emplace_back(std::in_place, buffers[i].data() + r * widths[i], length);
                }
            }
        }
    }
    benchmark::DoNotOptimize(rows.data());
    return rows.size();
}

void expect_rows(benchmark::State& state, std::size_t rows) {
    if (rows != large_facility_size) {
        state.SkipWithError("the view does not hold the generated rows");
    }
}

std::shared_ptr<Database> open_with_cache(const DataSource& source, const std::string& folder) {
    auto db = std::make_shared<Database>(source.dsn, "", "");
    if (!source.attach_file.empty()) {
        db->send_query(attach_tavik_statement(source.attach_file));
    }
    db->get_cache().set_folder(folder);
    return db;
}

}  // namespace

void register_cache_benchmarks(const DataSource& source, const std::string& work_dir) {
    const std::string prefix = "cache/" + source.label + "/";
    const auto db = open_with_cache(source, work_dir + "/cache-" + source.label);
    const std::string sql = view_select();
    const auto timed = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMillisecond)->UseRealTime();
    };

    const auto raw = std::make_shared<RawConnection>(source.dsn);
    if (!source.attach_file.empty()) {
        RawStatement attach(*raw, attach_tavik_statement(source.attach_file));
    }
    // One row per fetch, and row arrays of 100 rows: what rowsets can save
    // on this driver at most.
    for (const std::size_t rows_per_fetch : {std::size_t{1}, std::size_t{100}}) {
        const std::string name =
            prefix + (rows_per_fetch == 1 ? "raw_text_read" : "raw_text_read_row_arrays");
        timed(benchmark::RegisterBenchmark(name.c_str(),
                                           [raw, sql, rows_per_fetch](benchmark::State& state) {
                                               std::size_t rows = 0;
                                               for (auto _ : state) {
                                                   rows = raw_text_read(*raw, sql, rows_per_fetch);
                                               }
                                               expect_rows(state, rows);
                                           }));
    }

    timed(benchmark::RegisterBenchmark((prefix + "db_read").c_str(),
                                       [db, sql](benchmark::State& state) {
                                           std::size_t rows = 0;
                                           for (auto _ : state) {
                                               rows = read_without_storing(*db, sql);
                                           }
                                           expect_rows(state, rows);
                                       }));

    timed(benchmark::RegisterBenchmark(
        (prefix + "db_read_and_store").c_str(), [db, sql](benchmark::State& state) {
            std::size_t rows = 0;
            const ProcessCpu cpu;
            for (auto _ : state) {
                const QueryResult result = db->read_with_cache(sql);
                if (result.from_cache || !result.message.empty()) {
                    state.SkipWithError(("not read and stored: " + result.message).c_str());
                    break;
                }
                rows = result.rows.size();
            }
            cpu.report(state);
            expect_rows(state, rows);
        }));

    // The same store with no wait limit: the cost of bounded waiting.
    const auto unbounded_db =
        open_with_cache(source, work_dir + "/cache-unbounded-" + source.label);
    unbounded_db->set_wait_limit(std::chrono::milliseconds(0));
    timed(benchmark::RegisterBenchmark(
        (prefix + "db_read_and_store_unbounded").c_str(),
        [unbounded_db, sql](benchmark::State& state) {
            std::size_t rows = 0;
            const ProcessCpu cpu;
            for (auto _ : state) {
                const QueryResult result = unbounded_db->read_with_cache(sql);
                if (result.from_cache || !result.message.empty()) {
                    state.SkipWithError(("not read and stored: " + result.message).c_str());
                    break;
                }
                rows = result.rows.size();
            }
            cpu.report(state);
            expect_rows(state, rows);
        }));

    timed(benchmark::RegisterBenchmark(
        (prefix + "cache_hit").c_str(), [db, sql](benchmark::State& state) {
            db->read_with_cache(sql);  // a fresh copy to hit
            std::size_t rows = 0;
            for (auto _ : state) {
                const QueryResult result =
                    db->read_with_cache(sql, CachePolicy::prefer_cache, std::chrono::hours(1));
                if (!result.from_cache) {
                    state.SkipWithError("the copy was not used");
                    break;
                }
                rows = result.rows.size();
            }
            expect_rows(state, rows);
        }));
}

}  // namespace zel::sql::bench
