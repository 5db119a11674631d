// The port seam as the bench's owner plugs it in: the downloader reaches the
// bench registered at the time, and two benches live side by side in one
// process without seeing each other's cycles.
#include "download_fixture.h"
#include "portio.h"

namespace {

// A second bench PC next to the fixture's: its own bus, clock and devices.
TEST_F(DownloadTest, TwoBenchesInOneProcessEachSeeOnlyTheirDownload)
{
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 16;
    auto &first = make_bench(cfg);

    bench::IoBus other_bus;
    other_bus.set_tracing(true);
    bench::FpgaBenchConfig other_cfg = cfg;
    other_cfg.fpga.config_bits = 8;
    bench::FpgaBench other(other_bus, other_cfg);

    // The fixture's bus is behind the seam: the other bench sees nothing.
    set_image({0x12, 0x34});
    ASSERT_EQ(run_download(), 0);
    EXPECT_EQ(first.fpga().received(), (std::vector<std::uint8_t>{0x12, 0x34}));
    EXPECT_TRUE(first.fpga().user_mode(io().now()));
    EXPECT_EQ(other_bus.accesses(), 0u);
    EXPECT_TRUE(other.fpga().received().empty());
    const std::uint64_t first_accesses = io().accesses();
    const bench::Micros first_end = io().now();

    {
        // The other bus plugged in for a while: the next download is its own,
        // on its own clock, from time 0.
        bench::PortioConnection seam(other_bus);
        set_image({0xC3});
        ASSERT_EQ(run_download(), 0);
        EXPECT_EQ(other.fpga().received(), std::vector<std::uint8_t>{0xC3});
        EXPECT_TRUE(other.fpga().user_mode(other_bus.now()));
        EXPECT_EQ(other_bus.permissions().calls(), io().permissions().calls());
        EXPECT_EQ(other_bus.accesses(), other_bus.trace().size());
        EXPECT_GT(other_bus.accesses(), 0u);
    }
    EXPECT_EQ(io().accesses(), first_accesses);
    EXPECT_EQ(io().now(), first_end);
    EXPECT_EQ(first.fpga().received(), (std::vector<std::uint8_t>{0x12, 0x34}));

    // The connection gave the seam back to the fixture's bus.
    EXPECT_EQ(bench::portio_registered_context(), &io());
    EXPECT_EQ(bench::portio_registered_ops(), &bench::kIoBusPortOps);
}

// A port call with no bench registered is the test program's fault: it says
// so instead of inventing a bus.
TEST(PortSeamDeathTest, PortCallWithNothingRegisteredAborts)
{
    EXPECT_DEATH(
        {
            bench::portio_register(nullptr, nullptr);
            port_outb(0x378, 1);
        },
        "port_outb with no bench registered");
}

} // namespace
