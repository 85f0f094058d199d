#include "odbc/bounded_wait.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "util/string.h"
#include "zel/Error.h"

namespace zel::sql::detail {
namespace {

using Clock = std::chrono::steady_clock;

// What the caller and its helper share. The helper keeps it alive after a
// timeout, until it ends.
struct BoundedCall {
    std::mutex mutex;
    std::condition_variable finished_changed;
    bool finished = false;
    std::exception_ptr error;

    // Counted up by the helper at every note_wait(), read by the waiting
    // caller, which stamps a new call when it sees the count change. The
    // helper never reads the clock: a fetch per row makes a note per row, and
    // on virtual machines the precise clock costs as much as the rest of the
    // row's bookkeeping.
    std::atomic<std::uint64_t> calls_begun{0};
    std::atomic<WaitStep> step{WaitStep::connect};
    std::atomic<bool> abandoned{false};
    AbandonHooks hooks;

    // Only the helper writes the count, so a load and a store suffice.
    void begin(WaitStep next) noexcept {
        step.store(next, std::memory_order_relaxed);
        calls_begun.store(calls_begun.load(std::memory_order_relaxed) + 1,
                          std::memory_order_release);
    }
};

// The bounded call that this thread runs as a helper, if any.
thread_local BoundedCall* current_call = nullptr;

// Helper threads outlive their call for a while and take the next one, so
// that a program that reads again and again does not start a thread each
// time (nor, with it, let the thread's memory go and fault it in again). A
// helper whose call was given up waits for a new one only once that call has
// returned. Helpers are detached: none is waited for at exit.
struct IdleHelper {
    std::condition_variable woken;
    std::function<void()> job;
    bool offered = false;
};

// How long an idle helper waits for a call before it ends, and how many wait.
constexpr std::chrono::seconds idle_wait{2};
constexpr std::size_t max_idle = 4;

struct HelperPool {
    // Room for every idle helper from the start: offering one never
    // allocates, so it cannot fail on a helper that has just done its work.
    HelperPool() { idle.reserve(max_idle); }

    std::mutex mutex;
    std::vector<IdleHelper*> idle;  // the one offered last comes last
    // In a child of fork(), the parent's pool: never used again (a thread
    // that is not in the child may hold its lock), kept rather than lost.
    HelperPool* parents = nullptr;
};

// Never freed: a detached helper may still use it while the process exits.
// A child of fork() has none of the parent's helpers and starts afresh, also
// when another thread held the lock at the fork.
HelperPool* the_pool = nullptr;
std::once_flag pool_made;

HelperPool& helper_pool() {
    std::call_once(pool_made, [] {
        the_pool = new HelperPool;
        ::pthread_atfork(nullptr, nullptr, [] {
            HelperPool* const parents = the_pool;
            the_pool = new HelperPool;
            the_pool->parents = parents;
        });
    });
    return *the_pool;
}

// The helper that this thread is, if any.
thread_local IdleHelper* this_helper = nullptr;

// Offers this helper for the next call, unless enough wait already. Done
// before the caller learns that the call ended, so that its next call finds
// the helper waiting.
void offer_this_helper() {
    HelperPool& pool = helper_pool();
    const std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.idle.size() < max_idle) {
        pool.idle.push_back(this_helper);
        this_helper->offered = true;
    }
}

void helper_main(std::function<void()> job) {
    IdleHelper self;
    this_helper = &self;
    for (;;) {
        job();
        job = nullptr;
        HelperPool& pool = helper_pool();
        std::unique_lock<std::mutex> lock(pool.mutex);
        if (!self.offered) {
            return;
        }
        if (!self.woken.wait_for(lock, idle_wait, [&self] { return self.job != nullptr; })) {
            pool.idle.erase(std::find(pool.idle.begin(), pool.idle.end(), &self));
            return;
        }
        job = std::move(self.job);
        self.job = nullptr;
        self.offered = false;
    }
}

// Runs `job` on an idle helper, or on a new one when none waits.
void start_on_helper(std::function<void()> job) {
    {
        HelperPool& pool = helper_pool();
        const std::lock_guard<std::mutex> lock(pool.mutex);
        if (!pool.idle.empty()) {
            IdleHelper* const helper = pool.idle.back();
            pool.idle.pop_back();
            helper->job = std::move(job);
            helper->woken.notify_one();
            return;
        }
    }
    try {
        std::thread(helper_main, std::move(job)).detach();
    } catch (const std::system_error& e) {
        throw Error(util::cat("Unable to start a thread to wait for the database: ", e.what()));
    }
}

}  // namespace

std::size_t idle_bounded_helpers() {
    HelperPool& pool = helper_pool();
    const std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.idle.size();
}

void note_wait(WaitStep step) {
    BoundedCall* const call = current_call;
    if (call == nullptr) {
        return;
    }
    if (call->abandoned.load(std::memory_order_acquire)) {
        throw Error("The operation was given up after the database did not answer");
    }
    call->begin(step);
}

bool is_bounded_helper() noexcept {
    return current_call != nullptr;
}

namespace {

// The hook of a given-up call that has returned.
void note_returned(BoundedCall& call) {
    if (call.hooks.returned) {
        try {
            call.hooks.returned();
        } catch (...) {
            // Only bookkeeping is lost; the helper still goes on.
        }
    }
}

}  // namespace

BoundedOutcome run_with_wait_limit(std::function<void()> work, std::chrono::milliseconds limit,
                                   AbandonHooks hooks) {
    // A deadline never lies more than a day ahead, so adding it to the steady
    // clock cannot overflow.
    limit = std::clamp(limit, std::chrono::milliseconds{0}, std::chrono::milliseconds{86400000});
    auto call = std::make_shared<BoundedCall>();
    call->hooks = std::move(hooks);
    std::function<void()> job = [call, work = std::move(work)]() mutable {
        current_call = call.get();
        std::exception_ptr error;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        current_call = nullptr;
        std::unique_lock<std::mutex> lock(call->mutex);
        if (call->abandoned.load(std::memory_order_relaxed)) {
            // Nobody waits for this call any more. Its source answered: that
            // is noted first (the hold-back ends, the caps count one call
            // less), then the given-up connection goes with `work`, as it
            // went when a helper ended with its call.
            call->finished = true;
            lock.unlock();
            note_returned(*call);
            work = nullptr;
            offer_this_helper();
            return;
        }
        lock.unlock();
        // What `work` holds is let go before the caller hears of the end:
        // after that the caller may touch it again.
        work = nullptr;
        offer_this_helper();
        lock.lock();
        call->error = std::move(error);
        call->finished = true;
        call->finished_changed.notify_all();
        if (call->abandoned.load(std::memory_order_relaxed)) {
            note_returned(*call);  // given up while `work` was let go
        }
    };
    start_on_helper(std::move(job));

    // The limit runs from the start of the latest call. The caller stamps a
    // call when it sees the helper's count change, which it looks at every
    // `poll`: a stamp is never earlier than the call began, and at most one
    // poll later, so no call is given up before its limit and none more than
    // a poll after it. The operation's first call counts from here.
    const std::chrono::milliseconds poll =
        std::clamp(limit / 10, std::chrono::milliseconds{1}, std::chrono::milliseconds{100});
    Clock::time_point call_began = Clock::now();
    std::uint64_t calls_seen = 0;

    BoundedOutcome outcome;
    std::unique_lock<std::mutex> lock(call->mutex);
    for (;;) {
        const Clock::time_point deadline = call_began + limit;
        const Clock::time_point wake = std::min(deadline, Clock::now() + poll);
        if (call->finished_changed.wait_until(lock, wake, [&call] { return call->finished; })) {
            break;
        }
        const Clock::time_point now = Clock::now();
        const std::uint64_t calls = call->calls_begun.load(std::memory_order_acquire);
        if (calls != calls_seen) {
            calls_seen = calls;
            call_began = now;
        } else if (now >= deadline) {
            // No new call began within the limit: the current one is overdue.
            call->abandoned.store(true, std::memory_order_release);
            outcome.overdue = call->step.load(std::memory_order_relaxed);
            if (call->hooks.given_up) {
                try {
                    call->hooks.given_up(outcome.overdue);
                } catch (...) {
                    // Only bookkeeping is lost; the caller still gets the timeout.
                }
            }
            return outcome;
        }
    }
    outcome.finished = true;
    outcome.error = std::move(call->error);
    return outcome;
}

}  // namespace zel::sql::detail
