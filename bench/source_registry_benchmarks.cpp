// What the hold-back bookkeeping adds to one operation on a healthy data
// source: the check whether it is held back or capped, and the note that it
// answered. A component list load makes one such operation (its nested reads
// stay on the source of the attempt), so this is its whole extra cost.

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "benchmarks.h"
#include "odbc/source_registry.h"

namespace zel::sql::bench {
namespace {

void BM_HoldBackBookkeeping(benchmark::State& state) {
    detail::SourceRegistry& registry = detail::SourceRegistry::instance();
    const std::string source = "tavik_prod";
    // A source that was held back once and answered since has a record.
    registry.note_miss(source, std::chrono::seconds{30}, "missed", "missed",
                       detail::SourceRegistry::Clock::now() - std::chrono::hours{1});
    registry.note_answer(source);
    for (auto _ : state) {
        const auto refusal =
            registry.refusal(source, true, true, detail::SourceRegistry::Clock::now());
        benchmark::DoNotOptimize(refusal);
        registry.note_answer(source);
    }
}

}  // namespace

void register_source_registry_benchmarks() {
    benchmark::RegisterBenchmark("hold_back_bookkeeping", BM_HoldBackBookkeeping);
}

}  // namespace zel::sql::bench
