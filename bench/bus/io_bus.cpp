#include "bus/io_bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace bench {

std::uint16_t Device::read16(std::uint16_t offset, Micros now)
{
    std::uint16_t lo = read8(offset, now);
    std::uint16_t hi = read8(static_cast<std::uint16_t>(offset + 1), now);
    return static_cast<std::uint16_t>(lo | (hi << 8));
}

void Device::write16(std::uint16_t offset, std::uint16_t value, Micros now)
{
    write8(offset, static_cast<std::uint8_t>(value & 0xFF), now);
    write8(static_cast<std::uint16_t>(offset + 1), static_cast<std::uint8_t>(value >> 8), now);
}

IoBus::IoBus(SimClock &clock) : clock_(clock)
{
    costs_->fill(kMicrosecond);
}

IoBus::IoBus() : clock_(own_clock_)
{
    costs_->fill(kMicrosecond);
}

void IoBus::set_access_cost(Nanos cost)
{
    costs_->fill(cost);
}

void IoBus::set_access_cost(std::uint16_t first, unsigned count, Nanos cost)
{
    for (unsigned p = first; p < first + count && p < 65536; ++p)
        (*costs_)[p] = cost;
}

void IoBus::reset()
{
    devices_.fill(nullptr);
    firsts_.fill(0);
    mappings_.clear();
    permissions_.reset();
    kernel_mode_ = false;
    clock_.reset();
    costs_->fill(kMicrosecond);
    accesses_ = 0;
    trace_.set_on(false);
    trace_.clear();
    hook_ = nullptr;
    hook_ctx_ = nullptr;
    observer_ = nullptr;
}

void IoBus::map(std::uint16_t first, unsigned count, Device &device, std::string name)
{
    for (unsigned p = first; p < first + count && p < 65536; ++p) {
        devices_[p] = &device;
        firsts_[p] = first;
    }
    device.mapped(first, name);
    mappings_.push_back(Mapping{std::move(name), first, count, &device});
}

void IoBus::unmap(std::uint16_t first, unsigned count)
{
    for (unsigned p = first; p < first + count && p < 65536; ++p)
        devices_[p] = nullptr;
    // A window goes when none of its ports is left to its device.
    mappings_.erase(std::remove_if(mappings_.begin(), mappings_.end(),
                                   [this](const Mapping &m) {
                                       for (unsigned p = m.first; p < m.first + m.count && p < 65536; ++p)
                                           if (devices_[p] == m.device)
                                               return false;
                                       return true;
                                   }),
                    mappings_.end());
}

const Mapping *IoBus::window_at(std::uint16_t port) const
{
    for (auto it = mappings_.rbegin(); it != mappings_.rend(); ++it)
        if (port >= it->first && port < it->first + it->count && devices_[port] == it->device)
            return &*it;
    return nullptr;
}

std::string IoBus::describe(std::uint16_t port) const
{
    char buf[96];
    for (auto it = mappings_.rbegin(); it != mappings_.rend(); ++it) {
        if (!it->name.empty() && port >= it->first && port < it->first + it->count &&
            devices_[port] == it->device) {
            std::snprintf(buf, sizeof buf, "%s+%u", it->name.c_str(), static_cast<unsigned>(port - it->first));
            return buf;
        }
    }
    std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(port));
    return buf;
}

int IoBus::permission(unsigned long from, unsigned long num, int turn_on)
{
    int result = permissions_.permission(from, num, turn_on);
    int err = errno;
    if (observer_)
        observer_->on_permission(permissions_.calls().back());
    if (result != 0)
        errno = err;  // whatever the observer did, the caller sees the call's error
    return result;
}

// The three steps of every access.  Each simulated port access of a download
// goes through them, so they are inline: called, they cost a good part of
// what the access costs.
inline bool IoBus::check(std::uint16_t port, unsigned width)
{
    return kernel_mode_ || permissions_.check(port, width);
}

// `now` is the time the access was made at (no device moves the clock).
inline void IoBus::record(Micros now, std::uint16_t port, Dir dir, unsigned width, std::uint16_t value)
{
    Access a{now, port, dir, static_cast<std::uint8_t>(width), value};
    trace_.record(a);
    if (observer_)
        observer_->on_access(a);
}

inline void IoBus::after_access(std::uint16_t port)
{
    clock_.advance((*costs_)[port]);
    ++accesses_;
    if (hook_)
        hook_(accesses_, hook_ctx_);
}

std::uint8_t IoBus::in8(std::uint16_t port)
{
    std::uint8_t v = 0xFF;
    Micros now = clock_.micros();
    if (check(port, 8) && devices_[port])
        v = devices_[port]->read8(static_cast<std::uint16_t>(port - firsts_[port]), now);
    record(now, port, Dir::In, 8, v);
    after_access(port);
    return v;
}

void IoBus::out8(std::uint16_t port, std::uint8_t value)
{
    Micros now = clock_.micros();
    if (check(port, 8) && devices_[port])
        devices_[port]->write8(static_cast<std::uint16_t>(port - firsts_[port]), value, now);
    record(now, port, Dir::Out, 8, value);
    after_access(port);
}

// A word access whose two bytes belong to one device window reaches it as
// one bus cycle.  When they belong to different windows (or one byte to
// nobody) the bus splits it into two byte cycles, and a byte nobody decodes
// floats high.
std::uint16_t IoBus::in16(std::uint16_t port)
{
    std::uint16_t v = 0xFFFF;
    Micros now = clock_.micros();
    if (check(port, 16)) {
        auto high = static_cast<std::uint16_t>(port + 1);
        Device *lo_dev = devices_[port];
        Device *hi_dev = devices_[high];
        auto lo_off = static_cast<std::uint16_t>(port - firsts_[port]);
        auto hi_off = static_cast<std::uint16_t>(high - firsts_[high]);
        if (lo_dev && lo_dev == hi_dev && firsts_[port] == firsts_[high]) {
            v = lo_dev->read16(lo_off, now);
        } else {
            std::uint16_t lo = lo_dev ? lo_dev->read8(lo_off, now) : 0xFF;
            std::uint16_t hi = hi_dev ? hi_dev->read8(hi_off, now) : 0xFF;
            v = static_cast<std::uint16_t>(lo | (hi << 8));
        }
    }
    record(now, port, Dir::In, 16, v);
    after_access(port);
    return v;
}

void IoBus::out16(std::uint16_t port, std::uint16_t value)
{
    Micros now = clock_.micros();
    if (check(port, 16)) {
        auto high = static_cast<std::uint16_t>(port + 1);
        Device *lo_dev = devices_[port];
        Device *hi_dev = devices_[high];
        auto lo_off = static_cast<std::uint16_t>(port - firsts_[port]);
        auto hi_off = static_cast<std::uint16_t>(high - firsts_[high]);
        if (lo_dev && lo_dev == hi_dev && firsts_[port] == firsts_[high]) {
            lo_dev->write16(lo_off, value, now);
        } else {
            if (lo_dev)
                lo_dev->write8(lo_off, static_cast<std::uint8_t>(value & 0xFF), now);
            if (hi_dev)
                hi_dev->write8(hi_off, static_cast<std::uint8_t>(value >> 8), now);
        }
    }
    record(now, port, Dir::Out, 16, value);
    after_access(port);
}

} // namespace bench
