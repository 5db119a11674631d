// Port 0x80, the POST code port: an ISA write that every PC decodes and that
// takes one bus cycle, which is what makes it a delay.  Counts the writes;
// reads give back the last value written (0 at power-on).
#ifndef BENCH_DEVICES_PC_DELAY_PORT_H
#define BENCH_DEVICES_PC_DELAY_PORT_H

#include "bus/io_bus.h"

#include <cstdint>

namespace bench {

class DelayPort : public Device {
public:
    std::uint64_t writes() const { return writes_; }
    std::uint8_t read8(std::uint16_t, Micros) override { return last_; }
    void write8(std::uint16_t, std::uint8_t value, Micros) override
    {
        last_ = value;
        ++writes_;
    }

private:
    std::uint64_t writes_ = 0;
    std::uint8_t last_ = 0;
};

} // namespace bench

#endif
