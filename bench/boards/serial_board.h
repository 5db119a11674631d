// The bench's range-finder board behind a 16550 UART that QEMU places at the
// board's address (0x130-0x133, IRQ 11), for the real module in a real Linux
// 2.4 guest.
//
// What the guest's writes do on that UART:
//   0x130  THR: the channel byte leaves the UART at once, through QEMU's
//          chardev, and reaches this board as one byte: a shot on that channel
//   0x132  FCR: 1 turns the receive FIFO on, 2 clears it (and turns it off):
//          QEMU keeps those, the board never sees them
//   0x131  IER: set to 1 once before the module loads, so a byte that comes
//          back raises IRQ 11 (received data available)
// So the board sees the channel bytes only.  Each one is a shot: the bench's
// EchoBoard is armed (1 to control) and given the channel byte, exactly as
// the module drives the real board.  When its echo raises the board's
// interrupt line, one byte goes back through the UART; the guest's UART turns
// it into IRQ 11, and the module's acknowledge (2 to FCR) drops the byte and
// with it the line.  The byte's value is the channel (0xFF for a stray
// request); the module never reads it.
//
// Time is the host's wall clock since the guest connected, in nanoseconds:
// the caller passes it in, so the tests run on any clock they like.  The
// board's simulated clock follows it, and an echo falls due `flight` ns
// after its shot, where flight is EchoBoard::flight_for_mm of the channel's
// target.  The line is the board's pulsed one: the UART always takes the
// byte (its 16-byte FIFO, and QEMU leaves further bytes in the socket while
// the FIFO is full), so no echo is lost on this side.
//
// The log has one line per event, time in milliseconds with three decimals
// (an echo's is its due time; when the host ran the board a millisecond or
// more after that, the line says how late the byte went):
//     0.000 connected
//     1532.118 fire on channel 0
//     1537.940 echo on channel 0
//     1543.762 echo on channel 0 (sent 1.250 ms late)
//     1600.004 fire on channel 2 (no target)
//     1700.000 stray echo
//     2210.377 closed: 2 fires, 1 echo, 0 stray, 0 in flight dropped
// preceded by one "# ..." line per target.
#ifndef BENCH_QEMU_BOARD_SERIAL_BOARD_H
#define BENCH_QEMU_BOARD_SERIAL_BOARD_H

#include "boards/rangefinder_map.h"
#include "devices/rangefinder/echo_board.h"
#include "time/event_queue.h"
#include "time/irq_line.h"
#include "time/sim_clock.h"

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <utility>
#include <vector>

namespace bench {

struct SerialBoardSetup {
    std::map<int, long long> targets_mm;  // channel -> distance; no entry: no echo
    std::vector<Nanos> strays;            // the board raises its line on its own then
};

class SerialEchoBoard : private IrqLine::Controller {
public:
    // Where the UART sits in the guest, and its line: the board's own.
    static constexpr std::uint16_t kBase = rangefinder_map::kBase;
    // The board's registers, as offsets in its window at kBase: THR and FCR
    // of the UART.
    static constexpr std::uint16_t kChannelRegister = EchoBoard::kChannelOffset;
    static constexpr std::uint16_t kControlRegister = EchoBoard::kControlOffset;
    static constexpr unsigned kIrq = rangefinder_map::kIrq;
    static constexpr std::uint8_t kStrayByte = 0xFF;

    using Sender = std::function<void(std::uint8_t)>;

    // `send` puts one byte on the way back to the guest's UART.
    SerialEchoBoard(const SerialBoardSetup &setup, std::ostream &log, Sender send);
    SerialEchoBoard(const SerialEchoBoard &) = delete;
    SerialEchoBoard &operator=(const SerialEchoBoard &) = delete;

    // The guest has connected: time 0.
    void connected();
    // A byte the guest wrote to THR, at `now`: first the echoes due by then,
    // then the shot.
    void byte_from_guest(std::uint8_t byte, Nanos now);
    // Sends the echoes due at or before `now`, each at its own due time.
    void advance_to(Nanos now);
    // When the next echo falls due; kNever when none is in flight.
    Nanos next_due() const { return events_.next_due(); }
    // The guest has gone: echoes still in flight are dropped.
    void closed(Nanos now);

    long fires() const { return fires_; }
    long echoes() const { return echoes_; }
    long strays() const { return strays_sent_; }
    std::size_t in_flight() const { return pending_.size(); }
    const EchoBoard &board() const { return board_; }

private:
    bool irq_raised(IrqLine &line) override;
    void line(Nanos t, const std::string &text);

    std::ostream &log_;
    Sender send_;
    SimClock clock_;
    EventQueue events_;
    IrqLine line_{kIrq};
    EchoBoard board_{clock_, events_, line_};
    std::map<int, long long> targets_mm_;
    // Requests on their way to the line, in the order the event queue runs
    // them (due time, then scheduling order): the channel, or -1 for a stray.
    std::map<std::pair<Nanos, std::uint64_t>, int> pending_;
    std::uint64_t scheduled_ = 0;
    Nanos now_ = 0;  // the latest time the caller gave
    long fires_ = 0;
    long echoes_ = 0;
    long strays_sent_ = 0;
};

} // namespace bench

#endif
