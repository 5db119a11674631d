#include "boards/fpga_bench.h"

namespace bench {

FpgaBench::FpgaBench(IoSpace &io, const BenchConfig &config)
    : io_(io), config_(config), port_(config.lpt_base), fpga_(config.fpga)
{
    if (config_.device)
        cable_.connect(&fpga_);
    if (config_.cable)
        port_.attach(&cable_, io_.now());
    io_.map(config_.lpt_base, 3, port_);
    io_.map(config_.delay_port, 1, delay_);
}

FpgaBench::~FpgaBench()
{
    io_.unmap(config_.lpt_base, 3);
    io_.unmap(config_.delay_port, 1);
}

} // namespace bench
