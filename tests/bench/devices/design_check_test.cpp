// The bench device that checks what it receives: its own reader of the
// design, and the configuration error at the end of the frame that held the
// first wrong bit.
#include "devices/fpga/design_file.h"
#include "devices/fpga/passive_serial.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bench::Design;
using bench::PassiveSerialFpga;
using State = PassiveSerialFpga::State;

std::vector<int> bytes_of(const Design &d)
{
    std::vector<int> v;
    for (const auto &b : d)
        v.push_back(b.valid ? b.value : -1);
    return v;
}

TEST(DesignReader, AnyLayoutGivesTheSameBytes)
{
    const std::vector<int> want = {255, 0, 7, 128, 12};
    for (const char *text : {"255,  0,  7,128, 12\n",        // one line
                             "255,  0,\n  7,128,\n 12",      // short lines, no final line end
                             "255,  0,\r\n  7,128,\r\n 12\r\n",  // CR LF
                             "\n255,0 ,\t7,  128 ,12\n\n"}) {  // blanks anywhere, blank lines
        EXPECT_EQ(bytes_of(bench::design_from_ttf_text(text)), want) << text;
    }
}

TEST(DesignReader, FieldsThatHoldNoByteCanNeverBeMatched)
{
    EXPECT_EQ(bytes_of(bench::design_from_ttf_text("  1,256,  a,   ,  4,0012")),
              (std::vector<int>{1, -1, -1, -1, 4, -1}));
    EXPECT_EQ(bytes_of(bench::design_from_ttf_text("  1,  2,\n")), (std::vector<int>{1, 2, -1}))
        << "a comma after the last value promises one more";
    EXPECT_TRUE(bench::design_from_ttf_text(" \r\n").empty());
}

class CheckingDevice : public testing::Test {
protected:
    // A device expecting `count` bytes of the pattern 0x5A, started and
    // ready for data.
    void start(std::size_t count)
    {
        cfg.design.assign(count, bench::DesignByte{0x5A, true});
        cfg.config_bits = 8 * count;
        cfg.init_clocks = 10;
        dev.power_up(cfg);
        dev.set_pins(true, false, false, t++);
        dev.set_pins(false, false, false, t++);
        dev.set_pins(true, false, false, t);
        t += cfg.nstatus_delay;
        ASSERT_TRUE(dev.nstatus(t));
    }
    // Clocks in bits [from, to) of the design, with bit `flip` inverted.
    void send(std::uint64_t from, std::uint64_t to, std::uint64_t flip = ~0ULL)
    {
        for (std::uint64_t k = from; k < to; ++k) {
            bool d = ((0x5A >> (k % 8)) & 1) != (k == flip);
            dev.set_pins(true, false, d, t++);
            dev.set_pins(true, true, d, t++);
        }
    }
    bench::FpgaConfig cfg;
    PassiveSerialFpga dev;
    bench::Micros t = 0;
};

TEST_F(CheckingDevice, TheExactDesignConfiguresIt)
{
    start(300);
    send(0, 2400);
    EXPECT_TRUE(dev.conf_done(t));
    send(0, 10);
    EXPECT_EQ(dev.state(t), State::UserMode);
    EXPECT_FALSE(dev.design_mismatch());
}

TEST_F(CheckingDevice, AWrongBitFailsAtTheEndOfItsFrame)
{
    start(300);  // frames of 1024 bits: 0-1023, 1024-2047, 2048-2399
    const std::uint64_t wrong = 1030;
    send(0, 2047, wrong);
    EXPECT_TRUE(dev.nstatus(t)) << "the frame's CRC is checked at its end";
    EXPECT_EQ(dev.state(t), State::Receiving);
    send(2047, 2048);
    EXPECT_FALSE(dev.nstatus(t));
    EXPECT_EQ(dev.state(t), State::Error);
    send(2048, 2400);
    send(0, 10);
    EXPECT_FALSE(dev.conf_done(t));
    EXPECT_FALSE(dev.nstatus(t));
    EXPECT_EQ(dev.bits_received(), 2048u) << "nothing is taken after the error";
    EXPECT_TRUE(dev.design_mismatch());
    EXPECT_EQ(dev.first_mismatch_bit(), wrong);
    EXPECT_EQ(dev.received()[wrong / 8], 0x5A ^ (1u << (wrong % 8)));
}

TEST_F(CheckingDevice, AWrongBitInTheLastShortFrameFailsAtTheLastBit)
{
    start(300);
    send(0, 2399, 2398);
    EXPECT_TRUE(dev.nstatus(t));
    send(2399, 2400);
    EXPECT_FALSE(dev.nstatus(t));
    EXPECT_FALSE(dev.conf_done(t));
    EXPECT_EQ(dev.first_mismatch_bit(), 2398u);
}

TEST_F(CheckingDevice, AnUnmatchableByteFailsWhateverIsSent)
{
    cfg.design.assign(4, bench::DesignByte{0x5A, true});
    cfg.design[2].valid = false;
    cfg.config_bits = 32;
    dev.power_up(cfg);
    dev.set_pins(true, false, false, t++);
    dev.set_pins(false, false, false, t++);
    dev.set_pins(true, false, false, t);
    t += cfg.nstatus_delay;
    send(0, 32);
    EXPECT_EQ(dev.state(t), State::Error);
    EXPECT_EQ(dev.first_mismatch_bit(), 16u);
}

TEST_F(CheckingDevice, ANewNConfigPulseForgetsTheError)
{
    start(8);
    send(0, 64, 3);
    ASSERT_EQ(dev.state(t), State::Error);
    dev.set_pins(false, false, false, t++);
    dev.set_pins(true, false, false, t);
    t += cfg.nstatus_delay;
    EXPECT_TRUE(dev.nstatus(t));
    EXPECT_FALSE(dev.design_mismatch());
    send(0, 64);
    EXPECT_TRUE(dev.conf_done(t));
    EXPECT_EQ(dev.nconfig_pulses(), 2u);
}

} // namespace
