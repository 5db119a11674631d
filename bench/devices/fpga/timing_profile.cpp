#include "devices/fpga/timing_profile.h"

namespace bench {

namespace {

TimingProfile profile_a()
{
    TimingProfile p;
    p.name = "A";
    p.source = "the lab's era: values quoted for the passive-serial families of about 2000 "
               "(no one datasheet; what they do not quote is unknown)";
    p.tcfg_min = 2 * kMicrosecond;
    p.nstatus_min = 0;
    p.nstatus_max = 4 * kMicrosecond;
    p.fmax_hz = 16000000;
    p.closing_clocks = 10;
    return p;
}

TimingProfile profile_b()
{
    TimingProfile p;
    p.name = "B";
    p.source = "a low-cost family of the 2010s: its datasheet's passive-serial configuration timing "
               "(tCH and tCL 3.2 ns, checked as 4 ns in whole nanoseconds)";
    p.tcfg_min = 500;
    p.nstatus_min = 45 * kMicrosecond;
    p.nstatus_max = 230 * kMicrosecond;
    p.tcf2ck_min = 230 * kMicrosecond;
    p.tst2ck_min = 2 * kMicrosecond;
    p.tdsu_min = 5;
    p.tdh_min = 0;
    p.tch_min = 4;            // 3.2 ns, in the bench's whole nanoseconds rounded up
    p.tcl_min = 4;
    p.fmax_hz = 133000000;
    p.closing_clocks = 0;     // initialises from its own oscillator
    p.user_mode_min = 300 * kMicrosecond;
    p.user_mode_max = 650 * kMicrosecond;
    return p;
}

TimingProfile profile_c()
{
    TimingProfile p;
    p.name = "C";
    p.source = "a mid-range family of 2012: its datasheet's passive-serial configuration timing";
    p.tcfg_min = 2 * kMicrosecond;
    p.nstatus_min = 268 * kMicrosecond;
    p.nstatus_max = 1506 * kMicrosecond;
    p.tcf2ck_min = 1506 * kMicrosecond;
    p.tst2ck_min = 2 * kMicrosecond;
    p.user_mode_min = 175 * kMicrosecond;
    p.user_mode_max = 437 * kMicrosecond;
    return p;
}

} // namespace

bool find_timing_profile(const std::string &name, TimingProfile &profile)
{
    if (name == "A")
        profile = profile_a();
    else if (name == "B")
        profile = profile_b();
    else if (name == "C")
        profile = profile_c();
    else
        return false;
    return true;
}

const char *timing_profile_names()
{
    return "A, B, C";
}

} // namespace bench
