// The lab PC as the range-finder module sees it: one nanosecond clock and
// its event queue, the I/O bus, and the range-finder board mapped where
// the lab PC has it, with its interrupt line (rangefinder_map.h).  Assembly
// only: the board knows its registers and its line, the map where it sits
// and which line it raises.
//
// The interrupt controller is the platform's (the emulated RTLinux's,
// rtlinux/kernel/rtl_irq.h): the assembly is given the controller's lines
// and plugs the board into the one it picks.
#ifndef BENCH_BOARDS_RANGEFINDER_PC_H
#define BENCH_BOARDS_RANGEFINDER_PC_H

#include "boards/rangefinder_map.h"
#include "bus/io_bus.h"
#include "devices/rangefinder/echo_board.h"
#include "time/event_queue.h"
#include "time/irq_line.h"
#include "time/sim_clock.h"

#include <cstdint>
#include <functional>

namespace bench {

class RangeFinderPc {
public:
    static constexpr std::uint16_t kBoardBase = rangefinder_map::kBase;
    static constexpr unsigned kBoardExtent = rangefinder_map::kExtent;
    static constexpr unsigned kBoardIrq = rangefinder_map::kIrq;

    // irq_line(n) is the interrupt controller's line n.
    explicit RangeFinderPc(const std::function<IrqLine &(unsigned)> &irq_line);
    ~RangeFinderPc();
    RangeFinderPc(const RangeFinderPc &) = delete;
    RangeFinderPc &operator=(const RangeFinderPc &) = delete;

    SimClock &clock() { return clock_; }
    const SimClock &clock() const { return clock_; }
    EventQueue &events() { return events_; }
    const EventQueue &events() const { return events_; }
    IoBus &bus() { return bus_; }
    const IoBus &bus() const { return bus_; }
    EchoBoard &board() { return board_; }
    const EchoBoard &board() const { return board_; }

private:
    SimClock clock_;
    EventQueue events_;
    IoBus bus_{clock_};
    EchoBoard board_;
};

} // namespace bench

#endif
