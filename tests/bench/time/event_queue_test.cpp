// The event queue: due order, ties in scheduling order, cancelling, and
// events that callbacks schedule.
#include "time/event_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(EventQueue, RunsWhatIsDueEarliestFirstAndTiesInScheduleOrder)
{
    bench::EventQueue q;
    std::string log;
    EXPECT_EQ(q.next_due(), bench::kNever);
    q.schedule(30, [&] { log += 'c'; });
    q.schedule(10, [&] { log += 'a'; });
    q.schedule(30, [&] { log += 'd'; });
    q.schedule(20, [&] { log += 'b'; });
    q.schedule(31, [&] { log += 'e'; });
    EXPECT_EQ(q.next_due(), 10);
    EXPECT_EQ(q.run_due(9), 0u);
    EXPECT_EQ(log, "");
    EXPECT_EQ(q.run_due(30), 4u);
    EXPECT_EQ(log, "abcd");
    EXPECT_EQ(q.next_due(), 31);
    EXPECT_EQ(q.size(), 1u);
}

TEST(EventQueue, CancelledEventsNeverRunAndIdsAreNotReused)
{
    bench::EventQueue q;
    int ran = 0;
    auto a = q.schedule(5, [&] { ran += 1; });
    auto b = q.schedule(5, [&] { ran += 10; });
    EXPECT_NE(a, b);
    EXPECT_NE(a, bench::EventQueue::kNoEvent);
    EXPECT_TRUE(q.cancel(a));
    EXPECT_FALSE(q.cancel(a)) << "already cancelled";
    EXPECT_EQ(q.run_due(100), 1u);
    EXPECT_EQ(ran, 10);
    EXPECT_FALSE(q.cancel(b)) << "it has run";
    auto c = q.schedule(1, [&] { ran += 100; });
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_FALSE(q.cancel(c));
    EXPECT_EQ(q.run_due(100), 0u);
    EXPECT_EQ(ran, 10);
}

TEST(EventQueue, EventsScheduledByACallbackRunInTheSameCallWhenDue)
{
    bench::EventQueue q;
    std::string log;
    q.schedule(10, [&] {
        log += 'a';
        q.schedule(5, [&] { log += 'b'; });    // already due: runs now
        q.schedule(10, [&] { log += 'c'; });   // due at the same time: after
        q.schedule(11, [&] { log += 'x'; });   // not yet
    });
    q.schedule(10, [&] { log += 'd'; });
    EXPECT_EQ(q.run_due(10), 4u);
    EXPECT_EQ(log, "abdc");
    EXPECT_EQ(q.next_due(), 11);
}

TEST(EventQueue, ACallbackMayCancelALaterEvent)
{
    bench::EventQueue q;
    int ran = 0;
    bench::EventQueue::Id later = 0;
    q.schedule(1, [&] { EXPECT_TRUE(q.cancel(later)); });
    later = q.schedule(2, [&] { ++ran; });
    q.run_due(5);
    EXPECT_EQ(ran, 0);
    EXPECT_TRUE(q.empty());
}

// What a callback holds goes with its event, whether it ran or was taken
// back, and a callback's place is used again by the next event without the
// old one coming back.
TEST(EventQueue, ACallbackIsReleasedWhenItRunsOrIsCancelledAndItsPlaceReused)
{
    bench::EventQueue q;
    auto held = std::make_shared<int>(0);
    std::string log;
    auto a = q.schedule(10, [held, &log] { log += 'a'; });
    EXPECT_EQ(held.use_count(), 2);
    EXPECT_TRUE(q.cancel(a));
    EXPECT_EQ(held.use_count(), 1) << "a cancelled callback keeps nothing";
    q.schedule(10, [held, &log] { log += 'b'; });
    q.schedule(5, [&log] { log += 'c'; });
    EXPECT_EQ(q.run_due(10), 2u);
    EXPECT_EQ(log, "cb");
    EXPECT_EQ(held.use_count(), 1) << "a callback that ran keeps nothing";
    EXPECT_TRUE(q.empty());
}

// Many events at few distinct times, a third of them cancelled (some after
// they ran), run in steps, with callbacks scheduling more: the order is
// always (due time, order of scheduling), as a plain sorted list says.
TEST(EventQueue, LongRunsKeepTheOrderOfASortedList)
{
    bench::EventQueue q;
    std::vector<std::tuple<bench::Nanos, std::uint64_t, int>> pending;  // the list
    std::vector<int> ran, want;
    unsigned x = 12345;
    auto next = [&x](unsigned n) {
        x = x * 1103515245u + 12345u;
        return (x >> 16) % n;
    };
    int label = 0;
    bench::Nanos now = 0;
    std::vector<bench::EventQueue::Id> ids;
    std::function<void(bench::Nanos)> add = [&](bench::Nanos due) {
        int me = label++;
        bool spawns = next(8) == 0;
        auto id = q.schedule(due, [&, me, spawns, due] {
            ran.push_back(me);
            if (spawns)
                add(due + static_cast<bench::Nanos>(next(3)));  // possibly due at once
        });
        pending.emplace_back(due, id, me);
        ids.push_back(id);
    };
    for (int step = 0; step < 300; ++step) {
        for (unsigned i = next(6); i > 0; --i)
            add(now + static_cast<bench::Nanos>(next(40)));
        for (unsigned i = next(3); i > 0 && !ids.empty(); --i) {
            auto id = ids[next(static_cast<unsigned>(ids.size()))];
            auto it = std::find_if(pending.begin(), pending.end(),
                                   [id](const auto &e) { return std::get<1>(e) == id; });
            EXPECT_EQ(q.cancel(id), it != pending.end()) << "event " << id;
            if (it != pending.end())
                pending.erase(it);
        }
        now += static_cast<bench::Nanos>(next(12));
        // The list's view: everything due by now, earliest first, ties in
        // the order scheduled, including what the callbacks add on the way
        // (they are in the list by the time it is sorted).
        ran.clear();
        want.clear();
        q.run_due(now);
        std::sort(pending.begin(), pending.end());
        auto due_end = std::find_if(pending.begin(), pending.end(),
                                    [now](const auto &e) { return std::get<0>(e) > now; });
        for (auto it = pending.begin(); it != due_end; ++it)
            want.push_back(std::get<2>(*it));
        pending.erase(pending.begin(), due_end);
        ASSERT_EQ(ran, want) << "at step " << step;
        ASSERT_EQ(q.size(), pending.size());
        bench::Nanos first = bench::kNever;
        for (const auto &e : pending)
            first = std::min(first, std::get<0>(e));
        ASSERT_EQ(q.next_due(), first);
    }
    EXPECT_GT(label, 500);
}

TEST(SimClock, NeverRunsBack)
{
    bench::SimClock c;
    c.advance_to(1999);
    EXPECT_EQ(c.micros(), 1u);
    c.advance_to(5);
    EXPECT_EQ(c.now(), 1999);
    c.advance(1);
    EXPECT_EQ(c.micros(), 2u);
}

// Costs added beyond the clock's range leave it at kNever, not negative.
TEST(SimClock, StopsAtNever)
{
    bench::SimClock c;
    c.advance(bench::kNever - 10);
    c.advance(9223372036854775806LL);
    EXPECT_EQ(c.now(), bench::kNever);
    c.advance(1);
    EXPECT_EQ(c.now(), bench::kNever);
}

} // namespace
