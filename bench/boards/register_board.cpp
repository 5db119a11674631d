#include "boards/register_board.h"

namespace bench {

RegisterBoard::RegisterBoard(IoBus &bus) : bus_(bus)
{
    bus_.map(kFirstPort, kPorts, bank_, "registers");
}

RegisterBoard::~RegisterBoard()
{
    bus_.unmap(kFirstPort, kPorts);
}

} // namespace bench
