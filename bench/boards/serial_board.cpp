#include "boards/serial_board.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace bench {

SerialEchoBoard::SerialEchoBoard(const SerialBoardSetup &setup, std::ostream &log, Sender send)
    : log_(log), send_(std::move(send)), targets_mm_(setup.targets_mm)
{
    line_.attach_controller(this);
    board_.set_line_mode(EchoBoard::LineMode::pulse);
    board_.set_complaint_sink([this](const std::string &what) { line(clock_.now(), "board: " + what); });
    for (const auto &t : targets_mm_) {
        Nanos flight = EchoBoard::flight_for_mm(t.second);
        board_.set_target(t.first, flight);
        log_ << "# channel " << t.first << ": target at " << t.second << " mm, echo " << flight
             << " ns after the shot\n";
    }
    for (Nanos when : setup.strays) {
        board_.raise_at(when);
        pending_[{when, ++scheduled_}] = -1;
    }
    log_.flush();
}

void SerialEchoBoard::line(Nanos t, const std::string &text)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%03lld ", t / kMillisecond, t % kMillisecond / kMicrosecond);
    log_ << stamp << text << '\n';
    log_.flush();
}

void SerialEchoBoard::connected()
{
    line(0, "connected");
}

void SerialEchoBoard::advance_to(Nanos now)
{
    now_ = std::max(now_, now);
    while (events_.next_due() <= now) {
        Nanos due = events_.next_due();
        clock_.advance_to(due);
        events_.run_due(due);
    }
    clock_.advance_to(now);
}

void SerialEchoBoard::byte_from_guest(std::uint8_t byte, Nanos now)
{
    advance_to(now);
    ++fires_;
    int channel = byte;
    std::size_t before = board_.echoes_in_flight();
    // The module's shot: 1 to control, then the channel byte.  The arm went
    // to the UART's FCR and stays there; the board takes it with the byte.
    board_.write8(kControlRegister, EchoBoard::kArm, clock_.micros());
    board_.write8(kChannelRegister, byte, clock_.micros());
    if (board_.echoes_in_flight() > before) {
        pending_[{clock_.now() + EchoBoard::flight_for_mm(targets_mm_.at(channel)), ++scheduled_}] = channel;
        line(clock_.now(), "fire on channel " + std::to_string(channel));
    } else {
        line(clock_.now(), "fire on channel " + std::to_string(channel) + " (no target)");
    }
}

// The board's echo (or stray request) reaches its line: the UART takes the
// byte and raises IRQ 11 in the guest.
bool SerialEchoBoard::irq_raised(IrqLine &)
{
    int channel = -1;
    if (!pending_.empty()) {
        channel = pending_.begin()->second;
        pending_.erase(pending_.begin());
    }
    std::string text = channel < 0 ? std::string("stray echo") : "echo on channel " + std::to_string(channel);
    // The host did not run the board in time: say by how much.
    Nanos late = now_ - clock_.now();
    if (late >= kMillisecond) {
        char note[48];
        std::snprintf(note, sizeof note, " (sent %lld.%03lld ms late)", late / kMillisecond,
                      late % kMillisecond / kMicrosecond);
        text += note;
    }
    line(clock_.now(), text);
    if (channel < 0) {
        ++strays_sent_;
        send_(kStrayByte);
    } else {
        ++echoes_;
        send_(static_cast<std::uint8_t>(channel));
    }
    return true;
}

void SerialEchoBoard::closed(Nanos now)
{
    clock_.advance_to(now);
    std::size_t dropped = pending_.size();
    pending_.clear();
    events_.clear();
    line(clock_.now(), "closed: " + std::to_string(fires_) + (fires_ == 1 ? " fire, " : " fires, ") +
                           std::to_string(echoes_) + (echoes_ == 1 ? " echo, " : " echoes, ") +
                           std::to_string(strays_sent_) + " stray, " + std::to_string(dropped) +
                           " in flight dropped");
}

} // namespace bench
