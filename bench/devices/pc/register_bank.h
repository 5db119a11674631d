// A bank of byte-wide, readable and writable I/O registers: the kind of board
// one pokes at with portpoke.  A 16-bit access reaches the register at the
// port (low byte) and the one after it (high byte), as on the ISA bus.
#ifndef BENCH_REGISTER_BANK_H
#define BENCH_REGISTER_BANK_H

#include <cstdint>
#include <vector>

#include "bus/io_bus.h"

namespace bench {

class RegisterBank : public Device {
public:
    // Registers for ports [first, first + count), all reading fill until written.
    RegisterBank(std::uint16_t first, unsigned count, std::uint8_t fill = 0xFF)
        : first_(first), regs_(count, fill)
    {
    }

    std::uint16_t first() const { return first_; }
    unsigned size() const { return static_cast<unsigned>(regs_.size()); }

    std::uint8_t get(std::uint16_t port) const { return regs_.at(port - first_); }
    void set(std::uint16_t port, std::uint8_t v) { regs_.at(port - first_) = v; }
    void set_word(std::uint16_t port, std::uint16_t v)
    {
        set(port, static_cast<std::uint8_t>(v & 0xFF));
        set(static_cast<std::uint16_t>(port + 1), static_cast<std::uint8_t>(v >> 8));
    }

    std::uint8_t read8(std::uint16_t port, Micros) override { return get(port); }
    void write8(std::uint16_t port, std::uint8_t value, Micros) override { set(port, value); }

private:
    std::uint16_t first_;
    std::vector<std::uint8_t> regs_;
};

} // namespace bench

#endif
