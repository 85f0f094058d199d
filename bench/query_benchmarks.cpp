// The in-memory queries at 10,000 and 100,000 components.

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

#include "benchmarks.h"
#include "component_fixture.h"
#include "zel/sql/ComponentList.h"

namespace zel::sql::bench {
namespace {

using SortOrder = ComponentList::SortOrder;
using Selection = std::vector<const Component*>;

constexpr double window_before_m = -5.0;
constexpr double window_after_m = 5.0;

benchmark::internal::Benchmark* in_microseconds(benchmark::internal::Benchmark* b) {
    return b->Unit(benchmark::kMicrosecond);
}

// Cells around every anchor of the selection that `make_selection` returns,
// with the counters that the summary needs for the time per anchor.
void register_cells(const std::string& name, std::function<Selection()> make_selection) {
    in_microseconds(
        benchmark::RegisterBenchmark(name.c_str(), [make_selection](benchmark::State& state) {
            const Selection selection = make_selection();
            std::size_t anchors = 0;
            std::size_t members = 0;
            for (auto _ : state) {
                const auto cells = ComponentList::extract_cells_around_components(
                    selection, anchor_pattern, SortOrder::s, window_before_m, window_after_m);
                anchors = cells.size();
                members = 0;
                for (const auto& cell : cells) {
                    members += cell.size();
                }
                benchmark::DoNotOptimize(cells.data());
            }
            state.counters["anchors"] = static_cast<double>(anchors);
            state.counters["cell_size"] =
                anchors == 0 ? 0.0 : static_cast<double>(members) / static_cast<double>(anchors);
        }));
}

// The name of the last component in lower case: a lookup that scans the
// whole list and folds case on the way.
std::string last_name_lower_case(const ComponentList& list) {
    std::string name = list.components_.back().name_;
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name;
}

void register_size(std::size_t size) {
    const std::string prefix = "query/" + std::to_string(size) + "/";

    in_microseconds(benchmark::RegisterBenchmark(
        (prefix + "get_sorted_list").c_str(), [size](benchmark::State& state) {
            const ComponentList& list = shared_component_list(size);
            for (auto _ : state) {
                benchmark::DoNotOptimize(list.get_sorted_list(SortOrder::s).data());
            }
        }));
    in_microseconds(benchmark::RegisterBenchmark(
        (prefix + "find_components_with_flag").c_str(), [size](benchmark::State& state) {
            const ComponentList& list = shared_component_list(size);
            for (auto _ : state) {
                benchmark::DoNotOptimize(
                    list.find_components_with_flag("mag", SortOrder::s).data());
            }
        }));
    in_microseconds(benchmark::RegisterBenchmark(
        (prefix + "extract_beamline").c_str(), [size](benchmark::State& state) {
            const ComponentList& list = shared_component_list(size);
            for (auto _ : state) {
                benchmark::DoNotOptimize(
                    list.extract_beamline("BL1", 500.0, 2500.0, SortOrder::s).data());
            }
        }));
    in_microseconds(benchmark::RegisterBenchmark(
        (prefix + "find_component_by_name").c_str(), [size](benchmark::State& state) {
            const ComponentList& list = shared_component_list(size);
            const std::string name = last_name_lower_case(list);
            for (auto _ : state) {
                benchmark::DoNotOptimize(list.find_component_by_name(name));
            }
        }));
    // A name that no component carries: the index misses, and since it covers
    // the whole list nothing is walked.
    in_microseconds(benchmark::RegisterBenchmark(
        (prefix + "find_component_by_name_absent").c_str(), [size](benchmark::State& state) {
            const ComponentList& list = shared_component_list(size);
            for (auto _ : state) {
                benchmark::DoNotOptimize(list.find_component_by_name("NO SUCH COMPONENT"));
            }
        }));
    // The same miss after ten components were appended without a rebuild:
    // the lookup walks those ten, and finds the last of them.
    in_microseconds(benchmark::RegisterBenchmark(
        (prefix + "find_component_by_name_appended").c_str(), [size](benchmark::State& state) {
            ComponentList list = shared_component_list(size);
            for (int i = 0; i < 10; ++i) {
                list.components_.emplace_back().name_ = "APPENDED" + std::to_string(i);
            }
            for (auto _ : state) {
                benchmark::DoNotOptimize(list.find_component_by_name("appended9"));
            }
        }));
    // Building the index, which every load does once: compared with
    // read_from_file of the same list.
    in_microseconds(benchmark::RegisterBenchmark(
        (prefix + "rebuild_name_index").c_str(), [size](benchmark::State& state) {
            ComponentList list = shared_component_list(size);
            for (auto _ : state) {
                list.rebuild_name_index();
            }
        }));
    register_cells(prefix + "extract_cells_around_components",
                   [size] { return shared_component_list(size).get_sorted_list(SortOrder::none); });
}

}  // namespace

void register_query_benchmarks() {
    register_size(small_facility_size);
    register_size(large_facility_size);

    // Cells of equal size from selections of 10,000 and 100,000 components:
    // the first 300 m of the large facility against all of it. The time per
    // anchor must not depend on how large the selection is.
    register_cells("cells/" + std::to_string(small_facility_size) + "/equal_density", [] {
        const Selection whole =
            shared_component_list(large_facility_size).get_sorted_list(SortOrder::s);
        return Selection(whole.begin(), whole.begin() + small_facility_size);
    });
    register_cells("cells/" + std::to_string(large_facility_size) + "/equal_density", [] {
        return shared_component_list(large_facility_size).get_sorted_list(SortOrder::s);
    });
}

}  // namespace zel::sql::bench
