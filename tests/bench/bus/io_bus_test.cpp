// The I/O bus: named windows, floating reads, the cost of a cycle on the
// board's clock, kernel mode, device offsets and the observer.
#include "bus/io_bus.h"
#include "devices/pc/delay_port.h"
#include "devices/pc/parallel_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

// A register per port that remembers what it saw.
struct Latch : bench::Device {
    std::uint8_t value = 0x5A;
    std::uint8_t read8(std::uint16_t, bench::Micros) override { return value; }
    void write8(std::uint16_t, std::uint8_t v, bench::Micros) override { value = v; }
};

TEST(IoBus, NamedWindowsDescribePortsAndUnmappedPortsFloat)
{
    bench::IoBus bus;
    bus.set_kernel_mode(true);
    Latch board, other;
    bus.map(0x130, 4, board, "echo_board");
    bus.map(0x300, 2, other);
    EXPECT_EQ(bus.describe(0x132), "echo_board+2");
    EXPECT_EQ(bus.describe(0x130), "echo_board+0");
    EXPECT_EQ(bus.describe(0x134), "0x134");
    EXPECT_EQ(bus.describe(0x301), "0x301") << "a window without a name";
    EXPECT_EQ(bus.device_at(0x133), &board);
    EXPECT_EQ(bus.in8(0x134), 0xFF);
    bus.out8(0x135, 0x12);  // nobody decodes it: nothing happens
    EXPECT_EQ(board.value, 0x5A);

    // A later window covers an earlier one; unmapping it uncovers nothing.
    bus.map(0x132, 1, other, "over");
    EXPECT_EQ(bus.describe(0x132), "over+0");
    EXPECT_EQ(bus.describe(0x131), "echo_board+1");
    bus.unmap(0x132, 1);
    EXPECT_EQ(bus.device_at(0x132), nullptr);
    EXPECT_EQ(bus.describe(0x132), "0x132");
    EXPECT_EQ(bus.mappings().size(), 2u) << "the covered window is gone, the others stay";
    bus.unmap(0x130, 4);
    bus.unmap(0x300, 2);
    EXPECT_TRUE(bus.mappings().empty());
}

TEST(IoBus, EachAccessTakesTheCycleTheBoardSetsOnTheSharedClock)
{
    bench::SimClock clock;
    bench::IoBus bus(clock);
    bus.set_kernel_mode(true);
    bus.in8(0x80);
    bus.out16(0x80, 1);
    EXPECT_EQ(clock.now(), 2 * bench::kMicrosecond) << "1 us per cycle by default";
    EXPECT_EQ(bus.now(), 2u);
    bus.set_access_cost(0);
    bus.out8(0x80, 1);
    EXPECT_EQ(clock.now(), 2 * bench::kMicrosecond);
    clock.advance(1500);  // another part of the board moves the same clock
    EXPECT_EQ(bus.now(), 3u) << "devices see whole microseconds";
    EXPECT_EQ(bus.accesses(), 3u);
    bus.reset();
    EXPECT_EQ(clock.now(), 0);
    bus.permissions().set_violation_policy(bench::ViolationPolicy::Record);
    testing::internal::CaptureStderr();
    bus.in8(0x80);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(clock.now(), bench::kMicrosecond) << "the cost is back to 1 us after reset";
    EXPECT_EQ(bus.permissions().violations().size(), 1u) << "and the permission check is back on";
}

TEST(IoBus, KernelModeSkipsThePermissionCheck)
{
    bench::IoBus bus;
    Latch latch;
    bus.map(0x378, 1, latch, "lpt");
    bus.permissions().set_violation_policy(bench::ViolationPolicy::Record);
    bus.set_kernel_mode(true);
    bus.out8(0x378, 7);
    EXPECT_EQ(latch.value, 7);
    EXPECT_TRUE(bus.permissions().violations().empty());
    EXPECT_FALSE(bus.permissions().any_permitted()) << "kernel mode grants nothing to the process";
}

// An observer that clobbers errno, as a file-writing recorder may.
struct Clobber : bench::Observer {
    int calls = 0;
    void on_permission(const bench::PermissionCall &) override
    {
        ++calls;
        errno = 0;
        std::FILE *f = std::fopen("/nonexistent/dir/file", "r");
        if (f)
            std::fclose(f);
    }
};

TEST(IoBus, AFailedIopermKeepsItsErrnoWhateverTheObserverDoes)
{
    bench::IoBus bus;
    Clobber observer;
    bus.set_observer(&observer);
    bus.permissions().set_privileged(false, EPERM);
    errno = 0;
    EXPECT_EQ(bus.permission(0x378, 3, 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(observer.calls, 1);
    ASSERT_EQ(bus.permissions().calls().size(), 1u);
    EXPECT_EQ(bus.permissions().calls()[0].err, EPERM);
    bus.set_observer(nullptr);
}

} // namespace

namespace {

// The bus hands a device the offset of each cycle in the window it was
// mapped in, whatever its base; a word spanning two windows of one device
// is two byte cycles.
struct OffsetLog : bench::Device {
    std::vector<std::pair<char, unsigned>> seen;
    std::uint8_t read8(std::uint16_t offset, bench::Micros) override
    {
        seen.emplace_back('r', offset);
        return static_cast<std::uint8_t>(0x40 + offset);
    }
    void write8(std::uint16_t offset, std::uint8_t, bench::Micros) override { seen.emplace_back('w', offset); }
    std::uint16_t read16(std::uint16_t offset, bench::Micros) override
    {
        seen.emplace_back('R', offset);
        return 0x1234;
    }
};

TEST(IoBus, DevicesSeeOffsetsInTheirWindow)
{
    bench::IoBus bus;
    bus.set_kernel_mode(true);
    OffsetLog dev;
    bus.map(0x2F8, 8, dev, "uart");
    bus.map(0x3F8, 8, dev, "uart_again");
    EXPECT_EQ(bus.in8(0x2FA), 0x42);
    bus.out8(0x3FF, 0);
    EXPECT_EQ(bus.in16(0x3F8), 0x1234);     // one window: one word cycle
    EXPECT_EQ(bus.in16(0x2FF), 0xFF47);     // the high byte falls on nobody
    bus.map(0x300, 8, dev, "third");
    EXPECT_EQ(bus.in16(0x2FF), 0x4047);     // two windows: two byte cycles
    EXPECT_EQ(dev.seen, (std::vector<std::pair<char, unsigned>>{
                            {'r', 2}, {'w', 7}, {'R', 0}, {'r', 7}, {'r', 7}, {'r', 0}}));
    ASSERT_NE(bus.window_at(0x3FB), nullptr);
    EXPECT_EQ(bus.window_at(0x3FB)->name, "uart_again");
    EXPECT_EQ(bus.window_at(0x2F7), nullptr);
}

} // namespace
