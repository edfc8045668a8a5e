// Event and thread records: their result codes (0, 111, 138, system errors), closes that
// release parked waiters, closes raced from two threads, and joins by several threads.
#include "platform/event.h"
#include "platform/internal/handles.h"
#include "platform/settings.h"
#include "platform/win/hooks.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace ts = testing_support;

namespace {

// Each test ends with no handle of the layer left open and no fault armed.
class records : public ::testing::Test {
  protected:
    void SetUp() override { handles_before_ = ts::open_handles(); }
    void TearDown() override {
        fault_clear();
        EXPECT_EQ(ts::open_handles_settled(handles_before_), handles_before_);
    }
    std::uint32_t handles_before_ = 0;
};

// Gives other threads a moment to reach their waits; the tests hold whichever way it goes.
void let_them_park() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST_F(records, event_created_signalled_passes_one_wait_then_blocks_until_set) {
    G_EVENT ev{};
    ev.create(true);
    EXPECT_EQ(ev.wait(), 0u);
    std::atomic<int> woke{0};
    std::thread waiter([&] {
        EXPECT_EQ(ev.wait(), 0u);
        woke = 1;
    });
    let_them_park();
    EXPECT_EQ(woke.load(), 0) << "the first wait consumed the signal";
    EXPECT_EQ(ev.set(), 0u);
    waiter.join();
    EXPECT_EQ(woke.load(), 1);
    ev.close();
}

TEST_F(records, sets_without_a_waiter_collapse_into_one_signal) {
    G_EVENT ev{};
    ev.create(false);
    EXPECT_EQ(ev.set(), 0u);
    EXPECT_EQ(ev.set(), 0u);
    EXPECT_EQ(ev.wait(), 0u);
    std::atomic<int> woke{0};
    std::thread waiter([&] {
        ev.wait();
        woke = 1;
    });
    let_them_park();
    EXPECT_EQ(woke.load(), 0);
    ev.close(); // also how the owner tells the waiter to stop
    waiter.join();
}

TEST_F(records, each_set_releases_one_parked_waiter_even_in_quick_succession) {
    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0) released.fetch_add(1);
        });
    let_them_park();
    // Two sets before any woken waiter has run: both must release one (no signal merges).
    SetEvent(h);
    SetEvent(h);
    for (int i = 0; i < 200 && released.load() < 2; ++i) let_them_park(); // bounded
    let_them_park();
    EXPECT_EQ(released.load(), 2) << "two sets, two waiters released; the third stays parked";
    SetEvent(h);
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(released.load(), 3);
    // Sets with nobody waiting keep one signal only.
    SetEvent(h);
    SetEvent(h);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 10), WAIT_TIMEOUT);
    CloseHandle(h);
}

TEST_F(records, invalid_or_closed_event_gives_111_at_once) {
    G_EVENT never{};
    EXPECT_EQ(never.set(), 111u);
    EXPECT_EQ(never.wait(), 111u);
    never.close(); // nothing to do

    fault_inject("CreateEventW", ERROR_NO_SYSTEM_RESOURCES);
    G_EVENT failed{};
    failed.create(true);
    EXPECT_EQ(failed.valid.load(), 0);
    EXPECT_EQ(failed.h_event, nullptr);
    EXPECT_EQ(failed.wait(), 111u);
    failed.close();

    G_EVENT closed{};
    closed.create(true);
    closed.close();
    EXPECT_EQ(closed.h_event, nullptr);
    EXPECT_EQ(closed.set(), 111u);
    EXPECT_EQ(closed.wait(), 111u);
    closed.close(); // a second close does nothing
}

TEST_F(records, failing_system_calls_give_their_error_and_wait_results_map) {
    G_EVENT ev{};
    ev.create(false);
    fault_inject("SetEvent", ERROR_INVALID_HANDLE);
    EXPECT_EQ(ev.set(), ERROR_INVALID_HANDLE);
    fault_inject("WaitForSingleObject", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ev.wait(), ERROR_INVALID_PARAMETER);
    const struct {
        DWORD result;
        uint32_t code;
    } results[] = {{WAIT_OBJECT_0, 0}, {WAIT_ABANDONED, 0}, {WAIT_TIMEOUT, 138}};
    for (const auto& r : results) {
        SCOPED_TRACE(r.result);
        fault_value("WaitForSingleObject", r.result);
        EXPECT_EQ(ev.wait(), r.code);
    }
    fault_clear();
    ev.close();
}

TEST_F(records, a_wait_on_a_handle_closed_underneath_fails_without_touching_it) {
    HANDLE h = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_FALSE(CloseHandle(h));
    // A new event does not take the closed value: the stale handle stays refused.
    HANDLE next = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_NE(next, h);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(next, INFINITE), WAIT_OBJECT_0);
    CloseHandle(next);
}

TEST_F(records, close_releases_a_parked_waiter_with_111) {
    G_EVENT ev{};
    ev.create(false);
    uint32_t result = 0;
    std::thread waiter([&] { result = ev.wait(); });
    let_them_park();
    ev.close();
    waiter.join();
    EXPECT_EQ(result, 111u);
}

TEST_F(records, close_releases_every_waiter_at_once) {
    G_EVENT ev{};
    ev.create(false);
    constexpr int count = 31; // the most senders that can park on one slot's free event
    std::vector<uint32_t> results(count, 0);
    std::vector<std::thread> waiters;
    for (int i = 0; i < count; ++i) waiters.emplace_back([&, i] { results[i] = ev.wait(); });
    let_them_park();
    ev.close();
    for (std::thread& t : waiters) t.join();
    for (int i = 0; i < count; ++i) EXPECT_EQ(results[i], 111u) << "waiter " << i;
}

TEST_F(records, closes_raced_from_two_threads_signal_once_and_release_once) {
    for (int round = 0; round < 50; ++round) {
        G_EVENT ev{};
        ev.create(false);
        // The second SetEvent and the second CloseHandle of the round would fail: if the
        // faults are still armed afterwards, each call happened exactly once.
        fault_inject("SetEvent", ERROR_INVALID_HANDLE, 1, 1);
        fault_inject("CloseHandle", ERROR_INVALID_HANDLE, 1, 1);
        uint32_t result = 0;
        std::thread waiter([&] { result = ev.wait(); });
        std::atomic<bool> go{false};
        auto closer = [&] {
            while (!go.load()) {
            }
            ev.close();
        };
        std::thread a(closer), b(closer);
        go = true;
        a.join();
        b.join();
        waiter.join();
        EXPECT_EQ(result, 111u);
        HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        EXPECT_FALSE(SetEvent(probe)) << "SetEvent ran twice in round " << round;
        EXPECT_FALSE(CloseHandle(probe)) << "CloseHandle ran twice in round " << round;
        fault_clear();
        CloseHandle(probe);
    }
}

TEST_F(records, sets_and_waits_racing_a_close_end_with_111) {
    for (int round = 0; round < 100; ++round) {
        G_EVENT ev{};
        ev.create(false);
        uint32_t set_end = 0, wait_end = 0;
        std::atomic<int> running{0};
        std::thread setter([&] {
            running.fetch_add(1);
            while ((set_end = ev.set()) == 0) {
            }
        });
        std::thread waiter([&] {
            running.fetch_add(1);
            while ((wait_end = ev.wait()) == 0) {
            }
        });
        // Round 0 closes at once, maybe before either loop runs; every later round once both
        // loops run, after a spin that grows with the round, so that the close meets them at
        // different points. A spin, not yields: on a loaded machine each yield can hand the
        // processor away for a whole time slice, and the rounds stretch to minutes.
        while (round > 0 && running.load() < 2) std::this_thread::yield();
        std::atomic<int> spin{0};
        while (spin.load(std::memory_order_relaxed) < round * 100)
            spin.fetch_add(1, std::memory_order_relaxed);
        ev.close();
        setter.join();
        waiter.join();
        EXPECT_EQ(set_end, 111u);
        EXPECT_EQ(wait_end, 111u);
    }
}

TEST_F(records, set_raced_with_wait_never_loses_the_signal) {
    G_EVENT ping{}, pong{};
    ping.create(false);
    pong.create(false);
    constexpr int rounds = 20000;
    std::thread echo([&] {
        for (int i = 0; i < rounds; ++i) {
            ASSERT_EQ(ping.wait(), 0u);
            ASSERT_EQ(pong.set(), 0u);
        }
    });
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(ping.set(), 0u);
        ASSERT_EQ(pong.wait(), 0u);
    }
    echo.join();
    ping.close();
    pong.close();
}

// A wait that finds no signal may look for it a while before it sleeps, but only on an event
// whose sets have come quickly of late: an event set only every few milliseconds (a slot at
// light load, an idle one) is waited for without looking, so it costs no processor time.
TEST_F(records, an_event_whose_sets_come_late_is_waited_for_without_looking) {
    G_EVENT ev{};
    ev.create(false);
    EXPECT_EQ(win::internal::event_look_budget(ev.h_event), 0u) << "a new event looks at once";
    std::atomic<bool> parked{false};
    std::thread setter([&] {
        for (int i = 0; i < 12; ++i) {
            while (!parked.exchange(false)) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            ASSERT_EQ(ev.set(), 0u);
        }
    });
    for (int i = 0; i < 12; ++i) {
        parked = true;
        ASSERT_EQ(ev.wait(), 0u);
    }
    setter.join();
    EXPECT_EQ(win::internal::event_look_budget(ev.h_event), 0u)
        << "waits of milliseconds must leave the event without a look";
    ev.close();
}

DWORD count_up(LPVOID argument) {
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return 0;
}

DWORD wait_for_event(LPVOID argument) {
    static_cast<G_EVENT*>(argument)->wait();
    return 0;
}

TEST_F(records, thread_starts_with_the_reservation_and_joins_any_number_of_times) {
    std::atomic<int> runs{0};
    G_THREAD t{};
    ASSERT_EQ(t.start(count_up, &runs), 0u);
    EXPECT_EQ(t.started, 1);
    EXPECT_EQ(t.stack_size, stack_reservation);
    EXPECT_EQ(t.creation_flags, STACK_SIZE_PARAM_IS_A_RESERVATION);
    EXPECT_NE(t.h_thread, nullptr);
    EXPECT_EQ(t.join(), 0u);
    EXPECT_EQ(t.join(), 0u);
    EXPECT_EQ(runs.load(), 1);
    t.close();
    EXPECT_EQ(t.started, 0);
    EXPECT_EQ(t.h_thread, nullptr);
    EXPECT_EQ(t.join(), 111u);
    t.close();
}

TEST_F(records, several_threads_join_one_thread) {
    G_EVENT release{};
    release.create(false);
    G_THREAD t{};
    ASSERT_EQ(t.start(wait_for_event, &release), 0u);
    std::vector<uint32_t> results(4, 99);
    std::vector<std::thread> joiners;
    for (int i = 0; i < 4; ++i) joiners.emplace_back([&, i] { results[i] = t.join(); });
    let_them_park();
    release.set();
    for (std::thread& j : joiners) j.join();
    for (uint32_t r : results) EXPECT_EQ(r, 0u);
    t.close();
    release.close();
}

TEST_F(records, join_of_a_thread_never_started_or_failed_to_start_gives_111) {
    G_THREAD never{};
    EXPECT_EQ(never.join(), 111u);
    never.close();
    fault_inject("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    G_THREAD failed{};
    std::atomic<int> runs{0};
    EXPECT_EQ(failed.start(count_up, &runs), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(failed.started, 0);
    EXPECT_EQ(failed.join(), 111u);
    EXPECT_EQ(runs.load(), 0);
}

TEST_F(records, thread_whose_stack_cannot_be_had_fails_with_8_and_leaves_nothing_open) {
    std::atomic<int> runs{0};
    SetLastError(0);
    HANDLE h = CreateThread(nullptr, SIZE_T(1) << 44, count_up, &runs,
                            STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(runs.load(), 0);
}

TEST_F(records, thread_handle_outlives_its_thread_until_closed) {
    std::atomic<int> runs{0};
    HANDLE h = CreateThread(nullptr, 0, count_up, &runs, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0)
        << "a finished thread stays signalled";
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_FAILED);
}

} // namespace
