// The bridge from QEMU's ppdev ioctls to the bench, driven as QEMU drives
// it: a copy of the data and control registers that passes a write on only
// when the value changes, starting at data 0xFF and control 0xCC.
#include "ppdev_bridge.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <sys/ioctl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>

#include "run.h"

namespace {

using bench::BridgeClock;
using bench::BridgeSettings;
using bench::PpdevBridge;

// QEMU's side of the port, as its pass-through mode works.
class QemuPort {
public:
    explicit QemuPort(PpdevBridge &bridge) : bridge_(bridge)
    {
        EXPECT_EQ(call(PPCLAIM, nullptr), 0);
        unsigned char s = 0;
        EXPECT_EQ(call(PPRSTATUS, &s), 0);
    }
    int call(unsigned long request, void *arg)
    {
        int err = 0;
        int r = bridge_.ioctl(request, arg, err);
        last_errno = err;
        return r;
    }
    void data(unsigned char v)
    {
        if (v != data_)
            call(PPWDATA, &v);
        data_ = v;
    }
    void control(unsigned char v)
    {
        if ((v | 0xC0) != control_)
            call(PPWCONTROL, &v);
        control_ = v | 0xC0;
    }
    unsigned char status()
    {
        unsigned char s = 0;
        call(PPRSTATUS, &s);
        return static_cast<unsigned char>(s & ~1u);
    }
    unsigned char read_data()
    {
        unsigned char d = 0;
        call(PPRDATA, &d);
        return d;
    }
    // A guest's session mark: a status read, then n + 1 data reads.
    void mark(unsigned n)
    {
        status();
        for (unsigned i = 0; i <= n; ++i)
            read_data();
    }
    int last_errno = 0;

private:
    PpdevBridge &bridge_;
    unsigned char data_ = 0xFF;
    unsigned char control_ = 0xCC;
};

// psload's download, as the guest's port accesses (no delay writes: QEMU
// answers port 0x80 itself).  True when the device was ready and CONF_DONE came.
bool download(QemuPort &p, const std::vector<std::uint8_t> &bytes)
{
    p.control(0x05);
    p.status();
    p.data(0);
    p.control(0x01);
    p.control(0x05);
    int polls = 0;
    while ((p.status() & 0xA0) != 0)
        if (++polls > 100)
            return false;
    for (std::uint8_t b : bytes)
        for (int i = 0; i < 8; ++i) {
            p.control(0x05);
            p.data((b >> i) & 1);
            p.control(0x04);
        }
    p.data(0);
    if (!(p.status() & 0x20))
        return false;
    for (int i = 0; i < 10; ++i) {
        p.control(0x05);
        p.control(0x04);
    }
    p.control(0x05);
    return true;
}


bench::SimOptions options(const std::string &words)
{
    bench::SimOptions o;
    std::string error;
    EXPECT_TRUE(bench::parse_bridge_options(words, o, error)) << error;
    return o;
}

std::map<std::string, std::string> lines(const std::string &report)
{
    std::map<std::string, std::string> m;
    size_t pos = 0;
    while (pos < report.size()) {
        size_t end = report.find('\n', pos);
        std::string l = report.substr(pos, end - pos);
        m[l.substr(0, l.find(' '))] = l.substr(l.find(' ') + 1);
        pos = end + 1;
    }
    return m;
}

// A real-time source the test moves by hand.
struct FakeTime {
    bench::Micros now = 1000;
    BridgeClock clock()
    {
        return BridgeClock([this] { return now; });
    }
};

TEST(PpdevBridge, PowersOnWithQemusRegisterCopy)
{
    FakeTime t;
    PpdevBridge bridge(BridgeSettings(), t.clock());
    EXPECT_EQ(bridge.bench().port().data_register(), 0xFF);
    EXPECT_EQ(bridge.bench().port().control_register(), 0xCC);
    QemuPort p(bridge);
    // A device waiting for data: nSTATUS high (BUSY bit 0), CONF_DONE low;
    // ACK, SELECT, ERROR float high; bit 0 as QEMU passes it, clear.
    EXPECT_EQ(p.status(), 0x5E);
    // The guest's first write of 0 to the data register arrives: QEMU's copy
    // says 0xFF.
    p.data(0);
    EXPECT_EQ(bridge.bench().port().data_register(), 0x00);
}

TEST(PpdevBridge, ADownloadThroughQemusIoctlsConfiguresTheDevice)
{
    FakeTime t;
    BridgeSettings s;
    testutil::TempDir dir;
    std::string design = dir.write("d.ttf", " 90,195,  1");
    s.defaults = options("--sim-design=" + design + " --sim-report=" + dir.path() + "/r.txt --sim-received=" +
                         dir.path() + "/b.bin");
    PpdevBridge bridge(s, t.clock());
    QemuPort p(bridge);
    ASSERT_TRUE(download(p, {90, 195, 1}));
    bridge.close();
    EXPECT_EQ(testutil::read_file(dir.path() + "/b.bin"), std::string("\x5A\xC3\x01", 3));
    auto r = lines(testutil::read_file(dir.path() + "/r.txt"));
    EXPECT_EQ(r["device_state"], "user-mode");
    EXPECT_EQ(r["received_bits"], "24");
    EXPECT_EQ(r["nconfig_pulses"], "1");
    EXPECT_EQ(r["dclk_rising_edges"], "34");
    EXPECT_EQ(r["data_register"], "0x00");
    EXPECT_EQ(r["control_register"], "0x05");
    EXPECT_EQ(r["delay_writes"], "not-seen");
    EXPECT_EQ(r["ports_held"], "not-seen");
    EXPECT_EQ(r["violations"], "not-seen");
    EXPECT_EQ(r.count("first_difference_byte"), 0u);
}

TEST(PpdevBridge, AMarkStartsTheNumberedSessionWithAFreshDevice)
{
    FakeTime t;
    testutil::TempDir dir;
    BridgeSettings s;
    s.defaults = options("--sim-bits=8 --sim-report=" + dir.path() + "/r0.txt");
    s.sessions[2] = options("--sim-bits=16 --sim-report=" + dir.path() + "/r2.txt --sim-received=" + dir.path() +
                            "/b2.bin");
    PpdevBridge bridge(s, t.clock());
    QemuPort p(bridge);
    ASSERT_TRUE(download(p, {0xA5}));
    EXPECT_EQ(bridge.session(), 0u);

    // One data read (as the kernel's probe makes) is no mark.
    p.read_data();
    p.status();
    EXPECT_EQ(bridge.session(), 0u);

    p.mark(2);
    // The session starts with the next access; session 0's report is then written.
    EXPECT_EQ(p.status(), 0x5E);
    EXPECT_EQ(bridge.session(), 2u);
    auto r0 = lines(testutil::read_file(dir.path() + "/r0.txt"));
    EXPECT_EQ(r0["device_state"], "user-mode");
    EXPECT_EQ(r0["received_bits"], "8");
    // The new device is fresh, and the port's registers went on as QEMU's did.
    EXPECT_EQ(bridge.bench().fpga().bits_received(), 0u);
    EXPECT_EQ(bridge.bench().port().control_register(), 0x05);
    EXPECT_EQ(bridge.bus().accesses(), 1u);
    ASSERT_TRUE(download(p, {0x01, 0x80}));
    bridge.finish();
    auto r2 = lines(testutil::read_file(dir.path() + "/r2.txt"));
    EXPECT_EQ(r2["expected_bits"], "16");
    EXPECT_EQ(r2["device_state"], "user-mode");
    EXPECT_EQ(testutil::read_file(dir.path() + "/b2.bin"), std::string("\x01\x80", 2));

    // A session with no options of its own takes the default ones.
    p.mark(7);
    p.status();
    EXPECT_EQ(bridge.session(), 7u);
    EXPECT_EQ(bridge.bench().fpga().config().config_bits, 8u);
}

TEST(PpdevBridge, DataReadsInARowCountTogetherWithoutAStatusReadBefore)
{
    FakeTime t;
    PpdevBridge bridge(BridgeSettings(), t.clock());
    QemuPort p(bridge);
    p.read_data();          // an earlier read ...
    for (int i = 0; i < 3; ++i)
        p.read_data();      // ... and a mark of session 2 without the status read
    p.status();
    EXPECT_EQ(bridge.session(), 3u);
}

TEST(PpdevBridge, TheClockIsOneMicrosecondPerAccessAndNeverBehindRealTime)
{
    FakeTime t;
    BridgeSettings s;
    s.defaults = options("--sim-bits=8 --sim-nstatus-delay=100");
    PpdevBridge bridge(s, t.clock());
    QemuPort p(bridge);

    // Without real time passing, nSTATUS rises after 100 accesses.
    p.control(0x01);
    p.control(0x05);
    int polls = 0;
    while ((p.status() & 0x80) != 0 && polls < 1000)
        ++polls;
    EXPECT_GE(polls, 98);
    EXPECT_LE(polls, 100);

    // The guest's time passing unseen (a sleep, delay writes to port 0x80)
    // counts: the clock is never behind the real time since the session began.
    p.control(0x01);
    p.control(0x05);
    const bench::Micros rising = bridge.bus().now();
    EXPECT_NE(p.status() & 0x80, 0);
    t.now = 1000 + rising + 100;
    EXPECT_EQ(p.status() & 0x80, 0);
}

TEST(PpdevBridge, AnswersOnlyWhatPpdevAnswers)
{
    FakeTime t;
    PpdevBridge bridge(BridgeSettings(), t.clock());
    int err = 0;
    unsigned char v = 0;
    EXPECT_EQ(bridge.ioctl(PPRSTATUS, &v, err), -1);
    EXPECT_EQ(err, EINVAL) << "before PPCLAIM";
    QemuPort p(bridge);
    int mode = IEEE1284_MODE_EPP | IEEE1284_ADDR;
    EXPECT_EQ(p.call(PPSETMODE, &mode), -1);
    EXPECT_EQ(p.last_errno, ENXIO);
    mode = IEEE1284_MODE_COMPAT;
    EXPECT_EQ(p.call(PPSETMODE, &mode), 0);
    EXPECT_EQ(p.call(PPGETTIME, &v), -1);
    EXPECT_EQ(p.last_errno, ENOTTY);
    // The data lines turned round: nothing on the cable drives them.
    int reverse = 1;
    EXPECT_EQ(p.call(PPDATADIR, &reverse), 0);
    EXPECT_EQ(p.read_data(), 0xFF);
    ppdev_frob_struct frob{0x01, 0x01};
    EXPECT_EQ(p.call(PPFCONTROL, &frob), 0);
    EXPECT_EQ(bridge.bench().port().control_register(), 0xCD);
}

TEST(BridgeOptions, PsloadSimsDeviceOptionsOnlyFromTheEnvironment)
{
    std::map<std::string, std::string> env = {
        {"LABTOOLS_PPBRIDGE_OPTIONS", "--sim-bits=80  --sim-fault=nstatus-stuck-low"},
        {"LABTOOLS_PPBRIDGE_OPTIONS_3", "--sim-fault=error-at-bit:12"},
    };
    auto lookup = [&env](const char *name) -> const char * {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
    };
    BridgeSettings s;
    std::string error;
    ASSERT_TRUE(bench::bridge_settings_from(lookup, s, error)) << error;
    EXPECT_EQ(s.defaults.bench.fpga.config_bits, 80u);
    EXPECT_EQ(s.defaults.bench.fpga.fault, bench::FpgaFault::NStatusStuckLow);
    ASSERT_EQ(s.sessions.count(3), 1u);
    EXPECT_EQ(s.sessions[3].bench.fpga.error_bit, 12u);

    for (const char *bad : {"--sim-signal=INT@5", "--sim-unprivileged", "--sim-refuse=0x378", "--sim-help",
                            "-v", "--sim-fault=melted", "--sim-design=/no/such/file",
                            "--sim-bits=8 --sim-design=/dev/null", "--sim-version"}) {
        env["LABTOOLS_PPBRIDGE_OPTIONS_9"] = bad;
        EXPECT_FALSE(bench::bridge_settings_from(lookup, s, error)) << bad;
        EXPECT_EQ(error.rfind("LABTOOLS_PPBRIDGE_OPTIONS_9: ", 0), 0u) << error;
    }
    // A design that is a folder cannot be read: an error with the reason,
    // not an exception out of the bridge (which would end QEMU).
    for (const char *bad : {"--sim-design=/", "--sim-design-raw=/"}) {
        env["LABTOOLS_PPBRIDGE_OPTIONS_9"] = bad;
        EXPECT_FALSE(bench::bridge_settings_from(lookup, s, error)) << bad;
        EXPECT_EQ(error, "LABTOOLS_PPBRIDGE_OPTIONS_9: cannot read the design /: Is a directory") << bad;
    }
}

} // namespace
