// What the process knows about each data source, shared by every Database:
// which are held back after they did not answer, and how many calls given up
// on each have not returned yet. Internal: not installed.
//
// A server that hangs costs one wait, not one per call: once a source has not
// answered within the wait limit (or its login timed out), no connection to
// it is attempted for a while, so the callers go on at once to the next
// source or to their fallback. The hold-back ends when the call that was
// given up on that source returns (the server answers again), or when its
// time has passed: the base time (30 s by default), doubled after each
// further miss up to 8 minutes (or the base, if that is longer), and back to
// the base once the source answers. The base 0 means never held back.
//
// A call that is given up keeps its helper thread, connection and memory
// until it returns. So that a server that never answers cannot eat the
// process, at most 4 such calls per source and 16 per process may be
// outstanding; while a cap is reached, a bounded operation on that source
// fails at once, without a thread.
//
// All members are thread-safe. The state lives as long as the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "util/internal_api.h"
#include "zel/sql/SourceState.h"

namespace zel::sql::detail {

/// The longest wait limit and hold-back base that a Database takes.
inline constexpr std::chrono::milliseconds longest_time_setting{24LL * 60 * 60 * 1000};
/// The hold-back stops doubling here (unless its base is longer).
inline constexpr std::chrono::milliseconds longest_doubled_hold_back{8 * 60 * 1000};
/// The default hold-back base.
inline constexpr std::chrono::milliseconds default_hold_back{30 * 1000};
inline constexpr int max_abandoned_per_source = 4;
inline constexpr int max_abandoned_per_process = 16;

/// The hold-back after `misses` misses in a row (1 or more): `base` doubled
/// misses - 1 times, never above max(base, longest_doubled_hold_back). Never
/// overflows.
std::chrono::milliseconds hold_back_after(std::chrono::milliseconds base, int misses) noexcept;

/// "12:03:05", in local time.
std::string clock_text(std::chrono::system_clock::time_point when);

/// Why no connection to a source may be attempted now.
struct Refusal {
    std::string message;
};

class SourceRegistry {
public:
    using Clock = std::chrono::steady_clock;

    /// The one registry of the process.
    static SourceRegistry& instance();

    /// Why `name` must not be tried at `now`: held back (only when
    /// `honour_hold_back`), or a cap of given-up calls is reached (only when
    /// `check_caps`, that is, when the call would run on a helper). Empty when
    /// it may be tried.
    std::optional<Refusal> refusal(const std::string& name, bool honour_hold_back, bool check_caps,
                                   Clock::time_point now) const;

    /// `name` answered (rows, or an error of its own): no longer held back,
    /// the next hold-back starts from the base again, and no last error.
    void note_answer(const std::string& name);
    /// `name` failed without a miss (a refused login, a lost connection):
    /// `error` becomes its last error; nothing is held back.
    void note_failure(const std::string& name, const std::string& error);
    /// `name` did not answer: `error` is the caller's message, `what` the
    /// account that a skipped call quotes ("it did not answer within 15 s
    /// at 12:02:35: connect to miran_prod"). Held back from `now` for
    /// hold_back_after(base, misses) unless `base` is 0.
    void note_miss(const std::string& name, std::chrono::milliseconds base,
                   const std::string& error, const std::string& what, Clock::time_point now);
    /// A call on `name` was given up while it still runs.
    void note_abandoned(const std::string& name);
    /// A call given up on `name` has returned: the server answers again, so
    /// its hold-back ends.
    void note_abandoned_returned(const std::string& name);

    /// What is known of `name`, held_back_until the epoch when it is not held
    /// back at `now`.
    SourceState state(const std::string& name, Clock::time_point now) const;

    /// Forgets every source, for tests that start from a clean process.
    /// Calls still abandoned keep counting against the process cap.
    void forget_sources_for_tests();

    /// Calls given up on any source that still run.
    int abandoned_total() const;

private:
    struct Record {
        Clock::time_point held_until{};
        std::chrono::system_clock::time_point held_until_wall{};
        int misses = 0;
        int abandoned = 0;
        std::string last_error;
        std::string last_miss;
    };

    mutable std::mutex mutex_;
    std::map<std::string, Record> records_;
    int abandoned_total_ = 0;
};

/// How many calls given up after a timeout, on any source, still run in the
/// process. A program that ends while one does may crash when the call
/// returns during the driver's teardown; the tool ends at once instead.
ZEL_SQL_INTERNAL_API int given_up_calls_running();

/// Shuffles `order` with the process's generator (SourceOrder::random).
void shuffle_sources(std::vector<std::size_t>& order);

/// Makes the shuffles from now on repeat for `seed`, so that a test can check
/// how they spread without counting on chance.
ZEL_SQL_INTERNAL_API void seed_source_order_for_tests(std::uint64_t seed);

}  // namespace zel::sql::detail
