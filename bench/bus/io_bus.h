// The lab PC's I/O bus: the ISA port space with devices on it.
//
// A device declares nothing but how it answers byte (and, if it likes, word)
// cycles at absolute port numbers; a board maps it into a window of ports
// under a name ("lpt", "echo_board"), so that a port can be told as
// "echo_board+2".  Ports nobody decodes read 0xFF (the floating bus) and
// ignore writes.  A word access whose two bytes land on one device reaches
// it as one cycle; otherwise the bus splits it into two byte cycles.
//
// Every access takes the bus cycle the board sets (1 us by default: one ISA
// cycle to port 0x80, which the downloader uses as its only clock) on the
// clock the bus is given.  A user process's accesses are checked against
// its I/O permission (io_permissions.h); kernel code (the emulated RTLinux
// machine) runs with the permission check off.  Every access can be traced
// and is shown to an observer (bus_trace.h).
#ifndef BENCH_BUS_IO_BUS_H
#define BENCH_BUS_IO_BUS_H

#include "bus/bus_trace.h"
#include "bus/io_permissions.h"
#include "time/sim_clock.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A device on the I/O bus.  Ports are absolute port numbers; `now` is the
// bus clock in whole microseconds.
class Device {
public:
    virtual ~Device() = default;
    virtual std::uint8_t read8(std::uint16_t port, Micros now) = 0;
    virtual void write8(std::uint16_t port, std::uint8_t value, Micros now) = 0;
    // A 16-bit access reaches the device as one bus cycle; by default it is
    // seen as the low byte at port and the high byte at port + 1.
    virtual std::uint16_t read16(std::uint16_t port, Micros now);
    virtual void write16(std::uint16_t port, std::uint16_t value, Micros now);
    // Back to the power-on state named in the device's header.
    virtual void reset(Micros /*now*/) {}
};

// One device's window on the bus.
struct Mapping {
    std::string name;
    std::uint16_t first;
    unsigned count;
    Device *device;
};

class IoBus {
public:
    // A bus on the board's clock, or on a clock of its own.
    explicit IoBus(SimClock &clock);
    IoBus();
    IoBus(const IoBus &) = delete;
    IoBus &operator=(const IoBus &) = delete;

    // Forget devices, permissions, trace, time and settings.
    void reset();

    // Map a device to ports [first, first + count).  The device must outlive
    // the mapping.  A later mapping covers an earlier one where they overlap.
    void map(std::uint16_t first, unsigned count, Device &device, std::string name = "");
    void unmap(std::uint16_t first, unsigned count);
    const std::vector<Mapping> &mappings() const { return mappings_; }
    Device *device_at(std::uint16_t port) const { return devices_[port]; }
    // "name+offset" for a port in a named window, else "0xPORT".
    std::string describe(std::uint16_t port) const;
    // Every mapped device back to its power-on state (a bus RESET).
    void reset_devices();

    // The user process's I/O permission, and the processor's check of it.
    IoPermissions &permissions() { return permissions_; }
    void set_kernel_mode(bool on) { kernel_mode_ = on; }  // no permission check
    void set_privileged(bool privileged, int refusal_errno = 1 /* EPERM */)
    {
        permissions_.set_privileged(privileged, refusal_errno);
    }
    void refuse_range(std::uint16_t first, unsigned count) { permissions_.refuse_range(first, count); }
    int permission(unsigned long from, unsigned long num, int turn_on);
    bool permitted(std::uint16_t port) const { return permissions_.permitted(port); }
    bool any_permitted() const { return permissions_.any_permitted(); }
    const std::vector<PermissionCall> &permission_calls() const { return permissions_.calls(); }
    void set_violation_policy(ViolationPolicy p) { permissions_.set_violation_policy(p); }
    const std::vector<std::uint16_t> &violations() const { return permissions_.violations(); }

    // The processor's side of the bus.
    std::uint8_t in8(std::uint16_t port);
    void out8(std::uint16_t port, std::uint8_t value);
    std::uint16_t in16(std::uint16_t port);
    void out16(std::uint16_t port, std::uint16_t value);

    SimClock &clock() { return clock_; }
    Micros now() const { return clock_.micros(); }
    void set_access_cost(Nanos cost) { access_cost_ = cost; }
    // Moves the clock forward to t microseconds (never back), for a bus whose
    // accesses come with their own time, as from a guest running in QEMU,
    // where waits happen that the bench never sees as accesses.
    void advance_to(Micros t) { clock_.advance_to(static_cast<Nanos>(t) * kMicrosecond); }
    std::uint64_t accesses() const { return accesses_; }

    void set_tracing(bool on) { trace_.set_on(on); }
    const std::vector<Access> &trace() const { return trace_.accesses(); }
    void clear_trace() { trace_.clear(); }

    // Called after every completed access with the access count so far; the
    // bench uses it to inject events (a signal in the middle of a download).
    using AccessHook = void (*)(std::uint64_t accesses, void *ctx);
    void set_access_hook(AccessHook hook, void *ctx) { hook_ = hook; hook_ctx_ = ctx; }

    // One observer at a time (nullptr to remove).  It must outlive its use.
    void set_observer(Observer *observer) { observer_ = observer; }

private:
    bool check(std::uint16_t port, unsigned width);
    void record(Micros now, std::uint16_t port, Dir dir, unsigned width, std::uint16_t value);
    void after_access();

    SimClock own_clock_;
    SimClock &clock_;
    Nanos access_cost_ = kMicrosecond;
    std::array<Device *, 65536> devices_{};
    std::vector<Mapping> mappings_;
    IoPermissions permissions_;
    bool kernel_mode_ = false;
    std::uint64_t accesses_ = 0;
    BusTrace trace_;
    AccessHook hook_ = nullptr;
    void *hook_ctx_ = nullptr;
    Observer *observer_ = nullptr;
};

// The process-wide bus, on a clock of its own, that the simulated port seam
// (seams/portio_sim.cpp) talks to.
IoBus &io();

} // namespace bench

#endif
