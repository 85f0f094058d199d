// Reading the large facility's view through the query cache: the database read
// with storing against the same read without it, and a cache hit against the
// database read.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "benchmarks.h"
#include "component_fixture.h"
#include "odbc/text_rows.h"
#include "zel/sql/Database.h"

namespace zel::sql::bench {
namespace {

// Every column of the view, read as text: what read_with_cache reads.
std::string view_select() {
    return std::string("SELECT * FROM TAVIK.") + large_facility + "_VIEW_COMPONENTS";
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
            for (auto _ : state) {
                const QueryResult result = db->read_with_cache(sql);
                if (result.from_cache || !result.message.empty()) {
                    state.SkipWithError(("not read and stored: " + result.message).c_str());
                    break;
                }
                rows = result.rows.size();
            }
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
            for (auto _ : state) {
                const QueryResult result = unbounded_db->read_with_cache(sql);
                if (result.from_cache || !result.message.empty()) {
                    state.SkipWithError(("not read and stored: " + result.message).c_str());
                    break;
                }
                rows = result.rows.size();
            }
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
