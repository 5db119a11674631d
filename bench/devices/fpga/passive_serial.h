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
//
// Timing.  The device keeps time in nanoseconds and checks what its timing
// profile (timing_profile.h) gives; a limit the profile does not know is not
// checked.  What it does when a limit is broken is what its datasheet allows
// it to do; where that is not certain it does the thing that fails, so that
// the bench never passes a download the real device could refuse:
//   - nCONFIG low shorter than tCFG need not reset the device: it is left
//     half reset, nSTATUS held low, until a pulse that is long enough
//     (psload then times out waiting for nSTATUS).
//   - nSTATUS is released somewhere in the profile's range after nCONFIG
//     rises (the latest by default, see FpgaConfig::nstatus_delay).
//   - A DCLK rise that breaks tCF2CK, tST2CK, tDSU, tCL or fMAX, or one
//     whose DATA0 or DCLK was still settling on the cable, takes a wrong bit
//     (the complement of DATA0); one that breaks tDH or tCH afterwards has
//     its bit turned wrong then.  A wrong bit fails its frame's check, as bad
//     data does: nSTATUS low at the end of the frame.  A closing clock that
//     breaks its limits does not count.
//   - Fewer closing clocks than the profile needs leave the device
//     initialising, out of user mode, whatever psload says.
// The cable's lines may take time to settle (an RC cable): a change of DATA0
// or DCLK is certain at the device only `settle` ns after the port's write,
// and may be seen anywhere in between.  Every limit is measured at its
// worst end of that window: DATA0 settled by the earliest DCLK edge, held
// past the latest; DCLK high from the latest rise to the earliest fall.
// So DATA0 must have settled before DCLK rises even where tDSU is unknown
// (a setup of at least 0), and likewise a hold, high and low time of at
// least 0 are always checked.
#ifndef BENCH_DEVICES_FPGA_PASSIVE_SERIAL_H
#define BENCH_DEVICES_FPGA_PASSIVE_SERIAL_H

#include "devices/fpga/design_file.h"
#include "devices/fpga/timing_profile.h"
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

// The worst value the run gave each limit at the device's pins (the
// smallest), kUnknown where none came up, and how many times each limit was
// broken.  Times since the last power-up.
struct TimingSeen {
    Nanos tcfg = kUnknown;        // nCONFIG low, the shortest pulse
    Nanos nstatus_wait = kUnknown; // nCONFIG high to the last status read of the poll
    bool nstatus_found = false;   // ... which found nSTATUS high
    Nanos nstatus_release = kUnknown;  // when the device released it after nCONFIG high
    Nanos tcf2ck = kUnknown;
    Nanos tst2ck = kUnknown;
    Nanos tdsu = kUnknown;
    Nanos tdh = kUnknown;
    Nanos tch = kUnknown;
    Nanos tcl = kUnknown;
    Nanos period = kUnknown;      // rising edge to rising edge
    unsigned closing_clocks = 0;  // counted after CONF_DONE, in the last configuration
    bool conf_done_seen = false;
    // Breaks, by limit.
    unsigned long long broken_tcfg = 0, broken_tcf2ck = 0, broken_tst2ck = 0, broken_tdsu = 0,
                       broken_tdh = 0, broken_tch = 0, broken_tcl = 0, broken_period = 0;
};

struct FpgaConfig {
    std::uint64_t config_bits = 0;    // bits before CONF_DONE; 0 = never done
    // The design the device accepts, when it is known: config_bits is then
    // 8 x its size, and the first frame holding a bit that differs from it
    // ends in a configuration error.  Empty: the device counts bits only.
    Design design;
    Micros nstatus_delay = 10;        // nCONFIG rising edge to nSTATUS high
    unsigned init_clocks = 10;        // DCLK rising edges after CONF_DONE to user mode
    TimingProfile timing;             // the limits checked (none by default)
    // Measure and check every DCLK edge against a named profile.  Off where
    // the bench has shown that no edge can break a limit and no one asks for
    // the values (each edge is a port write apart from the one before it:
    // psload-sim, when one access is longer than every edge limit).  The
    // nCONFIG pulse, the first clock and the closing clocks are checked
    // all the same.
    bool check_edges = true;
    Nanos user_mode_delay = 0;        // CONF_DONE high to user mode, at least
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

    // Input pins, as levels (true = high), changed by a write at `now`;
    // DATA0 and DCLK settle up to `settle` ns later (the cable).
    void set_pins(bool nconfig, bool dclk, bool data0, Micros now) { drive(nconfig, dclk, data0, now * kMicrosecond); }
    void drive(bool nconfig, bool dclk, bool data0, Nanos now, Nanos settle = 0)
    {
        if (settle != 0 || !drive_quiet(nconfig, dclk, data0))
            drive_checked(nconfig, dclk, data0, now, settle);
    }
    // The short way of drive() for lines that settle at once, which needs no
    // time: a pin change to a device that checks no timing, taking bits it
    // only has to store.  False, with nothing changed, where it is not one:
    // drive() then does the rest.  It runs for every port write of a
    // download, so it is kept small.
    bool drive_quiet(bool nconfig, bool dclk, bool data0)
    {
        if (!quiet_ || !nconfig)
            return false;
        const bool rising = dclk && !dclk_;
        if (rising && bits_ >= plain_end_)
            return false;
        dclk_ = dclk;
        data0_ = data0;
        if (rising) {
            ++rising_edges_;
            store_bit(data0);
        }
        return true;
    }

    // Output pins as the board's pull-ups show them.
    bool nstatus(Micros now) { return nstatus_at(static_cast<Nanos>(now) * kMicrosecond); }
    bool conf_done(Micros now) { return conf_done_at(static_cast<Nanos>(now) * kMicrosecond); }
    bool nstatus_at(Nanos now);
    bool conf_done_at(Nanos now);
    // The PC read the status register at `now` (the poll's reads, told apart
    // from a logic analyser's look at the lines).
    void status_read(Nanos now);

    State state(Micros now) { return state_at(static_cast<Nanos>(now) * kMicrosecond); }
    State state_at(Nanos now);
    bool user_mode(Micros now) { return state(now) == State::UserMode; }

    const TimingSeen &timing() const { return seen_; }

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
    Micros last_nconfig_low() const { return static_cast<Micros>(nconfig_low_ / kMicrosecond); }
    Nanos last_nconfig_low_ns() const { return nconfig_low_; }
    unsigned init_clocks_seen() const { return init_seen_; }

private:
    // What the last DCLK rise was to the device, for a limit broken after it.
    enum class RiseUse { None, Bit, ClosingClock };

    void drive_checked(bool nconfig, bool dclk, bool data0, Nanos now, Nanos settle);
    void drive_pins(bool nconfig, bool dclk, bool data0, Nanos now, Nanos settle);
    // Whether the next pin change may take the short way of drive(): taking
    // bits after the first, nCONFIG high, no edge checked.  Kept after every
    // change of state.
    void refresh()
    {
        quiet_ = state_ == State::Receiving && nconfig_ && !timing_checked_ && pins_known_ && !first_clock_;
    }
    void advance(Nanos now);
    void take_bit(bool bit, Nanos now);
    void store_bit(bool bit)
    {
        if (bits_ % 8 == 0)
            received_.push_back(bit ? 1 : 0);
        else if (bit)
            received_.back() = static_cast<std::uint8_t>(received_.back() | (1u << (bits_ % 8)));
        ++bits_;
    }
    void plan_plain_bits();
    void spoil_last_bit();
    bool rise_in_time(Nanos now, Nanos settle);
    void fall(Nanos now, Nanos settle);
    void data_change(Nanos now, Nanos settle);
    void undo_last_rise();

    FpgaConfig config_;
    State state_ = State::Receiving;
    bool timing_checked_ = false;   // every edge measured (see FpgaConfig::check_edges)
    bool quiet_ = false;            // see refresh()
    Nanos ready_at_ = 0;            // when nSTATUS rises in Clearing
    Nanos done_at_ = 0;             // when CONF_DONE rose
    Nanos rise_ns_ = 0;             // nCONFIG's last rising edge
    bool have_rise_ = false;
    bool conf_done_in_error_ = false;
    bool pins_known_ = false;
    bool nconfig_ = true;
    bool dclk_ = false;
    bool data0_ = false;
    bool first_clock_ = true;       // no DCLK rise yet since nCONFIG rose
    bool hold_open_ = false;        // DATA0 not changed since the last rise
    RiseUse last_rise_ = RiseUse::None;
    Nanos dclk_rose_ = kUnknown;    // the port's writes that changed the lines
    Nanos dclk_fell_ = kUnknown;
    Nanos data0_changed_ = kUnknown;
    TimingSeen seen_;
    std::uint64_t bits_ = 0;
    // Bits below this index take_bit() would only store (see
    // plan_plain_bits()); 0 until it has looked.
    std::uint64_t plain_end_ = 0;
    std::vector<std::uint8_t> received_;
    bool mismatch_ = false;
    std::uint64_t mismatch_bit_ = 0;
    std::uint64_t rising_edges_ = 0;
    unsigned nconfig_pulses_ = 0;
    Nanos nconfig_fell_ = 0;
    Nanos nconfig_low_ = 0;
    unsigned init_seen_ = 0;
};

// The configuration cable: DATA0 on D0, DCLK on STROBE, nCONFIG on INIT;
// nSTATUS back on BUSY and CONF_DONE on PAPER END.  Without a device (or
// with the device unpowered) the two return lines float high.
//
// The cable tells the device the time in nanoseconds from the bench's clock
// when it has one (the port's own time is in microseconds), and how long
// its DATA0 and DCLK lines take to settle (0: at once).
class PassiveSerialCable : public ParallelPeripheral {
public:
    explicit PassiveSerialCable(PassiveSerialFpga *device = nullptr, const SimClock *clock = nullptr,
                                Nanos settle = 0)
        : device_(device), clock_(clock), settle_(settle) {}
    void connect(PassiveSerialFpga *device) { device_ = device; }
    void set_clock(const SimClock *clock) { clock_ = clock; }
    void set_settle(Nanos settle) { settle_ = settle; }

    void drive(const PortOutputs &lines, Micros now) override;
    PortInputs sense(Micros now) override;
    void status_read(Micros now) override;

private:
    Nanos ns(Micros now) const { return clock_ ? clock_->now() : static_cast<Nanos>(now) * kMicrosecond; }

    PassiveSerialFpga *device_;
    const SimClock *clock_;
    Nanos settle_;
};

} // namespace bench

#endif
