// The bench's one time base: a count of simulated nanoseconds.
//
// Both halves of the bench read the same kind of clock.  On the FPGA bench
// only port accesses move it (each costs the bus cycle its board sets); on
// the emulated RTLinux machine it moves when every context waits, or by a
// set cost per platform call.  Devices on the I/O bus are told the time in
// whole microseconds (the ISA bus cycle, the downloader's only clock); a
// device that needs finer time holds the clock itself.
#ifndef BENCH_TIME_SIM_CLOCK_H
#define BENCH_TIME_SIM_CLOCK_H

#include <climits>
#include <cstdint>

namespace bench {

using Nanos = long long;
using Micros = std::uint64_t;

constexpr Nanos kNever = LLONG_MAX;
constexpr Nanos kMicrosecond = 1000;
constexpr Nanos kMillisecond = 1000 * kMicrosecond;
constexpr Nanos kSecond = 1000 * kMillisecond;

class SimClock {
public:
    Nanos now() const { return now_; }
    Micros micros() const { return static_cast<Micros>(now_ / kMicrosecond); }
    // A span that would carry the clock past kNever stops it there.
    void advance(Nanos span)
    {
        Nanos next;
        if (__builtin_add_overflow(now_, span, &next))
            next = span < 0 ? LLONG_MIN : kNever;
        now_ = next;
    }
    // Moves to `when` unless the clock is already past it: time never runs back.
    void advance_to(Nanos when)
    {
        if (when > now_)
            now_ = when;
    }
    void reset() { now_ = 0; }

private:
    Nanos now_ = 0;
};

} // namespace bench

#endif
