#include "boards/fpga_bench.h"

namespace bench {

FpgaBench::FpgaBench(IoBus &bus, const FpgaBenchConfig &config)
    : bus_(bus), config_(config), fpga_(config.fpga)
{
    if (config_.device)
        cable_.connect(&fpga_);
    if (config_.cable)
        port_.attach(&cable_, bus_.now());
    bus_.map(config_.lpt_base, 3, port_, "parallel_port");
    bus_.map(config_.delay_port, 1, delay_, "delay_port");
}

FpgaBench::~FpgaBench()
{
    bus_.unmap(config_.lpt_base, 3);
    bus_.unmap(config_.delay_port, 1);
}

} // namespace bench
