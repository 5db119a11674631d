// portpoke's bench: a board of registers answering at every port of the
// I/O space, so that whatever port portpoke is pointed at holds something
// to read and write.  Assembly only: one register bank (devices/pc/
// register_bank.h) mapped over ports 0-0xFFFF; a register never set reads
// 0xFF, as the floating bus would.
#ifndef BENCH_BOARDS_REGISTER_BOARD_H
#define BENCH_BOARDS_REGISTER_BOARD_H

#include "bus/io_bus.h"
#include "devices/pc/register_bank.h"

#include <cstdint>

namespace bench {

class RegisterBoard {
public:
    static constexpr std::uint16_t kFirstPort = 0;
    static constexpr unsigned kPorts = 65536;

    explicit RegisterBoard(IoBus &bus);
    ~RegisterBoard();
    RegisterBoard(const RegisterBoard &) = delete;
    RegisterBoard &operator=(const RegisterBoard &) = delete;

    // The register behind each port (its offset in the board's window is
    // the port less kFirstPort).
    RegisterBank &bank() { return bank_; }
    const RegisterBank &bank() const { return bank_; }

private:
    IoBus &bus_;
    RegisterBank bank_{kPorts, 0xFF};
};

} // namespace bench

#endif
