#include "odbc/source_registry.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "util/string.h"

namespace zel::sql::detail {
namespace {

std::mutex order_mutex;

std::mt19937_64& order_generator() {
    static std::mt19937_64 generator{std::random_device{}()};
    return generator;
}

}  // namespace

void shuffle_sources(std::vector<std::size_t>& order) {
    const std::lock_guard<std::mutex> lock(order_mutex);
    std::shuffle(order.begin(), order.end(), order_generator());
}

void seed_source_order_for_tests(std::uint64_t seed) {
    const std::lock_guard<std::mutex> lock(order_mutex);
    order_generator().seed(seed);
}

std::chrono::milliseconds hold_back_after(std::chrono::milliseconds base, int misses) noexcept {
    if (base.count() <= 0) {
        return std::chrono::milliseconds{0};
    }
    const std::chrono::milliseconds cap = std::max(base, longest_doubled_hold_back);
    std::chrono::milliseconds hold = base;
    for (int i = 1; i < misses && hold < cap; ++i) {
        // hold < cap <= 24 h here, so doubling cannot overflow.
        hold = std::min(hold * 2, cap);
    }
    return hold;
}

std::string clock_text(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) {
        return util::cat(static_cast<long long>(seconds));
    }
    char text[16];
    if (std::strftime(text, sizeof text, "%H:%M:%S", &local) == 0) {
        return util::cat(static_cast<long long>(seconds));
    }
    return text;
}

SourceRegistry& SourceRegistry::instance() {
    // Never destroyed: helpers of given-up calls may report to it while the
    // process exits.
    static SourceRegistry* const registry = new SourceRegistry;
    return *registry;
}

std::optional<Refusal> SourceRegistry::refusal(const std::string& name, bool honour_hold_back,
                                               bool check_caps, Clock::time_point now) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = records_.find(name);
    if (found != records_.end()) {
        const Record& record = found->second;
        if (honour_hold_back && now < record.held_until) {
            return Refusal{util::cat(name, " is held back until ",
                                     clock_text(record.held_until_wall), " (", record.last_miss,
                                     ")")};
        }
        if (check_caps && record.abandoned >= max_abandoned_per_source) {
            return Refusal{
                util::cat(name, " is not tried: ", record.abandoned,
                          " calls on it that it did not answer have not returned yet (at "
                          "most ",
                          max_abandoned_per_source, " per data source)")};
        }
    }
    if (check_caps && abandoned_total_ >= max_abandoned_per_process) {
        return Refusal{util::cat(name, " is not tried: ", abandoned_total_,
                                 " calls that their data sources did not answer have not returned "
                                 "yet (at most ",
                                 max_abandoned_per_process, " per process)")};
    }
    return std::nullopt;
}

void SourceRegistry::note_answer(const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = records_.find(name);
    if (found == records_.end()) {
        return;  // nothing to forget: no record for the healthy path
    }
    Record& record = found->second;
    record.held_until = Clock::time_point{};
    record.held_until_wall = std::chrono::system_clock::time_point{};
    record.misses = 0;
    record.last_error.clear();
    record.last_miss.clear();
}

void SourceRegistry::note_failure(const std::string& name, const std::string& error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    records_[name].last_error = error;
}

void SourceRegistry::note_miss(const std::string& name, std::chrono::milliseconds base,
                               const std::string& error, const std::string& what,
                               Clock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Record& record = records_[name];
    record.last_error = error;
    record.last_miss = what;
    if (base.count() <= 0) {
        return;
    }
    record.misses = std::min(record.misses + 1, 64);
    const std::chrono::milliseconds hold = hold_back_after(base, record.misses);
    record.held_until = now + hold;
    record.held_until_wall = std::chrono::system_clock::now() + hold;
}

void SourceRegistry::note_abandoned(const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++records_[name].abandoned;
    ++abandoned_total_;
}

void SourceRegistry::note_abandoned_returned(const std::string& name) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (abandoned_total_ > 0) {
        --abandoned_total_;
    }
    const auto found = records_.find(name);
    if (found == records_.end()) {
        return;  // forgotten by a test
    }
    Record& record = found->second;
    if (record.abandoned > 0) {
        --record.abandoned;
    }
    record.held_until = Clock::time_point{};
    record.held_until_wall = std::chrono::system_clock::time_point{};
}

SourceState SourceRegistry::state(const std::string& name, Clock::time_point now) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    SourceState state;
    state.data_source = name;
    const auto found = records_.find(name);
    if (found != records_.end()) {
        if (now < found->second.held_until) {
            state.held_back_until = found->second.held_until_wall;
        }
        state.last_error = found->second.last_error;
        state.given_up_calls = found->second.abandoned;
    }
    return state;
}

int SourceRegistry::abandoned_total() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return abandoned_total_;
}

int given_up_calls_running() {
    return SourceRegistry::instance().abandoned_total();
}

void SourceRegistry::forget_sources_for_tests() {
    const std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

}  // namespace zel::sql::detail
