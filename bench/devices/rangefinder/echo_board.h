// The ultrasonic range-finder board: four ports and one interrupt line.
//
//   +0  channel: a byte written here fires the burst on that transducer
//       (sensor number - 1), once the board is armed
//   +1  unused
//   +2  control: 1 arms the board (and, after an acknowledgement, re-arms
//       it); 2 acknowledges the echo interrupt
//   +3  unused
//
// The echo of a target `flight` ns away (there and back) reaches the board
// that long after the burst and raises the interrupt line.  How long the
// line stays high is the board's build (LineMode): a short pulse (the line
// is low again at once: a request that finds the line masked is lost), or
// held until the handler acknowledges it (2 to control: a request that
// finds the line masked waits for the unmask; echoes that come while the
// line is still high add nothing and are counted lost).  The board has no
// readable registers: reads float high.  It checks how it is driven itself
// and says what was wrong through its complaint sink: a channel byte
// without arming first, an acknowledgement with no interrupt raised, a value
// it does not take, an unused port written, and (told by the line when the
// handler returns) an interrupt left unacknowledged or not re-armed.
//
// Where it sits on the lab PC and which line it raises is the board
// assembly's choice (boards/rangefinder_map.h).  The board answers cycles by their offset;
// where it was mapped it notes only to name the ports in its complaints.
#ifndef BENCH_DEVICES_RANGEFINDER_ECHO_BOARD_H
#define BENCH_DEVICES_RANGEFINDER_ECHO_BOARD_H

#include "bus/io_bus.h"
#include "time/event_queue.h"
#include "time/irq_line.h"
#include "time/sim_clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace bench {

class EchoBoard : public Device, public IrqLine::Source {
public:
    static constexpr unsigned kExtent = 4;
    // The registers, as offsets in the board's window: the channel byte
    // that fires a shot, and the control register (arm, acknowledge).
    static constexpr std::uint16_t kChannelOffset = 0;
    static constexpr std::uint16_t kControlOffset = 2;
    static constexpr std::uint8_t kArm = 1;
    static constexpr std::uint8_t kAcknowledge = 2;

    using ComplaintSink = std::function<void(const std::string &)>;
    enum class LineMode { pulse, held };

    // The board timing echoes on `clock` with `events`, raising `line`.  It
    // attaches itself to the line as its source.
    EchoBoard(SimClock &clock, EventQueue &events, IrqLine &line);
    EchoBoard(const EchoBoard &) = delete;
    EchoBoard &operator=(const EchoBoard &) = delete;

    void set_complaint_sink(ComplaintSink sink) { complain_ = std::move(sink); }
    void set_line_mode(LineMode mode) { mode_ = mode; }
    LineMode line_mode() const { return mode_; }

    // What channel `channel` sees: an echo `flight` ns after its burst.
    void set_target(int channel, Nanos flight) { targets_[channel] = flight; }
    void clear_target(int channel) { targets_.erase(channel); }
    // Flight time, there and back at 343.7 m/s, of a target `mm` away,
    // rounded up to whole nanoseconds; kNever for one too far for the clock.
    static Nanos flight_for_mm(long long mm);
    // The board raises its line at `when` on its own (a late or stray echo).
    void raise_at(Nanos when);

    long shots(int channel) const;
    long shots_total() const;
    // Echoes (and stray interrupts) whose request the line did not take, or
    // that were dropped by masking the line while they waited.
    long echoes_lost() const { return lost_; }
    std::size_t echoes_in_flight() const { return in_flight_; }
    bool in_service() const { return in_service_; }

    std::uint8_t read8(std::uint16_t, Micros) override { return 0xFF; }
    void write8(std::uint16_t offset, std::uint8_t value, Micros now) override;
    void mapped(std::uint16_t first, const std::string &) override { first_port_ = first; }

    void irq_serviced(IrqLine &line) override;
    void irq_dropped(IrqLine &line) override;

private:
    void complain(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void echo_arrives();

    unsigned first_port_ = 0;  // where the board was mapped: for complaints only
    SimClock &clock_;
    EventQueue &events_;
    IrqLine &line_;
    ComplaintSink complain_;
    LineMode mode_ = LineMode::pulse;

    bool armed_ = false;       // 1 written to control, channel byte not yet
    bool in_service_ = false;  // interrupt raised, not yet acknowledged
    bool acked_ = false;       // acknowledged, not yet re-armed
    std::map<int, Nanos> targets_;
    std::map<int, long> shots_;
    std::size_t in_flight_ = 0;
    long lost_ = 0;
};

} // namespace bench

#endif
