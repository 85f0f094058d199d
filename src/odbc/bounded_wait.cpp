#include "odbc/bounded_wait.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

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

    // Written by the helper at every note_wait(), read by the waiting caller.
    std::atomic<Clock::rep> wait_started{0};
    std::atomic<WaitStep> step{WaitStep::connect};
    std::atomic<bool> abandoned{false};
    AbandonHooks hooks;

    void mark(WaitStep next) noexcept {
        step.store(next, std::memory_order_relaxed);
        wait_started.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
    }
};

// The bounded call that this thread runs as a helper, if any.
thread_local BoundedCall* current_call = nullptr;

}  // namespace

void note_wait(WaitStep step) {
    BoundedCall* const call = current_call;
    if (call == nullptr) {
        return;
    }
    if (call->abandoned.load(std::memory_order_acquire)) {
        throw Error("The operation was given up after the database did not answer");
    }
    call->mark(step);
}

bool is_bounded_helper() noexcept {
    return current_call != nullptr;
}

BoundedOutcome run_with_wait_limit(std::function<void()> work, std::chrono::milliseconds limit,
                                   AbandonHooks hooks) {
    // A deadline never lies more than a day ahead, so adding it to the steady
    // clock cannot overflow.
    limit = std::clamp(limit, std::chrono::milliseconds{0}, std::chrono::milliseconds{86400000});
    auto call = std::make_shared<BoundedCall>();
    call->hooks = std::move(hooks);
    call->mark(WaitStep::connect);
    std::thread helper;
    try {
        helper = std::thread([call, work = std::move(work)] {
            current_call = call.get();
            std::exception_ptr error;
            try {
                work();
            } catch (...) {
                error = std::current_exception();
            }
            current_call = nullptr;
            const std::lock_guard<std::mutex> lock(call->mutex);
            call->error = std::move(error);
            call->finished = true;
            call->finished_changed.notify_all();
            if (call->abandoned.load(std::memory_order_relaxed) && call->hooks.returned) {
                try {
                    call->hooks.returned();
                } catch (...) {
                    // Only bookkeeping is lost; the helper still ends.
                }
            }
        });
    } catch (const std::system_error& e) {
        throw Error(util::cat("Unable to start a thread to wait for the database: ", e.what()));
    }

    BoundedOutcome outcome;
    std::unique_lock<std::mutex> lock(call->mutex);
    for (;;) {
        const Clock::rep started = call->wait_started.load(std::memory_order_acquire);
        const Clock::time_point deadline = Clock::time_point(Clock::duration(started)) + limit;
        if (call->finished_changed.wait_until(lock, deadline, [&call] { return call->finished; })) {
            break;
        }
        if (call->wait_started.load(std::memory_order_acquire) == started) {
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
            lock.unlock();
            helper.detach();
            return outcome;
        }
    }
    outcome.finished = true;
    outcome.error = std::move(call->error);
    lock.unlock();
    helper.join();
    return outcome;
}

}  // namespace zel::sql::detail
