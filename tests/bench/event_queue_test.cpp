// The event queue: due order, ties in scheduling order, cancelling, and
// events that callbacks schedule.
#include "time/event_queue.h"

#include <gtest/gtest.h>

#include <string>

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
