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
#include <vector>

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

    bool empty() const { return heap_.empty(); }
    std::size_t size() const { return heap_.size(); }
    // The earliest due time, kNever when nothing is scheduled.
    Nanos next_due() const { return heap_.empty() ? kNever : heap_.front().due; }

    // Runs every event due at or before `now`, earliest first and, at the
    // same time, in the order they were scheduled; an event that a callback
    // schedules for a time already due runs in the same call.  Returns how
    // many ran.
    std::size_t run_due(Nanos now)
    {
        // Asked at every switch point of the emulated machine; mostly
        // nothing is due.
        if (heap_.empty() || heap_.front().due > now)
            return 0;
        return run_due_events(now);
    }

private:
    std::size_t run_due_events(Nanos now);

    // A handful of events wait at a time (a thread's next release, the
    // echoes of the last shots), and one is scheduled and run per echo and
    // per release, so no event costs an allocation: the times are a heap
    // (earliest (due, id) first) of plain entries, cheap to move about, and
    // each callback stays in a slot of its own that is used again once it
    // has run.  The callbacks capture a pointer or two and so live inside
    // the std::function.
    struct Entry {
        Nanos due;
        Id id;
        std::size_t slot;
    };
    static bool later(const Entry &a, const Entry &b) { return a.due != b.due ? a.due > b.due : a.id > b.id; }

    std::vector<Entry> heap_;
    std::vector<Callback> callbacks_;     // by slot
    std::vector<std::size_t> free_slots_;
    Id last_id_ = 0;
};

} // namespace bench

#endif
