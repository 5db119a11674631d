#include "boards/fpga_bench.h"

namespace bench {

FpgaBench::FpgaBench(IoBus &io, const BenchConfig &config)
    : io_(io), config_(config), fpga_(config.fpga)
{
    if (config_.device)
        cable_.connect(&fpga_);
    if (config_.cable)
        port_.attach(&cable_, io_.now());
    io_.map(config_.lpt_base, 3, port_, "parallel_port");
    io_.map(config_.delay_port, 1, delay_, "delay_port");
}

FpgaBench::~FpgaBench()
{
    io_.unmap(config_.lpt_base, 3);
    io_.unmap(config_.delay_port, 1);
}

} // namespace bench
