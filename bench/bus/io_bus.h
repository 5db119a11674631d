// The lab PC's I/O bus: the ISA port space with devices on it.
//
// A device declares nothing but how it answers byte (and, if it likes, word)
// cycles at offsets within its window; a board maps it into a window of
// ports under a name ("parallel_port", "echo_board"), and the bus hands the
// device the offset of each cycle (so a port can also be told as
// "echo_board+2").  Where a device sits is the board's choice, made once,
// in its map() call.  Ports nobody decodes read 0xFF (the floating bus) and
// ignore writes.  A word access whose two bytes land on one device reaches
// it as one cycle; otherwise the bus splits it into two byte cycles.
//
// Every access takes the bus cycle the board sets (1 us by default: one ISA
// cycle to port 0x80, which the downloader uses as its only clock) on the
// clock the bus is given; a board may give the ports of one window a cycle
// of their own (a parallel port on a faster PC's chipset, the delay port
// still on ISA).  A user process's accesses are checked against
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
#include <memory>
#include <string>
#include <vector>

namespace bench {

// A device on the I/O bus.  `offset` is the port's place in the device's
// window (0 for its first port); `now` is the bus clock in whole
// microseconds.
class Device {
public:
    virtual ~Device() = default;
    virtual std::uint8_t read8(std::uint16_t offset, Micros now) = 0;
    virtual void write8(std::uint16_t offset, std::uint8_t value, Micros now) = 0;
    // A 16-bit access reaches the device as one bus cycle when both its
    // bytes fall in one window; by default it is seen as the low byte at
    // offset and the high byte at offset + 1.
    virtual std::uint16_t read16(std::uint16_t offset, Micros now);
    virtual void write16(std::uint16_t offset, std::uint16_t value, Micros now);
    // The board mapped the device at `first` under `name`: a device that
    // names its ports in what it says (complaints) takes note; it answers
    // cycles by their offsets all the same.
    virtual void mapped(std::uint16_t /*first*/, const std::string & /*name*/) {}
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
    // The first port of the window that holds port (meaningful where a
    // device is mapped).
    std::uint16_t window_first(std::uint16_t port) const { return firsts_[port]; }
    // The window that holds port, or null.
    const Mapping *window_at(std::uint16_t port) const;
    // "name+offset" for a port in a named window, else "0xPORT".
    std::string describe(std::uint16_t port) const;

    // The user process's I/O permission, and the processor's check of it.
    IoPermissions &permissions() { return permissions_; }
    const IoPermissions &permissions() const { return permissions_; }
    void set_kernel_mode(bool on) { kernel_mode_ = on; }  // no permission check
    // ioperm() from the user process: the permission model's answer, told
    // to the observer.
    int permission(unsigned long from, unsigned long num, int turn_on);

    // The processor's side of the bus.
    std::uint8_t in8(std::uint16_t port);
    void out8(std::uint16_t port, std::uint8_t value);
    std::uint16_t in16(std::uint16_t port);
    void out16(std::uint16_t port, std::uint16_t value);

    SimClock &clock() { return clock_; }
    Micros now() const { return clock_.micros(); }
    // The cycle of every port, or of the ports [first, first + count).
    void set_access_cost(Nanos cost);
    void set_access_cost(std::uint16_t first, unsigned count, Nanos cost);
    Nanos access_cost(std::uint16_t port) const { return (*costs_)[port]; }
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
    void after_access(std::uint16_t port);

    SimClock own_clock_;
    SimClock &clock_;
    // Each port's bus cycle, on the heap: the bus is already 640 KiB of
    // device tables, and an object past 1 MiB trips UBSan's vptr check in
    // every class that holds a bus (its offset-to-top is taken as invalid).
    std::unique_ptr<std::array<Nanos, 65536>> costs_ = std::make_unique<std::array<Nanos, 65536>>();
    std::array<Device *, 65536> devices_{};
    std::array<std::uint16_t, 65536> firsts_{};  // first port of each port's window
    std::vector<Mapping> mappings_;
    IoPermissions permissions_;
    bool kernel_mode_ = false;
    std::uint64_t accesses_ = 0;
    BusTrace trace_;
    AccessHook hook_ = nullptr;
    void *hook_ctx_ = nullptr;
    Observer *observer_ = nullptr;
};

} // namespace bench

#endif
