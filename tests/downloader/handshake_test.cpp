// Port access, the configuration start and the port's restore, compared
// access by access with the bench's trace.
#include "download_fixture.h"

#include <cerrno>

namespace {

using bench::PermissionCall;

// A status register that answers a fixed series of values, the last one
// repeated: for poll limits to the exact read.
struct ScriptedStatus : bench::Device {
    std::vector<std::uint8_t> values;
    std::size_t next = 0;
    std::uint8_t read8(std::uint16_t, bench::Micros) override
    {
        std::uint8_t v = values[next < values.size() ? next : values.size() - 1];
        ++next;
        return v;
    }
    void write8(std::uint16_t, std::uint8_t, bench::Micros) override {}
};

const std::vector<PermissionCall> kGrantedAndReleased = {
    {0x378, 3, 1, 0, 0}, {0x80, 1, 1, 0, 0}, {0x378, 3, 0, 0, 0}, {0x80, 1, 0, 0, 0}};

std::vector<std::string> start_sequence()
{
    return {"ctrl=05", "stat?", "data=00", "ctrl=01", "dly=00", "ctrl=05"};
}

TEST_F(DownloadTest, WholeDownloadOfOneValueInExactOrder)
{
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 8;
    cfg.fpga.nstatus_delay = 1;
    auto &b = make_bench(cfg);
    set_image({0xA5});

    EXPECT_EQ(run_download(), 0);

    std::vector<std::string> want = start_sequence();
    want.push_back("stat?");
    append(want, repeat("dly=00", 5));
    for (int bit : {1, 0, 1, 0, 0, 1, 0, 1})
        append(want, {"ctrl=05", bit ? "data=01" : "data=00", "ctrl=04"});
    append(want, {"data=00", "stat?"});
    for (int k = 0; k < 10; ++k)
        append(want, {"ctrl=05", "dly=00", "ctrl=04"});
    append(want, {"ctrl=05", "data=00", "ctrl=05"});
    EXPECT_EQ(events(), want);
    EXPECT_EQ(io().permissions().calls(), kGrantedAndReleased);
    EXPECT_TRUE(io().permissions().violations().empty());
    EXPECT_TRUE(b.fpga().user_mode(io().now()));
    EXPECT_EQ(b.fpga().received(), std::vector<std::uint8_t>{0xA5});
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
}

// n failed polls are followed by 5 - n delay writes (none from 5 on).
class SettleRule : public DownloadTest, public testing::WithParamInterface<int> {};

TEST_P(SettleRule, FailedPollsAndDelayWritesMakeAtLeastFive)
{
    int n = GetParam();
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 8;
    cfg.fpga.nstatus_delay = static_cast<bench::Micros>(n + 1);
    make_bench(cfg);
    set_image({0x00});
    EXPECT_EQ(run_download(), 0);

    std::vector<std::string> want = start_sequence();
    append(want, repeat("stat?", n + 1));
    append(want, repeat("dly=00", 5 - n));
    append(want, {"ctrl=05", "data=00", "ctrl=04"});
    std::vector<std::string> got = events();
    got.resize(want.size());
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Polls, SettleRule, testing::Values(0, 1, 2, 3, 4, 5, 6, 40),
                         [](const testing::TestParamInfo<int> &i) { return "failed_polls_" + std::to_string(i.param); });

TEST_F(DownloadTest, HandshakeGivesUpAfterExactly101StatusReads)
{
    make_bench();
    ScriptedStatus st;
    st.values.assign(1 + 101, 0x7F);  // CONF_DONE high: not ready
    st.values[0] = 0x5F;
    st.values.push_back(0x5F);        // would be ready on the 102nd read
    io().map(kBase + 1, 1, st);
    set_image({1, 2, 3});

    EXPECT_EQ(run_download(), 1);

    std::vector<std::string> want = start_sequence();
    append(want, repeat("stat?", 101));
    append(want, {"data=00", "ctrl=05"});
    EXPECT_EQ(events(), want);
    EXPECT_EQ(err, "init_sequense_direct(): Timeout, nSTATUS no response (Rise edge).\n"
                   "Handshake Error, Check cable connection.\n");
    EXPECT_EQ(io().permissions().calls(), kGrantedAndReleased);
}

TEST_F(DownloadTest, HandshakeSucceedsOnTheLastAllowedRead)
{
    make_bench();
    ScriptedStatus st;
    st.values.assign(1 + 100, 0xFF);  // nSTATUS low
    st.values[0] = 0x5F;
    st.values.push_back(0x5F);        // ready on read 101
    io().map(kBase + 1, 1, st);
    set_image({1});

    run_download();

    std::vector<std::string> want = start_sequence();
    append(want, repeat("stat?", 101));
    append(want, {"ctrl=05", "data=01", "ctrl=04"});  // no delay writes after 100 failures
    std::vector<std::string> got = events();
    got.resize(want.size());
    EXPECT_EQ(got, want);
}

TEST_F(DownloadTest, DeviceAnsweringWithinOrPastThePollLimit)
{
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 8;
    cfg.fpga.nstatus_delay = 101;  // high at the 101st read
    make_bench(cfg);
    set_image({0x3C});
    EXPECT_EQ(run_download(), 0);
    EXPECT_EQ(err, "");

    SetUp();
    cfg.fpga.nstatus_delay = 102;
    make_bench(cfg);
    set_image({0x3C});
    EXPECT_EQ(run_download(), 1);
    EXPECT_NE(err.find("Handshake Error"), std::string::npos);
}

TEST_F(DownloadTest, VerboseInitialStatusLinesAndLowNStatusGoesOn)
{
    bench::FpgaBenchConfig cfg;
    cfg.fpga.start_configured = true;  // nSTATUS high, CONF_DONE high
    cfg.fpga.config_bits = 8;
    make_bench(cfg);
    set_image({9});
    status.verbose = 1;
    EXPECT_EQ(run_download(), 0);
    EXPECT_EQ(out, "Download to FPGA...\n"
                   "  Direct access I/O port.\n"
                   "  Initial status port value = 0x7F\n"
                   "  [ nSTATUS = High, CONF_DONE = High ]\n"
                   "  Data from memory...\n"
                   "Download Success.\n");

    // nSTATUS low at the start is reported, and the configuration start
    // still follows: its pulse is what clears a device left in error.
    SetUp();
    make_bench();
    ScriptedStatus st;
    st.values = {0xDF, 0xFF, 0x5F};  // low at the start, low once after the pulse, ready
    io().map(kBase + 1, 1, st);
    set_image({9});
    status.verbose = 1;
    run_download();
    EXPECT_NE(out.find("  Initial status port value = 0xDF\n  [ nSTATUS = Low, CONF_DONE = Low ]\n"),
              std::string::npos);
    EXPECT_EQ(err.rfind("init_port_direct(): Error, nSTATUS illigal value.\n", 0), 0u);
    EXPECT_EQ(err.find("Port Initialize Error"), std::string::npos);
    std::vector<std::string> want = start_sequence();
    append(want, {"stat?", "stat?"});
    append(want, repeat("dly=00", 4));
    std::vector<std::string> got = events();
    got.resize(want.size());
    EXPECT_EQ(got, want);
}

// The restore (data 0, then control 0x05) and the two releases come on
// every path on which the parallel port was granted.
struct Path {
    const char *name;
    void (*setup)(bench::FpgaBenchConfig &, bench::IoBus &);
    int file_read_mode;
    const char *err;
};

class RestoreOnEveryPath : public DownloadTest, public testing::WithParamInterface<Path> {};

TEST_P(RestoreOnEveryPath, PortIdleAndAccessGivenBack)
{
    const Path &p = GetParam();
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 16;
    p.setup(cfg, io());
    auto &b = make_bench(cfg);
    set_image({0x81, 0x18});
    status.file_read_mode = p.file_read_mode;
    run_download();
    EXPECT_EQ(err, p.err);
    std::vector<std::string> ev = events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], "data=00");
    EXPECT_EQ(ev.back(), "ctrl=05");
    EXPECT_EQ(b.port().control_register(), 0x05);
    EXPECT_EQ(b.port().data_register(), 0x00);
    const auto &calls = io().permissions().calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 2], (PermissionCall{0x378, 3, 0, 0, 0}));
    EXPECT_EQ(calls.back(), (PermissionCall{0x80, 1, 0, 0, 0}));
    EXPECT_FALSE(io().permissions().any_permitted());
    EXPECT_TRUE(io().permissions().violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RestoreOnEveryPath,
    testing::Values(
        Path{"success", [](bench::FpgaBenchConfig &, bench::IoBus &) {}, FILE_TO_MEMORY, ""},
        Path{"dummy_refused", [](bench::FpgaBenchConfig &, bench::IoBus &io) { io.permissions().refuse_range(0x80, 1); },
             FILE_TO_MEMORY, "I/O Port Error, Check dummy port I/O address.\n"},
        Path{"no_cable", [](bench::FpgaBenchConfig &c, bench::IoBus &) { c.cable = false; }, FILE_TO_MEMORY,
             "init_sequense_direct(): Timeout, nSTATUS no response (Rise edge).\n"
             "Handshake Error, Check cable connection.\n"},
        Path{"conf_done_never",
             [](bench::FpgaBenchConfig &c, bench::IoBus &) { c.fpga.fault = bench::FpgaFault::ConfDoneNeverRises; },
             FILE_TO_MEMORY,
             "data_download_from_mem_direct(): Timeout, CONF_DONE no response.\n"
             "Download Error, Check data and parallel port.\n"},
        Path{"bad_file_mode", [](bench::FpgaBenchConfig &, bench::IoBus &) {}, 7,
             "Mode (File read) Error.\nDownload Error, Check data and parallel port.\n"}),
    [](const testing::TestParamInfo<Path> &i) { return std::string(i.param.name); });

TEST_F(DownloadTest, RefusedParallelPortTouchesNoPortButStillReleases)
{
    make_bench();
    set_image({1});
    io().permissions().set_privileged(false, ENOSYS);
    status.verbose = 1;
    EXPECT_EQ(run_download(), 1);
    EXPECT_TRUE(io().trace().empty());
    EXPECT_EQ(err, "I/O Port Error, Check parallel port I/O address.\nError\nError\n");
    EXPECT_EQ(out, "Download to FPGA...\n  Direct access I/O port.\n*Download Fail.\n");
    const auto &calls = io().permissions().calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1], (PermissionCall{0x378, 3, 0, -1, ENOSYS}));
    EXPECT_EQ(calls[2], (PermissionCall{0x80, 1, 0, -1, ENOSYS}));

    // A kernel that has ioperm lets the unprivileged give access up: no "Error".
    SetUp();
    make_bench();
    set_image({1});
    io().permissions().set_privileged(false, EPERM);
    EXPECT_EQ(run_download(), 1);
    EXPECT_EQ(err, "I/O Port Error, Check parallel port I/O address.\n");
}

TEST_F(DownloadTest, AccessModesOtherThanDirectNeverTouchThePort)
{
    make_bench();
    set_image({1});
    status.verbose = 1;
    status.port_access_mode = LP_DRIVER;
    EXPECT_EQ(run_download(), 1);
    EXPECT_EQ(err, "This download mode is not supported yet.\n");
    EXPECT_EQ(out, "Download to FPGA...\n  Using lp driver.\n*Download Fail.\n");

    status.port_access_mode = 2;
    EXPECT_EQ(run_download(), 1);
    EXPECT_EQ(err, "download_data(): Mode(Port access) Error\n");
    EXPECT_EQ(out, "Download to FPGA...\n*Download Fail.\n");
    EXPECT_TRUE(io().trace().empty());
    EXPECT_TRUE(io().permissions().calls().empty());
}

TEST_F(DownloadTest, OtherPortAddressesAreUsedWhole)
{
    bench::FpgaBenchConfig cfg;
    cfg.lpt_base = 0x278;
    cfg.fpga.config_bits = 8;
    auto &b = make_bench(cfg);
    set_image({0x42});
    status.parallel_port_address = 0x278;
    EXPECT_EQ(run_download(), 0);
    EXPECT_TRUE(b.fpga().user_mode(io().now()));
    EXPECT_EQ(io().permissions().calls().front(), (PermissionCall{0x278, 3, 1, 0, 0}));
}

} // namespace
