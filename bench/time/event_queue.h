// Things that fall due at a simulated time: an echo that reaches the board
// and raises its interrupt line, the next release of a periodic real-time
// thread, an interrupt a board raises on its own.  Whoever owns the clock
// asks for the next due time, moves the clock there and runs what is due.
#ifndef BENCH_TIME_EVENT_QUEUE_H
#define BENCH_TIME_EVENT_QUEUE_H

#include "time/sim_clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

namespace bench {

class EventQueue {
public:
    using Callback = std::function<void()>;
    using Id = std::uint64_t;  // 0 is never an event's id
    static constexpr Id kNoEvent = 0;

    // The callback runs at the first run_due(now) with now >= due.
    Id schedule(Nanos due, Callback callback);
    // Takes an event back; false when it has run or was never scheduled.
    bool cancel(Id id);
    void clear();

    bool empty() const { return events_.empty(); }
    std::size_t size() const { return events_.size(); }
    // The earliest due time, kNever when nothing is scheduled.
    Nanos next_due() const { return events_.empty() ? kNever : events_.begin()->first.first; }

    // Runs every event due at or before `now`, earliest first and, at the
    // same time, in the order they were scheduled; an event that a callback
    // schedules for a time already due runs in the same call.  Returns how
    // many ran.
    std::size_t run_due(Nanos now);

private:
    using Key = std::pair<Nanos, Id>;
    std::map<Key, Callback> events_;
    std::unordered_map<Id, Nanos> due_of_;
    Id last_id_ = 0;
};

} // namespace bench

#endif
