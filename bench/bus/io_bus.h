// The bench's I/O space: the simulated ISA I/O ports of the lab PC.
//
// Devices are mapped to port ranges; every port access advances simulated
// time by one microsecond (on the real PC one ISA bus cycle to port 0x80 takes
// about that long, and the downloader uses it as its only clock).  The kernel's
// port permission is modelled as it works: a process must be granted a range
// with ioperm() before it touches it, and an access outside the granted ports
// is a fault.  Every access can be recorded in a trace for the tests.
#ifndef BENCH_BUS_IO_BUS_H
#define BENCH_BUS_IO_BUS_H

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Micros = std::uint64_t;

// A device on the I/O bus.  Ports are absolute port numbers.
class Device {
public:
    virtual ~Device() = default;
    virtual std::uint8_t read8(std::uint16_t port, Micros now) = 0;
    virtual void write8(std::uint16_t port, std::uint8_t value, Micros now) = 0;
    // A 16-bit access reaches the device as one bus cycle; by default it is
    // seen as the low byte at port and the high byte at port + 1.
    virtual std::uint16_t read16(std::uint16_t port, Micros now);
    virtual void write16(std::uint16_t port, std::uint16_t value, Micros now);
};

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

// What happens when a program touches a port it holds no permission for.
enum class ViolationPolicy {
    Kill,    // report on stderr and end the process with SIGSEGV, as the CPU would
    Record,  // report on stderr, count it, carry on (in-process tests)
};

class IoSpace {
public:
    IoSpace();

    // Forget devices, permissions, trace, time and settings.
    void reset();

    // Map a device to ports [first, first + count).  The device must outlive
    // the mapping.  Ports nobody decodes read 0xFF (the floating ISA bus) and
    // ignore writes.
    void map(std::uint16_t first, unsigned count, Device &device);
    void unmap(std::uint16_t first, unsigned count);

    // Kernel side of ioperm().  An unprivileged process is refused access
    // with refusal_errno.  With EPERM (a kernel with ioperm, no CAP_SYS_RAWIO)
    // giving up access still succeeds, as Linux lets anyone drop its ports;
    // with ENOSYS (a kernel or sandbox without ioperm) every call fails.
    void set_privileged(bool privileged, int refusal_errno = 1 /* EPERM */);
    void refuse_range(std::uint16_t first, unsigned count);  // never granted, even to root
    int permission(unsigned long from, unsigned long num, int turn_on);
    bool permitted(std::uint16_t port) const { return granted_[port]; }
    bool any_permitted() const { return granted_.any(); }
    const std::vector<PermissionCall> &permission_calls() const { return perm_calls_; }

    // The program's side of the bus.
    std::uint8_t in8(std::uint16_t port);
    void out8(std::uint16_t port, std::uint8_t value);
    std::uint16_t in16(std::uint16_t port);
    void out16(std::uint16_t port, std::uint16_t value);

    Micros now() const { return now_; }
    std::uint64_t accesses() const { return accesses_; }

    void set_tracing(bool on) { tracing_ = on; }
    const std::vector<Access> &trace() const { return trace_; }
    void clear_trace() { trace_.clear(); }

    void set_violation_policy(ViolationPolicy p) { policy_ = p; }
    const std::vector<std::uint16_t> &violations() const { return violations_; }

    // Called after every completed access with the access count so far; the
    // bench uses it to inject events (a signal in the middle of a download).
    using AccessHook = void (*)(std::uint64_t accesses, void *ctx);
    void set_access_hook(AccessHook hook, void *ctx) { hook_ = hook; hook_ctx_ = ctx; }

    // One observer at a time (nullptr to remove).  It must outlive its use.
    void set_observer(Observer *observer) { observer_ = observer; }

private:
    bool check(std::uint16_t port, unsigned width);
    void record(std::uint16_t port, Dir dir, unsigned width, std::uint16_t value);
    void after_access();

    std::array<Device *, 65536> devices_{};
    std::bitset<65536> granted_;
    std::bitset<65536> refused_;
    bool privileged_ = true;
    int refusal_errno_ = 1;
    std::vector<PermissionCall> perm_calls_;
    Micros now_ = 0;
    std::uint64_t accesses_ = 0;
    bool tracing_ = false;
    std::vector<Access> trace_;
    ViolationPolicy policy_ = ViolationPolicy::Kill;
    std::vector<std::uint16_t> violations_;
    AccessHook hook_ = nullptr;
    void *hook_ctx_ = nullptr;
    Observer *observer_ = nullptr;
};

// The process-wide I/O space that the simulated port seam talks to.
IoSpace &io();

std::string to_string(const Access &a);

} // namespace bench

#endif
