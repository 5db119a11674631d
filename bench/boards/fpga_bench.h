// The FPGA download bench: a parallel port with the passive-serial cable and
// an FPGA on it, and the delay port, mapped onto an I/O bus.  Assembly only:
// the devices know their registers and lines, this board picks where they
// sit and what is plugged into what.
#ifndef BENCH_BOARDS_FPGA_BENCH_H
#define BENCH_BOARDS_FPGA_BENCH_H

#include "bus/io_bus.h"
#include "devices/pc/parallel_port.h"
#include "devices/fpga/passive_serial.h"
#include "devices/pc/delay_port.h"

#include <cstdint>

namespace bench {

struct FpgaBenchConfig {
    std::uint16_t lpt_base = 0x378;   // where the PC's parallel port sits
    std::uint16_t delay_port = 0x80;
    bool cable = true;                // configuration cable plugged in
    bool device = true;               // FPGA powered and on the cable
    FpgaConfig fpga;
};

class FpgaBench {
public:
    FpgaBench(IoBus &bus, const FpgaBenchConfig &config);
    ~FpgaBench();
    FpgaBench(const FpgaBench &) = delete;
    FpgaBench &operator=(const FpgaBench &) = delete;

    const FpgaBenchConfig &config() const { return config_; }
    ParallelPort &port() { return port_; }
    PassiveSerialFpga &fpga() { return fpga_; }
    DelayPort &delay() { return delay_; }
    IoBus &bus() { return bus_; }

private:
    IoBus &bus_;
    FpgaBenchConfig config_;
    ParallelPort port_;
    PassiveSerialFpga fpga_;
    PassiveSerialCable cable_;
    DelayPort delay_;
};

} // namespace bench

#endif
