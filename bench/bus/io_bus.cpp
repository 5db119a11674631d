#include "bus/io_bus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace bench {

std::uint16_t Device::read16(std::uint16_t port, Micros now)
{
    std::uint16_t lo = read8(port, now);
    std::uint16_t hi = read8(static_cast<std::uint16_t>(port + 1), now);
    return static_cast<std::uint16_t>(lo | (hi << 8));
}

void Device::write16(std::uint16_t port, std::uint16_t value, Micros now)
{
    write8(port, static_cast<std::uint8_t>(value & 0xFF), now);
    write8(static_cast<std::uint16_t>(port + 1), static_cast<std::uint8_t>(value >> 8), now);
}

IoSpace::IoSpace() = default;

void IoSpace::reset()
{
    devices_.fill(nullptr);
    granted_.reset();
    refused_.reset();
    privileged_ = true;
    refusal_errno_ = EPERM;
    perm_calls_.clear();
    now_ = 0;
    accesses_ = 0;
    tracing_ = false;
    trace_.clear();
    policy_ = ViolationPolicy::Kill;
    violations_.clear();
    hook_ = nullptr;
    hook_ctx_ = nullptr;
    observer_ = nullptr;
}

void IoSpace::map(std::uint16_t first, unsigned count, Device &device)
{
    for (unsigned p = first; p < first + count && p < 65536; ++p)
        devices_[p] = &device;
}

void IoSpace::unmap(std::uint16_t first, unsigned count)
{
    for (unsigned p = first; p < first + count && p < 65536; ++p)
        devices_[p] = nullptr;
}

void IoSpace::set_privileged(bool privileged, int refusal_errno)
{
    privileged_ = privileged;
    refusal_errno_ = refusal_errno;
}

void IoSpace::refuse_range(std::uint16_t first, unsigned count)
{
    for (unsigned p = first; p < first + count && p < 65536; ++p)
        refused_[p] = true;
}

// ioperm(2) as Linux implements it: EINVAL for an empty range or one past the
// 65536 ports; turning access on needs the privilege (refusal_errno
// otherwise) and is refused for ranges the kernel never grants; turning it
// off is allowed to anyone, except where the call does not exist at all
// (ENOSYS), where it fails like every other call.
int IoSpace::permission(unsigned long from, unsigned long num, int turn_on)
{
    int result = 0;
    int err = 0;
    if (from + num <= from || from + num > 65536) {
        result = -1;
        err = EINVAL;
    } else if (!privileged_ && (turn_on || refusal_errno_ == ENOSYS)) {
        result = -1;
        err = refusal_errno_;
    } else if (turn_on) {
        for (unsigned long p = from; p < from + num; ++p)
            if (refused_[p]) {
                result = -1;
                err = EPERM;
            }
    }
    if (result == 0)
        for (unsigned long p = from; p < from + num; ++p)
            granted_[p] = turn_on != 0;
    perm_calls_.push_back({from, num, turn_on, result, err});
    if (observer_)
        observer_->on_permission(perm_calls_.back());
    if (result != 0)
        errno = err;
    return result;
}

bool IoSpace::check(std::uint16_t port, unsigned width)
{
    // A word access at the last port would need port 0x10000, which no one
    // can be granted.
    bool ok = granted_[port] && (width == 8 || (port != 0xFFFF && granted_[port + 1]));
    if (ok)
        return true;
    std::fprintf(stderr, "bench: FAULT: %u-bit access to port 0x%X without I/O permission\n", width,
                 static_cast<unsigned>(port));
    violations_.push_back(port);
    if (policy_ == ViolationPolicy::Kill) {
        std::fflush(stderr);
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
        std::abort();
    }
    return false;
}

void IoSpace::record(std::uint16_t port, Dir dir, unsigned width, std::uint16_t value)
{
    if (tracing_)
        trace_.push_back({now_, port, dir, static_cast<std::uint8_t>(width), value});
    if (observer_)
        observer_->on_access({now_, port, dir, static_cast<std::uint8_t>(width), value});
}

void IoSpace::after_access()
{
    ++now_;
    ++accesses_;
    if (hook_)
        hook_(accesses_, hook_ctx_);
}

std::uint8_t IoSpace::in8(std::uint16_t port)
{
    std::uint8_t v = 0xFF;
    if (check(port, 8) && devices_[port])
        v = devices_[port]->read8(port, now_);
    record(port, Dir::In, 8, v);
    after_access();
    return v;
}

void IoSpace::out8(std::uint16_t port, std::uint8_t value)
{
    if (check(port, 8) && devices_[port])
        devices_[port]->write8(port, value, now_);
    record(port, Dir::Out, 8, value);
    after_access();
}

// A word access whose two bytes belong to one device reaches it as one bus
// cycle.  When they belong to different devices (or one byte to nobody) the
// bus splits it into two byte cycles, and a byte nobody decodes floats high.
std::uint16_t IoSpace::in16(std::uint16_t port)
{
    std::uint16_t v = 0xFFFF;
    if (check(port, 16)) {
        auto high = static_cast<std::uint16_t>(port + 1);
        Device *lo_dev = devices_[port];
        Device *hi_dev = devices_[high];
        if (lo_dev && lo_dev == hi_dev) {
            v = lo_dev->read16(port, now_);
        } else {
            std::uint16_t lo = lo_dev ? lo_dev->read8(port, now_) : 0xFF;
            std::uint16_t hi = hi_dev ? hi_dev->read8(high, now_) : 0xFF;
            v = static_cast<std::uint16_t>(lo | (hi << 8));
        }
    }
    record(port, Dir::In, 16, v);
    after_access();
    return v;
}

void IoSpace::out16(std::uint16_t port, std::uint16_t value)
{
    if (check(port, 16)) {
        auto high = static_cast<std::uint16_t>(port + 1);
        Device *lo_dev = devices_[port];
        Device *hi_dev = devices_[high];
        if (lo_dev && lo_dev == hi_dev) {
            lo_dev->write16(port, value, now_);
        } else {
            if (lo_dev)
                lo_dev->write8(port, static_cast<std::uint8_t>(value & 0xFF), now_);
            if (hi_dev)
                hi_dev->write8(high, static_cast<std::uint8_t>(value >> 8), now_);
        }
    }
    record(port, Dir::Out, 16, value);
    after_access();
}

IoSpace &io()
{
    static IoSpace space;
    return space;
}

std::string to_string(const Access &a)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llu %s%u 0x%X 0x%X", static_cast<unsigned long long>(a.time),
                  a.dir == Dir::In ? "in" : "out", static_cast<unsigned>(a.width), static_cast<unsigned>(a.port),
                  static_cast<unsigned>(a.value));
    return buf;
}

} // namespace bench
