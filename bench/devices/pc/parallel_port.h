// A PC parallel port (standard, output-only data port) on the bench.
//
// Three registers, at offsets 0, 1 and 2 of its window (the board picks the
// base: 0x378, 0x278 or 0x3BC on a PC).  The port works in line
// levels on its connector side: whatever is plugged in sees and drives
// voltages, and every inversion between a register bit and its line is made
// here, once:
//
//   data    (+0)        D0..D7 driven as written; reads back the latch.
//   status  (+1)        read only.  bit 7 = BUSY line inverted, bit 6 = ACK,
//                       bit 5 = PAPER END, bit 4 = SELECT, bit 3 = ERROR;
//                       bits 2..0 are not connected and read 1.
//   control (+2)        bit 0 = STROBE line inverted, bit 1 = AUTOFD
//                       inverted, bit 2 = INIT as written, bit 3 = SELECT IN
//                       inverted; bits 4..7 are latched but drive no line
//                       (the IRQ enable and the direction bit of bidirectional
//                       ports are not modelled: the data lines always drive).
//
// An input line that nothing drives floats high through the port's pull-up
// resistors, so a port with nothing attached reads status 0x7F.
#ifndef BENCH_DEVICES_PC_PARALLEL_PORT_H
#define BENCH_DEVICES_PC_PARALLEL_PORT_H

#include "bus/io_bus.h"

#include <cstdint>

namespace bench {

// Levels of the lines the port drives (true = high).
struct PortOutputs {
    std::uint8_t data = 0;   // D0..D7
    bool strobe = true;
    bool autofd = true;
    bool init = true;
    bool select_in = true;
};

// Levels of the lines the port senses (true = high).
struct PortInputs {
    bool busy = true;
    bool ack = true;
    bool paper_end = true;
    bool select = true;
    bool error = true;
};

// Whatever is plugged into the port's connector.
class ParallelPeripheral {
public:
    virtual ~ParallelPeripheral() = default;
    virtual void drive(const PortOutputs &lines, Micros now) = 0;
    virtual PortInputs sense(Micros now) = 0;
    // The PC read the status register (a poll), as sense() is also asked by
    // whoever only looks at the lines.
    virtual void status_read(Micros /*now*/) {}
};

class ParallelPort : public Device {
public:
    // The register values a PC BIOS leaves behind: data 0, control 0x0C
    // (INIT high, SELECT IN asserted, STROBE high).
    static constexpr std::uint8_t kPowerOnControl = 0x0C;

    // Plug something in (nullptr: unplug; the input lines then float high).
    // The peripheral sees the current output levels at once.
    void attach(ParallelPeripheral *peripheral, Micros now = 0);

    std::uint8_t data_register() const { return data_; }
    std::uint8_t control_register() const { return control_; }
    PortOutputs outputs() const;
    std::uint8_t status_register(Micros now);

    std::uint8_t read8(std::uint16_t offset, Micros now) override;
    void write8(std::uint16_t offset, std::uint8_t value, Micros now) override;

private:
    std::uint8_t data_ = 0;
    std::uint8_t control_ = kPowerOnControl;
    ParallelPeripheral *peripheral_ = nullptr;
};

} // namespace bench

#endif
