// A bank of byte-wide, readable and writable I/O registers: the kind of board
// one pokes at with portpoke.  Registers are numbered by their offset in the
// bank's window.  A 16-bit access reaches the register at the offset (low
// byte) and the one after it (high byte), as on the ISA bus.
#ifndef BENCH_REGISTER_BANK_H
#define BENCH_REGISTER_BANK_H

#include <cstdint>
#include <vector>

#include "bus/io_bus.h"

namespace bench {

class RegisterBank : public Device {
public:
    // count registers, all reading fill until written.
    explicit RegisterBank(unsigned count, std::uint8_t fill = 0xFF) : regs_(count, fill) {}

    unsigned size() const { return static_cast<unsigned>(regs_.size()); }

    std::uint8_t get(unsigned offset) const { return regs_.at(offset); }
    void set(unsigned offset, std::uint8_t v) { regs_.at(offset) = v; }
    void set_word(unsigned offset, std::uint16_t v)
    {
        set(offset, static_cast<std::uint8_t>(v & 0xFF));
        set(offset + 1, static_cast<std::uint8_t>(v >> 8));
    }

    std::uint8_t read8(std::uint16_t offset, Micros) override { return get(offset); }
    void write8(std::uint16_t offset, std::uint8_t value, Micros) override { set(offset, value); }

private:
    std::vector<std::uint8_t> regs_;
};

} // namespace bench

#endif
