// The configuration timing a passive-serial FPGA family asks for, as its
// datasheet gives it: the limits of the nCONFIG pulse, of nSTATUS's release,
// of the first DCLK and of every DCLK after it, and what the device needs
// after CONF_DONE.  All times in nanoseconds at the device's pins.
//
// A limit the source does not give is kUnknown and is not checked: the
// bench knows no better than the datasheet.  (DATA0 still has to be settled
// when DCLK rises, whatever tDSU is: see passive_serial.h.)
#ifndef BENCH_DEVICES_FPGA_TIMING_PROFILE_H
#define BENCH_DEVICES_FPGA_TIMING_PROFILE_H

#include "time/sim_clock.h"

#include <climits>
#include <cstdint>
#include <string>

namespace bench {

// Not known (a limit), or not come up in the run (a value measured, which
// may well be negative).
constexpr Nanos kUnknown = LLONG_MIN;

struct TimingProfile {
    std::string name;               // "A", "B", "C"; empty: nothing checked
    std::string source;             // where the numbers come from
    Nanos tcfg_min = kUnknown;      // nCONFIG low
    Nanos nstatus_min = kUnknown;   // nCONFIG high to nSTATUS released: a range
    Nanos nstatus_max = kUnknown;
    Nanos tcf2ck_min = kUnknown;    // nCONFIG high to the first DCLK rise
    Nanos tst2ck_min = kUnknown;    // nSTATUS high to the first DCLK rise
    Nanos tdsu_min = kUnknown;      // DATA0 settled before DCLK rises
    Nanos tdh_min = kUnknown;       // DATA0 held after DCLK rises
    Nanos tch_min = kUnknown;       // DCLK high
    Nanos tcl_min = kUnknown;       // DCLK low
    std::uint64_t fmax_hz = 0;      // 0: unknown
    // DCLK rising edges the device needs after CONF_DONE to initialise: -1
    // unknown (not checked: none needed), 0 none (it runs on its own
    // oscillator).
    int closing_clocks = -1;
    Nanos user_mode_min = kUnknown;  // CONF_DONE high to user mode: a range
    Nanos user_mode_max = kUnknown;

    bool known(Nanos limit) const { return limit != kUnknown; }
    // The shortest DCLK period fMAX allows, in ns, rounded up (0: unknown).
    Nanos min_period() const
    {
        return fmax_hz == 0 ? 0 : static_cast<Nanos>((1000000000ULL + fmax_hz - 1) / fmax_hz);
    }
};

// The profiles the bench knows, by name: "A" (the lab's era, the default),
// "B" and "C".  False for a name it does not know.
bool find_timing_profile(const std::string &name, TimingProfile &profile);

// Their names, for the help: "A, B, C".
const char *timing_profile_names();

} // namespace bench

#endif
