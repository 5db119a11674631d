#include "devices/rangefinder/echo_board.h"

#include <cstdarg>
#include <cstdio>

namespace bench {

EchoBoard::EchoBoard(SimClock &clock, EventQueue &events, IrqLine &line)
    : clock_(clock), events_(events), line_(line)
{
    line_.attach_source(this);
}

Nanos EchoBoard::flight_for_mm(long long mm)
{
    // 2 * mm / 343.7 m/s = mm * 20000000 / 3437 ns, rounded up.  A target
    // so far that its flight does not fit the clock sends no echo in time.
    Nanos scaled;
    if (__builtin_mul_overflow(mm, 20000000, &scaled) || __builtin_add_overflow(scaled, 3436, &scaled))
        return kNever;
    return scaled / 3437;
}

void EchoBoard::complain(const char *fmt, ...)
{
    if (!complain_)
        return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    complain_(buf);
}

void EchoBoard::raise_at(Nanos when)
{
    ++in_flight_;
    events_.schedule(when, [this] { echo_arrives(); });
}

// An echo (or a stray request) reaches the line.
void EchoBoard::echo_arrives()
{
    --in_flight_;
    if (mode_ == LineMode::held) {
        if (line_.high()) {
            ++lost_;  // the line already waits for its acknowledgement
            return;
        }
        line_.raise();
        in_service_ = true;  // taken now or waiting for the unmask
        return;
    }
    if (line_.raise())
        in_service_ = true;
    else
        ++lost_;
    line_.lower();  // the pulse is over
}

void EchoBoard::write8(std::uint16_t offset, std::uint8_t value, Micros)
{
    unsigned control = first_port_ + 2u;
    switch (offset) {
    case kControlOffset:
        if (value == kArm) {
            acked_ = false;
            armed_ = true;
        } else if (value == kAcknowledge) {
            if (!in_service_)
                complain("acknowledge (2 to 0x%x) with no interrupt raised", control);
            in_service_ = false;
            acked_ = true;
            line_.lower();
        } else {
            complain("0x%x to 0x%x: the board takes 1 (arm) and 2 (acknowledge)", value, control);
        }
        break;
    case kChannelOffset: {
        if (!armed_) {
            complain("channel byte 0x%02x to 0x%x without 1 to 0x%x first", value, first_port_,
                     control);
            break;
        }
        armed_ = false;
        int channel = value;
        ++shots_[channel];
        auto target = targets_.find(channel);
        Nanos arrival;
        // An echo that would come after the end of time never comes.
        if (target != targets_.end() && !__builtin_add_overflow(clock_.now(), target->second, &arrival) &&
            arrival < kNever)
            raise_at(arrival);
        break;
    }
    default:
        complain("port 0x%x written: the board does not use it", first_port_ + offset);
        break;
    }
}

// The handler has returned: by then it must have acknowledged and re-armed.
void EchoBoard::irq_serviced(IrqLine &line)
{
    if (in_service_) {
        complain("IRQ %u handler returned without acknowledging the board (2 to 0x%x)", line.number(),
                 first_port_ + 2u);
        in_service_ = false;
    } else if (acked_) {
        complain("IRQ %u handler returned without re-arming the board (1 to 0x%x)", line.number(), first_port_ + 2u);
        acked_ = false;
    }
}

// The line was masked (and low) while the request waited: the echo is lost.
void EchoBoard::irq_dropped(IrqLine &)
{
    in_service_ = false;
    ++lost_;
}

long EchoBoard::shots(int channel) const
{
    auto it = shots_.find(channel);
    return it == shots_.end() ? 0 : it->second;
}

long EchoBoard::shots_total() const
{
    long n = 0;
    for (const auto &s : shots_)
        n += s.second;
    return n;
}

} // namespace bench
