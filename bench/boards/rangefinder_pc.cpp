#include "boards/rangefinder_pc.h"

namespace bench {

RangeFinderPc::RangeFinderPc(const std::function<IrqLine &(unsigned)> &irq_line)
    : board_(clock_, events_, irq_line(kBoardIrq))
{
    bus_.map(kBoardBase, kBoardExtent, board_, "echo_board");
}

RangeFinderPc::~RangeFinderPc()
{
    bus_.unmap(kBoardBase, kBoardExtent);
}

} // namespace bench
