// What the bus lets others see: each port access and each ioperm() call as
// a record, an observer that is told of them as they happen, and the trace
// the tests and portpoke-sim read back.
#ifndef BENCH_BUS_BUS_TRACE_H
#define BENCH_BUS_BUS_TRACE_H

#include "time/sim_clock.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

enum class Dir : std::uint8_t { In, Out };

struct Access {
    Micros time;           // simulated time at which the access was made
    std::uint16_t port;
    Dir dir;
    std::uint8_t width;    // 8 or 16
    std::uint16_t value;   // value read or written
    bool operator==(const Access &o) const
    {
        return time == o.time && port == o.port && dir == o.dir && width == o.width && value == o.value;
    }
};

struct PermissionCall {
    unsigned long from;
    unsigned long num;
    int turn_on;
    int result;            // 0, or -1 (errno in err)
    int err;
    bool operator==(const PermissionCall &o) const
    {
        return from == o.from && num == o.num && turn_on == o.turn_on && result == o.result && err == o.err;
    }
};

// Sees every access and every permission call as it happens (the trace
// writer of the simulators streams them to a file, so that the record is
// complete even when the process is then ended by a signal).
class Observer {
public:
    virtual ~Observer() = default;
    virtual void on_access(const Access &) {}
    virtual void on_permission(const PermissionCall &) {}
};

// The accesses kept in memory while tracing is on.
class BusTrace {
public:
    void set_on(bool on) { on_ = on; }
    bool on() const { return on_; }
    void record(const Access &a)
    {
        if (on_)
            accesses_.push_back(a);
    }
    const std::vector<Access> &accesses() const { return accesses_; }
    void clear() { accesses_.clear(); }

private:
    bool on_ = false;
    std::vector<Access> accesses_;
};

// "TIME inWIDTH|outWIDTH 0xPORT 0xVALUE", as portpoke-sim's report has it.
std::string to_string(const Access &a);

} // namespace bench

#endif
