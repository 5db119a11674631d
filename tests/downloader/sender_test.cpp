// The two senders: clock cycles and delay writes per bit, bit order, the
// CONF_DONE wait, the closing clocks, the progress bar and the file
// sender's reading of the TTF layout.
#include "download_fixture.h"

#include <cstdint>

namespace {

// The events from the first clock of the data on (after the handshake's
// delay writes).
std::vector<std::string> after_handshake(const std::vector<std::string> &ev)
{
    std::size_t i = 6;  // init (3) + configuration start (3)
    while (i < ev.size() && (ev[i] == "stat?" || ev[i] == "dly=00"))
        ++i;
    return std::vector<std::string>(ev.begin() + static_cast<long>(i), ev.end());
}

std::vector<std::string> data_clocks(const std::vector<int> &values, int wait)
{
    std::vector<std::string> want;
    int w = wait > 0 ? wait : 0;
    for (int v : values)
        for (int b = 0; b < 8; ++b) {
            want.push_back("ctrl=05");
            want.push_back((v >> b) & 1 ? "data=01" : "data=00");
            want.insert(want.end(), static_cast<std::size_t>(w), "dly=00");
            want.push_back("ctrl=04");
            want.insert(want.end(), static_cast<std::size_t>(w), "dly=00");
        }
    return want;
}

std::vector<std::string> closing_clocks(int wait, bool memory_sender)
{
    std::vector<std::string> want;
    int w = wait > 0 ? wait : 0;
    for (int k = 0; k < 10; ++k) {
        want.push_back("ctrl=05");
        if (memory_sender)
            want.push_back("dly=00");
        want.insert(want.end(), static_cast<std::size_t>(w), "dly=00");
        want.push_back("ctrl=04");
        want.insert(want.end(), static_cast<std::size_t>(w), "dly=00");
    }
    want.push_back("ctrl=05");
    return want;
}

// A TTF text: 92 values a line, LF or CR LF, no comma after the last.
std::string ttf(const std::vector<int> &values, const char *eol = "\n")
{
    std::string s;
    for (std::size_t k = 0; k < values.size(); ++k) {
        char f[8];
        std::snprintf(f, sizeof f, "%3d", values[k]);
        s += f;
        if (k + 1 < values.size())
            s += ',';
        if ((k + 1) % 92 == 0 || k + 1 == values.size())
            s += eol;
    }
    return s;
}

std::vector<int> series(int n)
{
    std::vector<int> v;
    for (int k = 0; k < n; ++k)
        v.push_back((k * 89 + 17) & 0xFF);
    return v;
}

std::vector<std::uint8_t> bytes(const std::vector<int> &v)
{
    return std::vector<std::uint8_t>(v.begin(), v.end());
}

struct SenderCase {
    int mode;
    int wait;
};

class BothSenders : public DownloadTest, public testing::WithParamInterface<SenderCase> {
protected:
    // Loads values for the sender under test, with a device that needs them.
    bench::FpgaBench &prepare(const std::vector<int> &values, bench::FpgaConfig fpga = {})
    {
        if (fpga.config_bits == 0)
            fpga.config_bits = 8 * values.size();
        bench::FpgaBenchConfig cfg;
        cfg.fpga = fpga;
        auto &b = make_bench(cfg);
        status.wait_count = GetParam().wait;
        if (GetParam().mode == FILE_TO_MEMORY)
            set_image(values);
        else
            set_file(ttf(values), static_cast<int>(values.size()));
        return b;
    }
    bool memory() const { return GetParam().mode == FILE_TO_MEMORY; }
    const char *timeout_message() const
    {
        return memory() ? "data_download_from_mem_direct(): Timeout, CONF_DONE no response.\n"
                          "Download Error, Check data and parallel port.\n"
                        : "data_download_from_file_direct(): Timeout, CONF_DONE no response.\n"
                          "Download Error, Check data and parallel port.\n";
    }
};

TEST_P(BothSenders, ClocksEveryBitLsbFirstThenWaitsAndGivesClosingClocks)
{
    std::vector<int> values = {0x01, 0x80, 0x5A, 0xFF, 0x00};
    auto &b = prepare(values);
    EXPECT_EQ(run_download(), 0);
    std::vector<std::string> want = data_clocks(values, GetParam().wait);
    append(want, {"data=00", "stat?"});
    append(want, closing_clocks(GetParam().wait, memory()));
    append(want, {"data=00", "ctrl=05"});
    EXPECT_EQ(after_handshake(events()), want);
    EXPECT_EQ(b.fpga().received(), bytes(values));
    EXPECT_TRUE(b.fpga().user_mode(io().now()));
    EXPECT_EQ(err, "");
}

TEST_P(BothSenders, ConfDoneNeverHighEndsAfterElevenReadsWithoutClosingClocks)
{
    bench::FpgaConfig f;
    f.fault = bench::FpgaFault::ConfDoneNeverRises;
    std::vector<int> values = {7, 8};
    prepare(values, f);
    EXPECT_EQ(run_download(), 1);
    std::vector<std::string> want = data_clocks(values, GetParam().wait);
    want.push_back("data=00");
    append(want, repeat("stat?", 11));
    append(want, {"data=00", "ctrl=05"});
    EXPECT_EQ(after_handshake(events()), want);
    EXPECT_EQ(err, timeout_message());
}

TEST_P(BothSenders, ConfDoneWithNStatusLowIsSuccessOnlyForTheMemorySender)
{
    bench::FpgaConfig f;
    f.fault = bench::FpgaFault::ConfDoneWithNStatusLow;
    prepare({1, 2, 3}, f);
    int r = run_download();
    if (memory()) {
        EXPECT_EQ(r, 0);
        EXPECT_EQ(err, "");
    } else {
        EXPECT_EQ(r, 1);
        EXPECT_EQ(err, timeout_message());
    }
}

TEST_P(BothSenders, ConfigurationErrorHalfWayEndsInTheConfDoneTimeout)
{
    bench::FpgaConfig f;
    f.fault = bench::FpgaFault::ErrorAtBit;
    f.error_bit = 13;
    auto &b = prepare({1, 2, 3, 4}, f);
    EXPECT_EQ(run_download(), 1);
    EXPECT_EQ(err, timeout_message());
    EXPECT_EQ(b.fpga().bits_received(), 13u);
}

INSTANTIATE_TEST_SUITE_P(Senders, BothSenders,
                         testing::Values(SenderCase{FILE_TO_MEMORY, 0}, SenderCase{FILE_TO_MEMORY, 2},
                                         SenderCase{FILE_TO_MEMORY, -3}, SenderCase{FILE_SEQUENTIAL, 0},
                                         SenderCase{FILE_SEQUENTIAL, 1}, SenderCase{FILE_SEQUENTIAL, -1}),
                         [](const testing::TestParamInfo<SenderCase> &i) {
                             std::string w = i.param.wait < 0 ? "minus" + std::to_string(-i.param.wait)
                                                              : std::to_string(i.param.wait);
                             return std::string(i.param.mode == FILE_TO_MEMORY ? "memory" : "file") + "_wait_" + w;
                         });

// The CONF_DONE wait to the exact read, with a scripted status register.
struct StatusAfterData : bench::Device {
    std::vector<std::uint8_t> polls;  // answers after the handshake
    int reads = 0;
    std::uint8_t read8(std::uint16_t, bench::Micros) override
    {
        ++reads;
        if (reads <= 2)
            return 0x5F;  // initial status, then ready at the first poll
        std::size_t k = static_cast<std::size_t>(reads - 3);
        return polls[k < polls.size() ? k : polls.size() - 1];
    }
    void write8(std::uint16_t, std::uint8_t, bench::Micros) override {}
};

TEST_F(DownloadTest, ConfDoneSeenOnTheEleventhReadIsInTime)
{
    for (int mode : {FILE_TO_MEMORY, FILE_SEQUENTIAL}) {
        SetUp();
        make_bench();
        StatusAfterData st;
        st.polls.assign(10, mode == FILE_TO_MEMORY ? 0x5F : 0xFF);  // not done
        st.polls.push_back(0x7F);                                  // done
        io().map(kBase + 1, 1, st);
        if (mode == FILE_TO_MEMORY)
            set_image({3});
        else
            set_file(ttf({3}), 1);
        EXPECT_EQ(run_download(), 0) << mode;
        EXPECT_EQ(st.reads, 2 + 11);
    }
}

TEST_F(DownloadTest, MemorySenderWithoutImageSendsNothingAndFails)
{
    make_bench();
    count_data = 3;
    parallel_data = nullptr;
    status.progress_bar = 1;
    EXPECT_EQ(run_download(), 1);
    EXPECT_EQ(after_handshake(events()), (std::vector<std::string>{"data=00", "ctrl=05"}));
    EXPECT_EQ(err, "Download Error, Check data and parallel port.\n");
    EXPECT_EQ(out, "");
}

std::string bar_head()
{
    return "0        50       100 (%)\n"
           "|--------|---------|\n"
           "....................\n";
}

std::string bar_update(int j)
{
    return "\x1b[A" + std::string(static_cast<std::size_t>(j), 'o') + "\n";
}

TEST_F(DownloadTest, ProgressBarFortyValuesInMemory)
{
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 320;
    make_bench(cfg);
    set_image(series(40));
    status.progress_bar = 1;
    EXPECT_EQ(run_download(), 0);
    std::string want = bar_head();
    for (int j = 0; j < 20; ++j)
        want += bar_update(j);
    EXPECT_EQ(out, want);
    EXPECT_EQ(out.substr(out.size() - 23), "\x1b[Aooooooooooooooooooo\n");

    // 41 values: 328 bits, still step 16, so a 21st update at bit 320.
    SetUp();
    cfg.fpga.config_bits = 328;
    make_bench(cfg);
    set_image(series(41));
    status.progress_bar = 1;
    run_download();
    EXPECT_EQ(out, want + bar_update(20));
}

TEST_F(DownloadTest, ProgressBarThirtyValuesFromFile)
{
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 240;
    make_bench(cfg);
    set_file(ttf(series(30)), 30);
    status.progress_bar = 1;
    status.verbose = 1;
    EXPECT_EQ(run_download(), 0);
    std::string want = "Download to FPGA...\n"
                       "  Direct access I/O port.\n"
                       "  Initial status port value = 0x5F\n"
                       "  [ nSTATUS = High, CONF_DONE = Low ]\n"
                       "  Data from file sequential...\n" +
                       bar_head();
    for (int j = 0; j < 30; ++j)
        want += bar_update(j);
    want += "Download Success.\n";
    EXPECT_EQ(out, want);
}

TEST_F(DownloadTest, ProgressBarBelowTwentyUnitsDrawsOneUpdatePerUnit)
{
    bench::FpgaBenchConfig cfg;
    cfg.fpga.config_bits = 16;
    make_bench(cfg);
    set_image({1, 2});  // 16 bits: step 0
    status.progress_bar = 1;
    EXPECT_EQ(run_download(), 0);
    std::string want = bar_head();
    for (int j = 0; j < 16; ++j)
        want += bar_update(j);
    EXPECT_EQ(out, want);

    SetUp();
    cfg.fpga.config_bits = 40;
    make_bench(cfg);
    set_file(ttf({1, 2, 3, 4, 5}), 5);
    status.progress_bar = 1;
    EXPECT_EQ(run_download(), 0);
    want = bar_head();
    for (int j = 0; j < 5; ++j)
        want += bar_update(j);
    EXPECT_EQ(out, want);
}

TEST_F(DownloadTest, FileSenderFollowsTheLineLayout)
{
    for (const char *eol : {"\n", "\r\n"}) {
        for (int n : {92, 95, 184, 200}) {
            SetUp();
            bench::FpgaBenchConfig cfg;
            cfg.fpga.config_bits = 8ULL * static_cast<unsigned>(n);
            auto &b = make_bench(cfg);
            std::vector<int> values = series(n);
            std::string text = ttf(values, eol);
            set_file(text, n);
            EXPECT_EQ(run_download(), 0) << n;
            EXPECT_EQ(b.fpga().received(), bytes(values)) << n;
            EXPECT_EQ(b.fpga().dclk_rising_edges(), 8ULL * static_cast<unsigned>(n) + 10);
            if (n % 92 == 0) {  // a last full line's end is read as well
                EXPECT_EQ(std::ftell(status.input_file), static_cast<long>(text.size())) << n;
            }
        }
    }
}

TEST_F(DownloadTest, FileSenderAtTheEndOfTheFile)
{
    struct Case {
        std::string text;
        int count;
        std::vector<std::uint8_t> sent;
    };
    const Case cases[] = {
        {"", 1, {0}},                       // nothing read yet: 0
        {"  7", 3, {7, 7, 7}},              // the last field is repeated
        {"  1,  2,\r\n", 3, {1, 2, 0}},     // field read from a bare line end
        {" 12, 3x,abc", 3, {12, 3, 0}},     // no check of the field's text
    };
    for (const Case &c : cases) {
        SetUp();
        bench::FpgaBenchConfig cfg;
        cfg.fpga.config_bits = 8ULL * c.sent.size();
        auto &b = make_bench(cfg);
        set_file(c.text, c.count);
        EXPECT_EQ(run_download(), 0) << c.text;
        EXPECT_EQ(b.fpga().received(), c.sent) << c.text;
    }
}

} // namespace
