// The FPGA download bench: a parallel port with the passive-serial cable and
// an FPGA on it, and the delay port, mapped into an I/O space.
#ifndef BENCH_FPGA_BENCH_H
#define BENCH_FPGA_BENCH_H

#include "bus/io_bus.h"
#include "devices/pc/parallel_port.h"
#include "devices/fpga/passive_serial.h"

#include <cstdint>

namespace bench {

struct BenchConfig {
    std::uint16_t lpt_base = 0x378;   // where the PC's parallel port sits
    std::uint16_t delay_port = 0x80;
    bool cable = true;                // configuration cable plugged in
    bool device = true;               // FPGA powered and on the cable
    FpgaConfig fpga;
};

class FpgaBench {
public:
    FpgaBench(IoSpace &io, const BenchConfig &config);
    ~FpgaBench();
    FpgaBench(const FpgaBench &) = delete;
    FpgaBench &operator=(const FpgaBench &) = delete;

    const BenchConfig &config() const { return config_; }
    ParallelPort &port() { return port_; }
    PassiveSerialFpga &fpga() { return fpga_; }
    DelayPort &delay() { return delay_; }
    IoSpace &io() { return io_; }

private:
    IoSpace &io_;
    BenchConfig config_;
    ParallelPort port_;
    PassiveSerialFpga fpga_;
    PassiveSerialCable cable_;
    DelayPort delay_;
};

} // namespace bench

#endif
