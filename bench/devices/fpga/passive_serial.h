// A passive-serial FPGA and the configuration cable that connects it to a
// parallel port.
//
// Passive-serial configuration as the FPGA vendors document it:
//   - nCONFIG low resets the device: nSTATUS and CONF_DONE are pulled low and
//     everything received so far is forgotten.
//   - When nCONFIG returns high the device clears its memory and then
//     releases nSTATUS, which rises some microseconds later.
//   - From then on the device samples DATA0 on every rising edge of DCLK,
//     least significant bit of each configuration byte first.
//   - When the last bit of the configuration has arrived the device releases
//     CONF_DONE, which rises; it still needs a few more DCLK cycles to
//     initialise and then enters user mode.
//   - The device checks what it receives: the configuration is sent in
//     frames, each closed by a CRC.  A frame that does not check out pulls
//     nSTATUS low at its end (a configuration error); CONF_DONE stays low.
//   - A configuration error pulls nSTATUS low; CONF_DONE stays low.
// nSTATUS and CONF_DONE are open-drain outputs with pull-ups: whatever is
// not driven low reads high.
#ifndef BENCH_DEVICES_FPGA_PASSIVE_SERIAL_H
#define BENCH_DEVICES_FPGA_PASSIVE_SERIAL_H

#include "devices/fpga/design_file.h"
#include "time/sim_clock.h"
#include "devices/pc/parallel_port.h"

#include <cstdint>
#include <vector>

namespace bench {

// Faults a device on the bench can show.  A missing cable or an unpowered
// device is not a fault of the device: see FpgaBench.  An nSTATUS that is
// merely slow is a long FpgaConfig::nstatus_delay.
enum class FpgaFault {
    None,
    NStatusStuckLow,         // nSTATUS never rises (held low on the board)
    ConfDoneNeverRises,      // all bits arrive, CONF_DONE stays low
    ErrorAtBit,              // bit error_bit fails: nSTATUS low, CONF_DONE low
    ConfDoneWithNStatusLow,  // at the last bit CONF_DONE rises but nSTATUS falls
};

// Bits in one configuration frame, the unit the device's CRC covers.  Real
// frames of that era's devices run from a few hundred to a few thousand
// bits; 1024 keeps the error close to its cause, and a design of a few
// hundred bytes already spans several frames.
constexpr std::uint64_t kFrameBits = 1024;

struct FpgaConfig {
    std::uint64_t config_bits = 0;    // bits before CONF_DONE; 0 = never done
    // The design the device accepts, when it is known: config_bits is then
    // 8 x its size, and the first frame holding a bit that differs from it
    // ends in a configuration error.  Empty: the device counts bits only.
    Design design;
    Micros nstatus_delay = 10;        // nCONFIG rising edge to nSTATUS high
    unsigned init_clocks = 10;        // DCLK rising edges after CONF_DONE to user mode
    FpgaFault fault = FpgaFault::None;
    std::uint64_t error_bit = 0;      // ErrorAtBit: index of the failing bit (from 0)
    bool start_configured = false;    // powered up already in user mode
};

class PassiveSerialFpga {
public:
    enum class State {
        Reset,         // nCONFIG low
        Clearing,      // nCONFIG high, nSTATUS not yet released
        Receiving,     // nSTATUS high, taking bits
        Initializing,  // CONF_DONE high, counting the closing clocks
        UserMode,
        Error,         // nSTATUS low after a configuration error
    };

    explicit PassiveSerialFpga(const FpgaConfig &config = {});

    // Power-cycle with a new configuration.
    void power_up(const FpgaConfig &config);
    const FpgaConfig &config() const { return config_; }

    // Input pins, as levels (true = high).
    void set_pins(bool nconfig, bool dclk, bool data0, Micros now);

    // Output pins as the board's pull-ups show them.
    bool nstatus(Micros now);
    bool conf_done(Micros now);

    State state(Micros now);
    bool user_mode(Micros now) { return state(now) == State::UserMode; }

    // What the device took in since the last reset: bytes filled least
    // significant bit first; a last, incomplete byte holds the bits it got.
    std::uint64_t bits_received() const { return bits_; }
    const std::vector<std::uint8_t> &received() const { return received_; }

    // The first received bit that differed from the design (since the last
    // reset), when one did: its index from 0, least significant bit of the
    // first byte first.
    bool design_mismatch() const { return mismatch_; }
    std::uint64_t first_mismatch_bit() const { return mismatch_bit_; }

    std::uint64_t dclk_rising_edges() const { return rising_edges_; }
    unsigned nconfig_pulses() const { return nconfig_pulses_; }
    // How long nCONFIG was low the last time it returned high (0: never).
    Micros last_nconfig_low() const { return nconfig_low_; }
    unsigned init_clocks_seen() const { return init_seen_; }

private:
    void advance(Micros now);
    void take_bit(bool bit);

    FpgaConfig config_;
    State state_ = State::Receiving;
    Micros ready_at_ = 0;           // when nSTATUS rises in Clearing
    bool conf_done_in_error_ = false;
    bool pins_known_ = false;
    bool nconfig_ = true;
    bool dclk_ = false;
    std::uint64_t bits_ = 0;
    std::vector<std::uint8_t> received_;
    bool mismatch_ = false;
    std::uint64_t mismatch_bit_ = 0;
    std::uint64_t rising_edges_ = 0;
    unsigned nconfig_pulses_ = 0;
    Micros nconfig_fell_ = 0;
    Micros nconfig_low_ = 0;
    unsigned init_seen_ = 0;
};

// The configuration cable: DATA0 on D0, DCLK on STROBE, nCONFIG on INIT;
// nSTATUS back on BUSY and CONF_DONE on PAPER END.  Without a device (or
// with the device unpowered) the two return lines float high.
class PassiveSerialCable : public ParallelPeripheral {
public:
    explicit PassiveSerialCable(PassiveSerialFpga *device = nullptr) : device_(device) {}
    void connect(PassiveSerialFpga *device) { device_ = device; }

    void drive(const PortOutputs &lines, Micros now) override;
    PortInputs sense(Micros now) override;

private:
    PassiveSerialFpga *device_;
};

} // namespace bench

#endif
