// psload-sim's waveform: the configuration cable's lines at the parallel
// port's connector, where a logic analyser would be clipped on - nCONFIG,
// nSTATUS, DCLK, DATA0, CONF_DONE - and the port's three registers as
// 8-bit vectors, on the bench's time base, as a VCD file: in microseconds
// while every bus cycle is whole microseconds (the lab PC's 1 us per port
// access), else in nanoseconds, so that the time stamps are the accesses'
// own.
//
// The lines are sampled after every port access: a change that the device
// makes between two accesses (nSTATUS rising while psload polls) shows at
// the access that follows it, at most one access later.
//
// A whole download writes about 3 port accesses per bit; a window limits the
// file to the interesting part, in microseconds or in configuration bits
// received (the bit count restarts with every nCONFIG pulse).
#ifndef BENCH_CABLE_WAVEFORM_H
#define BENCH_CABLE_WAVEFORM_H

#include "boards/fpga_bench.h"
#include "sims/common/vcd_writer.h"

#include <cstdint>
#include <string>

namespace bench {

struct WaveWindow {
    bool in_bits = false;            // false: microseconds
    std::uint64_t from = 0;
    std::uint64_t to = ~0ULL;        // inclusive
};

// How the registers are written: as 8-bit vectors (GTKWave and most
// viewers), or as eight one-bit wires each (data0..data7, ...) for sigrok
// and PulseView, whose VCD reader (libsigrok 0.5) takes one-bit signals
// only and stops reading at a vector value in a large file.
enum class RegisterWires { Vectors, Bits };

// "FROM:TO" in microseconds, "bits:FROM:TO" in bits received; either end
// may be left empty.  False when the text is none of these.
bool parse_wave_window(const std::string &text, WaveWindow &window);

class CableWaveform {
public:
    CableWaveform(FpgaBench &bench, int fd, const WaveWindow &window,
                  RegisterWires registers = RegisterWires::Vectors);

    // After every port access made at time t (ns).
    void sample(Nanos t);
    // At the end of the run (or when records are flushed before it).
    void flush() { vcd_.flush(); }
    // errno of the first failed write to the file, or 0.
    int write_error() const { return vcd_.error(); }
    void finish(Nanos t);

private:
    // A register as one vector or as eight wires.
    struct Register {
        int vector = -1;
        int bit[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    };
    Register declare(const char *name, std::uint8_t initial, RegisterWires how);
    void set(const Register &r, std::uint8_t value, std::uint64_t t);
    std::uint64_t stamp(Nanos t) const { return static_cast<std::uint64_t>(whole_us_ ? t / kMicrosecond : t); }

    FpgaBench &bench_;
    bool whole_us_;
    WaveWindow window_;
    VcdWriter vcd_;
    int nconfig_, nstatus_, dclk_, data0_, conf_done_;
    Register data_reg_, status_reg_, control_reg_;
};

} // namespace bench

#endif
