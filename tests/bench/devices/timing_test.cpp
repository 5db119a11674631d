// The device's timing limits, each at both sides of its boundary: what a
// datasheet's device does when a limit is met by the nanosecond, and when
// it is missed by one.  The pins are driven directly, in nanoseconds.
#include "devices/fpga/passive_serial.h"
#include "devices/fpga/timing_profile.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using bench::FpgaConfig;
using bench::Nanos;
using bench::PassiveSerialFpga;
using State = bench::PassiveSerialFpga::State;

// A device that checks one limit (set by the test) and wants one byte.
FpgaConfig one_byte(std::uint8_t value)
{
    FpgaConfig cfg;
    cfg.design = {bench::DesignByte{value, true}};
    cfg.config_bits = 8;
    cfg.nstatus_delay = 1;  // 1 us
    cfg.init_clocks = 0;
    cfg.timing.name = "test";
    return cfg;
}

// Drives the pins as psload's port does, with the time of each write.
struct Pins {
    PassiveSerialFpga f;
    Nanos t = 0;
    Nanos settle = 0;
    bool nconfig = true, dclk = false, data = false;
    explicit Pins(const FpgaConfig &cfg) : f(cfg) { f.drive(true, false, false, 0); }
    void at(Nanos when) { t = when; f.drive(nconfig, dclk, data, t, settle); }
    void set_data(bool d, Nanos when) { data = d; at(when); }
    void set_dclk(bool c, Nanos when) { dclk = c; at(when); }
    // nCONFIG low for `low` ns from `from`; the device then waits for its
    // nSTATUS release (1 us).
    void pulse(Nanos from, Nanos low)
    {
        nconfig = false;
        at(from);
        nconfig = true;
        at(from + low);
    }
    // One bit: DATA0 at `when`, DCLK up `setup` later, down `high` after.
    void bit(bool d, Nanos when, Nanos setup = 1000, Nanos high = 1000)
    {
        set_data(d, when);
        set_dclk(true, when + setup);
        set_dclk(false, when + setup + high);
    }
    // The rest of the byte 0xA5, well in time, from bit k on: a bit every
    // 4 us.
    void rest(int k, Nanos from, Nanos setup = 1000, Nanos high = 1000)
    {
        for (; k < 8; ++k)
            bit((0xA5 >> k) & 1, from + k * 4000, setup, high);
    }
};

// A configuration started at 0 with a 2 us pulse: nSTATUS high at 3 us.
Pins started(const FpgaConfig &cfg)
{
    Pins p(cfg);
    p.pulse(0, 2000);
    return p;
}

TEST(TimingLimits, NConfigPulseShorterThanTcfgLeavesNStatusLowUntilALongOne)
{
    for (Nanos low : {Nanos{2000}, Nanos{1999}}) {
        SCOPED_TRACE(low);
        FpgaConfig cfg = one_byte(0xA5);
        cfg.timing.tcfg_min = 2000;
        Pins p(cfg);
        p.pulse(0, low);
        const Nanos ready = low + 1000;
        EXPECT_EQ(p.f.nstatus_at(ready + 1000000), low == 2000);
        EXPECT_EQ(p.f.timing().tcfg, low);
        EXPECT_EQ(p.f.timing().broken_tcfg, low == 2000 ? 0u : 1u);
        p.pulse(10000000, 2000);  // a pulse long enough starts it after all
        EXPECT_TRUE(p.f.nstatus_at(10000000 + 2000 + 1000));
    }
}

TEST(TimingLimits, NStatusRisesAtItsReleaseAndThePollIsMeasured)
{
    FpgaConfig cfg = one_byte(0xA5);
    cfg.nstatus_delay = 4;
    Pins p(cfg);
    p.pulse(0, 2000);
    EXPECT_FALSE(p.f.nstatus_at(2000 + 3999));
    p.f.status_read(2000 + 3999);
    EXPECT_FALSE(p.f.timing().nstatus_found);
    EXPECT_EQ(p.f.timing().nstatus_wait, 3999);
    EXPECT_TRUE(p.f.nstatus_at(2000 + 4000));
    p.f.status_read(2000 + 4000);
    p.f.status_read(2000 + 9000);  // later reads are not the poll's
    EXPECT_TRUE(p.f.timing().nstatus_found);
    EXPECT_EQ(p.f.timing().nstatus_wait, 4000);
    EXPECT_EQ(p.f.timing().nstatus_release, 4000);
}

// The limits on the first DCLK rise, measured from nCONFIG high (2 us) and
// from nSTATUS high (3 us): met by 0 ns the bit is right, missed by 1 ns it
// is the wrong bit, which fails the frame as bad data does.
TEST(TimingLimits, FirstClockBeforeTcf2ckOrTst2ckTakesAWrongBit)
{
    for (int which = 0; which < 2; ++which) {
        for (Nanos miss : {Nanos{0}, Nanos{1}}) {
            SCOPED_TRACE(std::string(which ? "tST2CK" : "tCF2CK") + " missed by " + std::to_string(miss));
            FpgaConfig cfg = one_byte(0xA5);
            (which ? cfg.timing.tst2ck_min : cfg.timing.tcf2ck_min) = 50000;
            Pins p = started(cfg);
            const Nanos origin = which ? 3000 : 2000;
            const Nanos rise = origin + 50000 - miss;
            p.bit(true, rise - 1000);
            p.rest(1, rise + 4000);
            EXPECT_EQ(which ? p.f.timing().tst2ck : p.f.timing().tcf2ck, 50000 - miss);
            ASSERT_EQ(p.f.received().size(), 1u);
            EXPECT_EQ(p.f.received()[0], miss ? 0xA4 : 0xA5);
            EXPECT_EQ(p.f.state_at(p.t), miss ? State::Error : State::UserMode);
            EXPECT_EQ(p.f.nstatus_at(p.t), !miss);
            EXPECT_EQ(p.f.conf_done_at(p.t), !miss);
        }
    }
}

TEST(TimingLimits, DataSetupShorterThanTdsuTakesAWrongBit)
{
    for (Nanos setup : {Nanos{5}, Nanos{4}}) {
        SCOPED_TRACE(setup);
        FpgaConfig cfg = one_byte(0xA5);
        cfg.timing.tdsu_min = 5;
        Pins p = started(cfg);
        p.bit(true, 10000, setup);
        p.rest(1, 20000);
        EXPECT_EQ(p.f.timing().tdsu, setup);
        EXPECT_EQ(p.f.received()[0], setup == 5 ? 0xA5 : 0xA4);
        EXPECT_EQ(p.f.design_mismatch(), setup != 5);
        EXPECT_EQ(p.f.state_at(p.t), setup == 5 ? State::UserMode : State::Error);
    }
}

TEST(TimingLimits, DataChangedBeforeTdhSpoilsTheBitTakenLast)
{
    for (Nanos hold : {Nanos{3}, Nanos{2}}) {
        SCOPED_TRACE(hold);
        FpgaConfig cfg = one_byte(0xA5);
        cfg.timing.tdh_min = 3;
        Pins p = started(cfg);
        p.set_data(true, 10000);
        p.set_dclk(true, 11000);
        p.set_data(false, 11000 + hold);  // the next bit's value, early
        p.set_dclk(false, 12000);
        p.rest(1, 20000);
        EXPECT_EQ(p.f.timing().tdh, hold);
        EXPECT_EQ(p.f.received()[0], hold == 3 ? 0xA5 : 0xA4);
        EXPECT_EQ(p.f.state_at(p.t), hold == 3 ? State::UserMode : State::Error);
    }
}

TEST(TimingLimits, DclkHighOrLowShorterThanTchOrTclGivesAWrongBit)
{
    for (Nanos pulse : {Nanos{4}, Nanos{3}}) {
        SCOPED_TRACE(pulse);
        FpgaConfig high = one_byte(0xA5);
        high.timing.tch_min = 4;
        Pins h = started(high);
        h.bit(true, 10000, 1000, pulse);
        h.rest(1, 20000);
        EXPECT_EQ(h.f.timing().tch, pulse);
        EXPECT_EQ(h.f.received()[0], pulse == 4 ? 0xA5 : 0xA4);

        FpgaConfig low = one_byte(0xA5);
        low.timing.tcl_min = 4;
        Pins l = started(low);
        l.set_data(true, 10000);
        l.set_dclk(true, 10100);
        l.set_dclk(false, 10200);
        l.set_data(false, 10201);
        l.set_dclk(true, 10200 + pulse);  // bit 1 (0) after a short low
        l.set_dclk(false, 11000);
        l.rest(2, 20000);
        EXPECT_EQ(l.f.timing().tcl, pulse);
        EXPECT_EQ(l.f.received()[0], pulse == 4 ? 0xA5 : 0xA7);
        EXPECT_EQ(l.f.state_at(l.t), pulse == 4 ? State::UserMode : State::Error);
    }
}

TEST(TimingLimits, ClockFasterThanFmaxGivesAWrongBit)
{
    // 16 MHz: 62.5 ns, checked as 63.
    for (Nanos period : {Nanos{63}, Nanos{62}}) {
        SCOPED_TRACE(period);
        FpgaConfig cfg = one_byte(0xA5);
        cfg.timing.fmax_hz = 16000000;
        Pins p = started(cfg);
        p.set_data(true, 10000);
        p.set_dclk(true, 10100);
        p.set_dclk(false, 10130);
        p.set_data(false, 10140);
        p.set_dclk(true, 10100 + period);  // bit 1 (0)
        p.set_dclk(false, 11000);
        p.rest(2, 20000);
        EXPECT_EQ(p.f.timing().period, std::min<Nanos>(period, 4000));
        EXPECT_EQ(p.f.received()[0], period == 63 ? 0xA5 : 0xA7);
    }
}

TEST(TimingLimits, TooFewClosingClocksLeaveTheDeviceOutOfUserMode)
{
    for (unsigned given : {10u, 9u}) {
        SCOPED_TRACE(given);
        FpgaConfig cfg = one_byte(0xA5);
        cfg.timing.closing_clocks = 10;
        cfg.init_clocks = 10;
        Pins p = started(cfg);
        p.rest(0, 10000);
        EXPECT_TRUE(p.f.conf_done_at(p.t));
        for (unsigned k = 0; k < given; ++k)
            p.bit(false, 100000 + k * 4000);
        EXPECT_EQ(p.f.timing().closing_clocks, given);
        EXPECT_EQ(p.f.state_at(p.t + 1000000), given == 10 ? State::UserMode : State::Initializing);
        EXPECT_TRUE(p.f.conf_done_at(p.t)) << "CONF_DONE is high: psload calls it a success";
    }
}

TEST(TimingLimits, UserModeComesItsDelayAfterConfDone)
{
    FpgaConfig cfg = one_byte(0xA5);
    cfg.user_mode_delay = 650000;
    Pins p = started(cfg);
    p.rest(0, 10000);
    const Nanos done = 10000 + 7 * 4000 + 1000;  // the last bit's rise
    EXPECT_EQ(p.f.state_at(done + 649999), State::Initializing);
    EXPECT_EQ(p.f.state_at(done + 650000), State::UserMode);
}

// The cable: a line may settle anywhere up to `settle` after its write, so
// DATA0 must have settled by the earliest DCLK rise even where tDSU is
// unknown, and DCLK must be high past the latest rise.
TEST(CableSettling, DataStillSettlingAtTheClockGivesAWrongBit)
{
    for (Nanos setup : {Nanos{1500}, Nanos{1499}}) {
        SCOPED_TRACE(setup);
        FpgaConfig cfg = one_byte(0xA5);
        cfg.timing = bench::TimingProfile();  // nothing known: only the cable counts
        Pins p = started(cfg);
        p.settle = 1500;
        p.bit(true, 10000, setup, 2000);
        p.rest(1, 20000, 2000, 2000);
        EXPECT_EQ(p.f.timing().tdsu, setup - 1500);
        EXPECT_EQ(p.f.received()[0], setup == 1500 ? 0xA5 : 0xA4);
        EXPECT_EQ(p.f.state_at(p.t), setup == 1500 ? State::UserMode : State::Error);
    }
}

TEST(CableSettling, AClockPulseShorterThanTheSettlingIsNoClock)
{
    for (Nanos high : {Nanos{1500}, Nanos{1499}}) {
        SCOPED_TRACE(high);
        FpgaConfig cfg = one_byte(0xA5);
        cfg.timing = bench::TimingProfile();
        Pins p = started(cfg);
        p.settle = 1500;
        p.bit(true, 10000, 2000, high);
        p.rest(1, 20000, 2000, 2000);
        EXPECT_EQ(p.f.timing().tch, high - 1500);
        EXPECT_EQ(p.f.received()[0], high == 1500 ? 0xA5 : 0xA4);
    }
}

TEST(TimingProfiles, TheThreeProfilesHoldTheTablesNumbersAndSayWhereTheyComeFrom)
{
    bench::TimingProfile a, b, c, none;
    ASSERT_TRUE(bench::find_timing_profile("A", a));
    ASSERT_TRUE(bench::find_timing_profile("B", b));
    ASSERT_TRUE(bench::find_timing_profile("C", c));
    EXPECT_FALSE(bench::find_timing_profile("D", none));
    EXPECT_EQ(a.tcfg_min, 2000);
    EXPECT_EQ(a.nstatus_max, 4000);
    EXPECT_EQ(a.fmax_hz, 16000000u);
    EXPECT_EQ(a.closing_clocks, 10);
    EXPECT_EQ(a.tcf2ck_min, bench::kUnknown);
    EXPECT_EQ(b.tcfg_min, 500);
    EXPECT_EQ(b.nstatus_min, 45000);
    EXPECT_EQ(b.nstatus_max, 230000);
    EXPECT_EQ(b.tcf2ck_min, 230000);
    EXPECT_EQ(b.tst2ck_min, 2000);
    EXPECT_EQ(b.tdsu_min, 5);
    EXPECT_EQ(b.tdh_min, 0);
    EXPECT_EQ(b.min_period(), 8);  // 133 MHz: 7.52 ns
    EXPECT_EQ(b.closing_clocks, 0);
    EXPECT_EQ(b.user_mode_max, 650000);
    EXPECT_EQ(c.nstatus_min, 268000);
    EXPECT_EQ(c.nstatus_max, 1506000);
    EXPECT_EQ(c.tcf2ck_min, 1506000);
    EXPECT_EQ(c.tdsu_min, bench::kUnknown);
    EXPECT_EQ(c.closing_clocks, -1);
    EXPECT_EQ(c.user_mode_min, 175000);
    for (const auto *p : {&a, &b, &c})
        EXPECT_FALSE(p->source.empty()) << p->name;
}

} // namespace
