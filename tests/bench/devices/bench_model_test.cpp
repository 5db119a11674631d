// The bench's hardware models on their own: the parallel port's register
// and line semantics, the passive-serial device, the delay port and the
// kernel's port permission.
#include "boards/fpga_bench.h"
#include "bus/io_bus.h"
#include "devices/pc/parallel_port.h"
#include "devices/fpga/passive_serial.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

namespace {

using bench::FpgaFault;
using bench::PassiveSerialFpga;
using State = bench::PassiveSerialFpga::State;

// Records the lines it is driven with and answers with set levels.
struct Probe : bench::ParallelPeripheral {
    bench::PortOutputs seen;
    bench::PortInputs answer;
    void drive(const bench::PortOutputs &l, bench::Micros) override { seen = l; }
    bench::PortInputs sense(bench::Micros) override { return answer; }
};

TEST(ParallelPortModel, ControlBitsDriveLinesWithTheirInversions)
{
    bench::ParallelPort port;
    Probe probe;
    port.attach(&probe);
    port.write8(2, 0x00, 0);
    EXPECT_TRUE(probe.seen.strobe);
    EXPECT_TRUE(probe.seen.autofd);
    EXPECT_FALSE(probe.seen.init);
    EXPECT_TRUE(probe.seen.select_in);
    port.write8(2, 0x0F, 1);
    EXPECT_FALSE(probe.seen.strobe);
    EXPECT_FALSE(probe.seen.autofd);
    EXPECT_TRUE(probe.seen.init);
    EXPECT_FALSE(probe.seen.select_in);
    port.write8(0, 0xA5, 2);
    EXPECT_EQ(probe.seen.data, 0xA5);
    EXPECT_EQ(port.read8(0, 3), 0xA5);
    EXPECT_EQ(port.read8(2, 3), 0x0F);
}

TEST(ParallelPortModel, StatusRegisterReadsLinesWithBusyInverted)
{
    bench::ParallelPort port;
    EXPECT_EQ(port.read8(1, 0), 0x7F) << "nothing attached: inputs float high";
    Probe probe;
    port.attach(&probe);
    probe.answer = {false, false, false, false, false};
    EXPECT_EQ(port.read8(1, 0), 0x87);
    probe.answer = {true, true, false, true, true};
    EXPECT_EQ(port.read8(1, 0), 0x5F);
    probe.answer = {false, true, true, true, true};
    EXPECT_EQ(port.read8(1, 0), 0xFF);
    port.write8(1, 0x00, 0);  // read only: ignored
    EXPECT_EQ(port.read8(1, 0), 0xFF);
}

TEST(ParallelPortModel, CableWiresTheDeviceToTheRightLines)
{
    bench::FpgaConfig cfg;
    cfg.config_bits = 8;
    PassiveSerialFpga fpga(cfg);
    bench::PassiveSerialCable cable(&fpga);
    bench::ParallelPort port;
    port.attach(&cable);
    // Receiving after power-up: nSTATUS high (bit 7 clear), CONF_DONE low.
    EXPECT_EQ(port.read8(1, 0) & 0xA0, 0x00);
    port.write8(2, 0x01, 1);  // INIT low = nCONFIG low
    EXPECT_EQ(fpga.state(1), State::Reset);
    EXPECT_EQ(port.read8(1, 2) & 0xA0, 0x80);
    cable.connect(nullptr);
    EXPECT_EQ(port.read8(1, 3) & 0xA0, 0x20) << "no device: both lines float high";
}

// Drives the pins directly: one rising edge per bit.
void clock_in(PassiveSerialFpga &f, bench::Micros &t, unsigned value, int bits = 8)
{
    for (int b = 0; b < bits; ++b) {
        bool d = (value >> b) & 1;
        f.set_pins(true, false, d, t++);
        f.set_pins(true, true, d, t++);
    }
}

PassiveSerialFpga started(const bench::FpgaConfig &cfg, bench::Micros &t)
{
    PassiveSerialFpga f(cfg);
    f.set_pins(true, false, false, t++);
    f.set_pins(false, false, false, t++);
    f.set_pins(true, false, false, t);
    t += cfg.nstatus_delay;
    return f;
}

TEST(PassiveSerialModel, ConfiguresLsbFirstAndEntersUserModeAfterInitClocks)
{
    bench::FpgaConfig cfg;
    cfg.config_bits = 16;
    cfg.nstatus_delay = 7;
    bench::Micros t = 0;
    PassiveSerialFpga f(cfg);
    f.set_pins(true, true, false, t++);   // first sight: no edge
    f.set_pins(false, false, false, t++);
    EXPECT_FALSE(f.nstatus(t));
    EXPECT_FALSE(f.conf_done(t));
    bench::Micros rise = t;
    f.set_pins(true, false, false, t);
    EXPECT_FALSE(f.nstatus(rise + 6));
    EXPECT_TRUE(f.nstatus(rise + 7));
    t = rise + 7;
    clock_in(f, t, 0x01);
    clock_in(f, t, 0xB4);
    EXPECT_TRUE(f.conf_done(t));
    EXPECT_EQ(f.state(t), State::Initializing);
    ASSERT_EQ(f.received().size(), 2u);
    EXPECT_EQ(f.received()[0], 0x01);
    EXPECT_EQ(f.received()[1], 0xB4);
    clock_in(f, t, 0, 9);
    EXPECT_EQ(f.state(t), State::Initializing);
    clock_in(f, t, 0, 1);
    EXPECT_EQ(f.state(t), State::UserMode);
    EXPECT_EQ(f.bits_received(), 16u);
    EXPECT_EQ(f.nconfig_pulses(), 1u);
}

TEST(PassiveSerialModel, ClocksBeforeNStatusRisesAreIgnoredAndNConfigResets)
{
    bench::FpgaConfig cfg;
    cfg.config_bits = 8;
    cfg.nstatus_delay = 50;
    bench::Micros t = 0;
    PassiveSerialFpga f(cfg);
    f.set_pins(false, false, false, t++);
    f.set_pins(true, false, false, t++);
    clock_in(f, t, 0xFF);                  // device still clearing
    EXPECT_EQ(f.bits_received(), 0u);
    t = 100;
    clock_in(f, t, 0x0F, 4);
    EXPECT_EQ(f.bits_received(), 4u);
    f.set_pins(false, false, false, t++);  // a new pulse forgets everything
    EXPECT_EQ(f.bits_received(), 0u);
    EXPECT_TRUE(f.received().empty());
}

TEST(PassiveSerialModel, Faults)
{
    bench::FpgaConfig cfg;
    cfg.config_bits = 16;
    bench::Micros t = 0;

    cfg.fault = FpgaFault::NStatusStuckLow;
    PassiveSerialFpga stuck = started(cfg, t);
    EXPECT_FALSE(stuck.nstatus(t + 100000));

    cfg.fault = FpgaFault::ConfDoneNeverRises;
    PassiveSerialFpga never = started(cfg, t);
    clock_in(never, t, 0x12);
    clock_in(never, t, 0x34);
    clock_in(never, t, 0x56);
    EXPECT_FALSE(never.conf_done(t));
    EXPECT_EQ(never.bits_received(), 24u);

    cfg.fault = FpgaFault::ErrorAtBit;
    cfg.error_bit = 11;
    PassiveSerialFpga err = started(cfg, t);
    clock_in(err, t, 0xFF);
    EXPECT_TRUE(err.nstatus(t));
    clock_in(err, t, 0xFF);
    EXPECT_FALSE(err.nstatus(t));
    EXPECT_FALSE(err.conf_done(t));
    EXPECT_EQ(err.bits_received(), 11u);

    cfg.fault = FpgaFault::ConfDoneWithNStatusLow;
    PassiveSerialFpga late = started(cfg, t);
    clock_in(late, t, 0xAA);
    clock_in(late, t, 0x55);
    EXPECT_TRUE(late.conf_done(t));
    EXPECT_FALSE(late.nstatus(t));
    clock_in(late, t, 0, 20);
    EXPECT_NE(late.state(t), State::UserMode);
}

TEST(PassiveSerialModel, StartsConfiguredWhenAsked)
{
    bench::FpgaConfig cfg;
    cfg.start_configured = true;
    PassiveSerialFpga f(cfg);
    EXPECT_TRUE(f.conf_done(0));
    EXPECT_TRUE(f.nstatus(0));
}

TEST(IoBusModel, DelayPortCountsWritesAndTimeIsOneMicrosecondPerAccess)
{
    bench::IoBus io;
    bench::FpgaBench b(io, bench::FpgaBenchConfig{});
    ASSERT_EQ(io.permission(0x80, 1, 1), 0);
    for (int k = 0; k < 7; ++k)
        io.out8(0x80, 0);
    io.in8(0x80);
    EXPECT_EQ(b.delay().writes(), 7u);
    EXPECT_EQ(io.now(), 8u);
}

TEST(IoBusModel, PermissionFollowsTheKernel)
{
    bench::IoBus io;
    EXPECT_EQ(io.permission(0x378, 0, 1), -1) << "empty range";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(io.permission(0xFFFF, 2, 1), -1);
    EXPECT_EQ(errno, EINVAL);

    io.permissions().set_privileged(false, EPERM);
    EXPECT_EQ(io.permission(0x378, 3, 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(io.permission(0x378, 3, 0), 0) << "anyone may give access up";

    io.permissions().set_privileged(false, ENOSYS);
    EXPECT_EQ(io.permission(0x378, 3, 0), -1) << "no ioperm at all";
    EXPECT_EQ(errno, ENOSYS);

    io.permissions().set_privileged(true);
    io.permissions().refuse_range(0x80, 1);
    EXPECT_EQ(io.permission(0x7F, 2, 1), -1);
    EXPECT_FALSE(io.permissions().permitted(0x7F));
    EXPECT_EQ(io.permission(0x378, 3, 1), 0);
    EXPECT_TRUE(io.permissions().permitted(0x37A));
    EXPECT_FALSE(io.permissions().permitted(0x37B));
}

TEST(IoBusModel, AccessWithoutPermissionIsRecordedUnderTheRecordPolicy)
{
    bench::IoBus io;
    io.permissions().set_violation_policy(bench::ViolationPolicy::Record);
    testing::internal::CaptureStderr();
    EXPECT_EQ(io.in8(0x379), 0xFF);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(io.permissions().violations().size(), 1u);
    EXPECT_EQ(io.permissions().violations()[0], 0x379);
    EXPECT_NE(err.find("0x379"), std::string::npos);
}

TEST(IoBusModelDeathTest, AccessWithoutPermissionKillsWithSigsegv)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bench::IoBus io;
            io.out8(0x378, 1);
        },
        testing::KilledBySignal(SIGSEGV), "FAULT: 8-bit access to port 0x378 without I/O permission");
}

} // namespace

TEST(IoBusModel, WordAccessAcrossTwoDevicesIsSplitIntoByteCycles)
{
    // An 8-bit register bank ending at 0x3FF and another device behind it:
    // a word access at 0x3FF reaches each with its own byte; with nothing
    // behind it, the high byte floats.
    struct Bytes : bench::Device {
        std::uint8_t reg[2] = {0x11, 0x22};
        std::uint8_t read8(std::uint16_t offset, bench::Micros) override { return reg[offset]; }
        void write8(std::uint16_t offset, std::uint8_t v, bench::Micros) override { reg[offset] = v; }
    };
    bench::IoBus io;
    Bytes low, high;
    io.map(0x3FE, 2, low);
    io.map(0x400, 2, high);
    ASSERT_EQ(io.permission(0x3FE, 8, 1), 0);

    EXPECT_EQ(io.in16(0x3FF), 0x1122);
    io.out16(0x3FF, 0xABCD);
    EXPECT_EQ(low.reg[1], 0xCD);
    EXPECT_EQ(high.reg[0], 0xAB);
    EXPECT_EQ(io.in16(0x3FE), 0xCD11);  // both bytes on one device

    io.unmap(0x400, 2);
    EXPECT_EQ(io.in16(0x3FF), 0xFFCD);
    io.out16(0x3FF, 0x0102);            // the high byte goes nowhere
    EXPECT_EQ(low.reg[1], 0x02);
}
