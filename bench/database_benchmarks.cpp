// Loading the large facility from a database: the library against the bare
// ODBC loop with the same statement and the same bindings.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "benchmarks.h"
#include "component_fixture.h"
#include "component_list/component_view.h"
#include "raw_odbc.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"
#include "zel/sql/component_view.h"

namespace zel::sql::bench {
namespace {

constexpr std::size_t text_len = 256;
constexpr int text_count = static_cast<int>(component_text_fields.size());
constexpr int position_count = static_cast<int>(component_coordinate_fields.size());
constexpr int leading_texts = static_cast<int>(component_leading_text_fields);

// The columns of detail::component_view_select: the leading texts, the
// coordinates, the link name, the flags.
SQLUSMALLINT text_column(int text) {
    return static_cast<SQLUSMALLINT>(text < leading_texts ? text + 1
                                                          : leading_texts + position_count + 1);
}

SQLUSMALLINT position_column(int position) {
    return static_cast<SQLUSMALLINT>(leading_texts + 1 + position);
}

SQLUSMALLINT flag_column(std::size_t flag) {
    return static_cast<SQLUSMALLINT>(static_cast<std::size_t>(detail::first_flag_column) + flag);
}

// The statement that ComponentList::read_from_db sends for the large facility.
std::string component_select(const std::vector<std::string>& flag_names) {
    return detail::component_view_select(large_facility, flag_names);
}

std::string attach_statement(const DataSource& source) {
    return attach_tavik_statement(source.attach_file);
}

// A library connection ready for the component view.
std::shared_ptr<Database> open_database(const DataSource& source) {
    auto db = std::make_shared<Database>(source.dsn, "", "");
    if (!source.attach_file.empty()) {
        db->send_query(attach_statement(source));
    }
    return db;
}

std::shared_ptr<RawConnection> open_raw(const DataSource& source) {
    auto connection = std::make_shared<RawConnection>(source.dsn);
    if (!source.attach_file.empty()) {
        RawStatement attach(*connection, attach_statement(source));
    }
    return connection;
}

// One row as bound by read_from_db: the texts in buffers of 256 bytes, the
// coordinates as doubles and one unsigned short per flag, each in the order
// of the field tables.
struct RawRow {
    char texts[text_count][text_len];
    double positions[position_count];
    std::vector<unsigned short> flags;
    SQLLEN text_len_or_ind[text_count];
    SQLLEN position_ind[position_count];
    std::vector<SQLLEN> flag_ind;

    explicit RawRow(std::size_t num_flags) : flags(num_flags), flag_ind(num_flags) {}

    void bind(RawStatement& statement) {
        for (int i = 0; i < text_count; ++i) {
            statement.bind(text_column(i), SQL_C_CHAR, texts[i], text_len, &text_len_or_ind[i]);
        }
        for (int i = 0; i < position_count; ++i) {
            statement.bind(position_column(i), SQL_C_DOUBLE, &positions[i], sizeof(double),
                           &position_ind[i]);
        }
        for (std::size_t i = 0; i < flags.size(); ++i) {
            statement.bind(flag_column(i), SQL_C_USHORT, &flags[i], sizeof(unsigned short),
                           &flag_ind[i]);
        }
    }

    // What a careful client does with a row: NULL gives "" / 0.0 / false,
    // a text longer than the buffer arrives cut.
    Component to_component() const {
        Component c;
        for (int i = 0; i < text_count; ++i) {
            const SQLLEN length = text_len_or_ind[i];
            if (length == SQL_NULL_DATA) {
                continue;
            }
            const auto stored = length >= 0 && static_cast<std::size_t>(length) < text_len
                                    ? static_cast<std::size_t>(length)
                                    : std::strlen(texts[i]);
            (c.*component_text_fields[static_cast<std::size_t>(i)].member).assign(texts[i], stored);
        }
        for (int i = 0; i < position_count; ++i) {
            c.*component_coordinate_fields[static_cast<std::size_t>(i)].member =
                position_ind[i] == SQL_NULL_DATA ? 0.0 : positions[i];
        }
        c.flags_.reserve(flags.size());
        for (std::size_t i = 0; i < flags.size(); ++i) {
            c.flags_.push_back(flag_ind[i] != SQL_NULL_DATA && flags[i] != 0);
        }
        return c;
    }
};

void expect_rows(benchmark::State& state, std::size_t rows) {
    if (rows != large_facility_size) {
        state.SkipWithError("the view does not hold the generated rows");
    }
}

}  // namespace

void verify_data_source(const DataSource& source) {
    const auto db = open_database(source);
    ComponentList loaded;
    loaded.read_from_db(*db, large_facility);
    ComponentList expected = make_component_list(large_facility_size);
    // The view has no ORDER BY, so the server may deliver the rows in any
    // order; the names are unique.
    const auto by_name = [](const Component& a, const Component& b) { return a.name_ < b.name_; };
    std::sort(loaded.components_.begin(), loaded.components_.end(), by_name);
    std::sort(expected.components_.begin(), expected.components_.end(), by_name);
    if (loaded == expected) {
        return;
    }
    std::string detail = std::to_string(loaded.components_.size()) + " rows read";
    if (loaded.flag_names_ != expected.flag_names_) {
        detail += ", other flag names";
    }
    for (std::size_t i = 0; i < loaded.components_.size() && i < expected.components_.size(); ++i) {
        if (!(loaded.components_[i] == expected.components_[i])) {
            detail += ", first difference in row " + std::to_string(i) + " (" +
                      loaded.components_[i].name_ + " instead of " + expected.components_[i].name_ +
                      ")";
            break;
        }
    }
    throw std::runtime_error(source.label + ": the view " + large_facility +
                             "_VIEW_COMPONENTS does not hold the generated components: " + detail);
}

void register_database_benchmarks(const DataSource& source, const std::string& work_dir) {
    const std::string prefix = "db/" + source.label + "/";
    const auto db = open_database(source);
    const auto raw = open_raw(source);
    const std::vector<std::string> flag_names = make_component_list(1).flag_names_;
    const std::string sql = component_select(flag_names);

    const auto timed = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMillisecond)->UseRealTime();
    };

    timed(benchmark::RegisterBenchmark((prefix + "floor_loop").c_str(),
                                       [raw, sql, flag_names](benchmark::State& state) {
                                           std::size_t rows = 0;
                                           for (auto _ : state) {
                                               RawStatement statement(*raw, sql);
                                               RawRow row(flag_names.size());
                                               row.bind(statement);
                                               rows = 0;
                                               while (statement.fetch()) {
                                                   ++rows;
                                               }
                                               benchmark::DoNotOptimize(rows);
                                           }
                                           expect_rows(state, rows);
                                       }));

    timed(benchmark::RegisterBenchmark((prefix + "copying_loop").c_str(),
                                       [raw, sql, flag_names](benchmark::State& state) {
                                           std::size_t rows = 0;
                                           for (auto _ : state) {
                                               std::vector<Component> components;
                                               RawStatement statement(*raw, sql);
                                               RawRow row(flag_names.size());
                                               row.bind(statement);
                                               while (statement.fetch()) {
                                                   components.push_back(row.to_component());
                                               }
                                               rows = components.size();
                                               benchmark::DoNotOptimize(components.data());
                                           }
                                           expect_rows(state, rows);
                                       }));

    timed(benchmark::RegisterBenchmark((prefix + "read_from_db").c_str(),
                                       [db](benchmark::State& state) {
                                           ComponentList list;
                                           const ProcessCpu cpu;
                                           for (auto _ : state) {
                                               list.read_from_db(*db, large_facility);
                                           }
                                           cpu.report(state);
                                           expect_rows(state, list.components_.size());
                                       }));

    // The same load with no wait limit: everything on this thread, no helper.
    // Paired with read_from_db, it is the cost of bounded waiting.
    const auto unbounded_db = open_database(source);
    unbounded_db->set_wait_limit(std::chrono::milliseconds(0));
    timed(benchmark::RegisterBenchmark((prefix + "read_from_db_unbounded").c_str(),
                                       [unbounded_db](benchmark::State& state) {
                                           ComponentList list;
                                           const ProcessCpu cpu;
                                           for (auto _ : state) {
                                               list.read_from_db(*unbounded_db, large_facility);
                                           }
                                           cpu.report(state);
                                           expect_rows(state, list.components_.size());
                                       }));

    const std::string backup = work_dir + "/backup-" + source.label + ".txt";
    timed(benchmark::RegisterBenchmark(
        (prefix + "read_from_db_with_backup").c_str(), [db, backup](benchmark::State& state) {
            ComponentList list;
            for (auto _ : state) {
                const std::string message =
                    list.read_from_db_with_backup(*db, large_facility, backup);
                if (!message.empty()) {
                    state.SkipWithError(message.c_str());
                    break;
                }
            }
            expect_rows(state, list.components_.size());
        }));

    timed(benchmark::RegisterBenchmark(
        (prefix + "read_column_names").c_str(), [db](benchmark::State& state) {
            const std::string view = component_view_name(large_facility);
            for (auto _ : state) {
                benchmark::DoNotOptimize(db->read_column_names(view, component_view_owner));
            }
        }));
}

}  // namespace zel::sql::bench
