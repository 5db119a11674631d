// Black-box runs of psload-sim (and of the real psload where the kernel
// refuses port access): the whole program, its two streams, its exit
// status, and what the simulated device got.
#include "run.h"
#include "ttf_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sstream>
#include <string>
#include <sys/io.h>
#include <vector>

namespace {

using testutil::RunResult;

RunResult sim(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"psload"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run_program(PSLOAD_SIM_PATH, argv);
}

using testutil::report_value;

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        v.push_back(line);
    return v;
}

// Drops the time stamp in front of a trace line.
std::string untimed(const std::string &line)
{
    return line.substr(line.find(' ') + 1);
}

std::string as_string(const std::vector<unsigned char> &v)
{
    return std::string(v.begin(), v.end());
}

class PsloadSim : public testing::Test {
protected:
    std::string file(long long count, bool crlf = false, unsigned series = 3)
    {
        ttfgen::Layout l;
        l.count = count;
        l.crlf = crlf;
        l.series = series;
        return dir.write("config.ttf", ttfgen::text(l));
    }
    std::string path(const std::string &name) const { return dir.path() + "/" + name; }
    testutil::TempDir dir;
};

TEST_F(PsloadSim, GoodFileConfiguresTheDeviceWithTheFilesBytes)
{
    std::string ttf = file(500);
    RunResult r = sim({"--sim-report=" + path("report"), "--sim-received=" + path("got"),
                       "--sim-trace=" + path("trace"), ttf});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    std::string report = testutil::read_file(path("report"));
    EXPECT_EQ(report_value(report, "device_state"), "user-mode");
    EXPECT_EQ(report_value(report, "expected_bits"), "4000");
    EXPECT_EQ(report_value(report, "ports_held"), "none");
    EXPECT_EQ(report_value(report, "data_register"), "0x00");
    EXPECT_EQ(report_value(report, "control_register"), "0x05");
    EXPECT_EQ(report_value(report, "violations"), "0");
    EXPECT_EQ(testutil::read_file(path("got")), as_string(ttfgen::values(500, 3)));

    std::vector<std::string> trace = lines(testutil::read_file(path("trace")));
    ASSERT_GT(trace.size(), 4u);
    EXPECT_EQ(trace[0], "0 ioperm 0x378 3 1 -> 0");
    EXPECT_EQ(trace[1], "0 ioperm 0x80 1 1 -> 0");
    EXPECT_EQ(untimed(trace[2]), "out8 0x37A 0x5");
    EXPECT_EQ(untimed(trace[trace.size() - 2]), "ioperm 0x378 3 0 -> 0");
    EXPECT_EQ(untimed(trace.back()), "ioperm 0x80 1 0 -> 0");
}

TEST_F(PsloadSim, ReportShowsNoDeviceWhenNothingIsConnected)
{
    std::string ttf = file(50);
    for (const char *fault : {"--sim-fault=no-cable", "--sim-fault=no-device"}) {
        RunResult r = sim({fault, "--sim-report=" + path("report"), ttf});
        SCOPED_TRACE(fault);
        EXPECT_EQ(r.exit_code, 0);
        std::string report = testutil::read_file(path("report"));
        EXPECT_EQ(report_value(report, "device_state"), "not-connected");
        EXPECT_EQ(report_value(report, "nstatus"), "not-connected");
        EXPECT_EQ(report_value(report, "conf_done"), "not-connected");
        EXPECT_EQ(report_value(report, "received_bits"), "0");
    }
}

TEST_F(PsloadSim, LargeFileInBothReadModes)
{
    const long long count = 450000;  // 3.6 Mbit
    ttfgen::Layout l;
    l.count = count;
    l.crlf = true;
    l.series = 11;
    std::string ttf = path("big.ttf");
    std::FILE *f = std::fopen(ttf.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ttfgen::write(f, l), 0);
    std::fclose(f);
    ASSERT_GE(testutil::read_file(ttf).size(), 1800000u);
    std::string want = as_string(ttfgen::values(count, 11));

    for (const char *mode : {"0", "1"}) {
        RunResult r = sim({"--sim-report=" + path("report"), "--sim-received=" + path("got"), "-mf", mode, ttf});
        EXPECT_EQ(r.exit_code, 0) << mode;
        EXPECT_EQ(r.err, "") << mode;
        std::string report = testutil::read_file(path("report"));
        EXPECT_EQ(report_value(report, "device_state"), "user-mode") << mode;
        EXPECT_EQ(report_value(report, "received_bits"), "3600000") << mode;
        EXPECT_TRUE(testutil::read_file(path("got")) == want) << "mode " << mode << ": bytes differ";
    }
}

struct Failure {
    const char *name;
    std::vector<std::string> sim_args;
    std::vector<std::string> psload_args;  // before the file
    const char *err;
    bool success;
};

const char *const kHandshake = "init_sequense_direct(): Timeout, nSTATUS no response (Rise edge).\n"
                               "Handshake Error, Check cable connection.\n";
const char *const kMemTimeout = "data_download_from_mem_direct(): Timeout, CONF_DONE no response.\n"
                                "Download Error, Check data and parallel port.\n";
const char *const kFileTimeout = "data_download_from_file_direct(): Timeout, CONF_DONE no response.\n"
                                 "Download Error, Check data and parallel port.\n";

class FailureMessages : public PsloadSim, public testing::WithParamInterface<Failure> {};

TEST_P(FailureMessages, OnStandardErrorWithExitStatusZero)
{
    const Failure &c = GetParam();
    std::vector<std::string> args = c.sim_args;
    args.push_back("-v");
    args.insert(args.end(), c.psload_args.begin(), c.psload_args.end());
    args.push_back(file(300));
    RunResult r = sim(args);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, c.err);
    const char *verdict = c.success ? "Download Success.\n" : "*Download Fail.\n";
    EXPECT_NE(r.out.find(verdict), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Bench, FailureMessages,
    testing::Values(
        Failure{"not_privileged", {"--sim-unprivileged"}, {}, "I/O Port Error, Check parallel port I/O address.\n",
                false},
        Failure{"no_ioperm",
                {"--sim-unprivileged=ENOSYS"},
                {},
                "I/O Port Error, Check parallel port I/O address.\nError\nError\n",
                false},
        Failure{"dummy_port_refused", {"--sim-refuse=0x80"}, {}, "I/O Port Error, Check dummy port I/O address.\n",
                false},
        Failure{"no_cable", {"--sim-fault=no-cable"}, {}, kHandshake, false},
        Failure{"no_device", {"--sim-fault=no-device"}, {"-mf", "1"}, kHandshake, false},
        Failure{"nstatus_slow", {"--sim-fault=nstatus-slow"}, {}, kHandshake, false},
        Failure{"nstatus_stuck_low",
                {"--sim-fault=nstatus-stuck-low"},
                {},
                "init_port_direct(): Error, nSTATUS illigal value.\n"
                "init_sequense_direct(): Timeout, nSTATUS no response (Rise edge).\n"
                "Handshake Error, Check cable connection.\n",
                false},
        Failure{"nothing_at_that_port",
                {"--sim-lpt=0x278"},
                {},
                "init_port_direct(): Error, nSTATUS illigal value.\n"
                "init_sequense_direct(): Timeout, nSTATUS no response (Rise edge).\n"
                "Handshake Error, Check cable connection.\n",
                false},
        Failure{"conf_done_never_memory", {"--sim-fault=conf-done-never"}, {}, kMemTimeout, false},
        Failure{"conf_done_never_file", {"--sim-fault=conf-done-never"}, {"-mf", "1"}, kFileTimeout, false},
        Failure{"error_at_bit_memory", {"--sim-fault=error-at-bit:100"}, {}, kMemTimeout, false},
        Failure{"error_at_bit_file", {"--sim-fault=error-at-bit:0"}, {"-mf", "1"}, kFileTimeout, false},
        Failure{"device_wants_more_bits", {"--sim-bits=2401"}, {"-w", "1"}, kMemTimeout, false},
        Failure{"conf_done_nstatus_low_file", {"--sim-fault=conf-done-nstatus-low"}, {"-mf", "1"}, kFileTimeout,
                false},
        Failure{"conf_done_nstatus_low_memory", {"--sim-fault=conf-done-nstatus-low"}, {}, "", true},
        Failure{"lp_driver", {}, {"-md", "1"}, "This download mode is not supported yet.\n", false},
        Failure{"bad_access_mode", {}, {"-md", "2"}, "download_data(): Mode(Port access) Error\n", false},
        Failure{"bad_file_mode",
                {},
                {"-mf", "7"},
                "file_read() : Mode (File read) Error\n"
                "Mode (File read) Error.\n"
                "Download Error, Check data and parallel port.\n"
                "settle_all() : Mode (File read) Error\n",
                false}),
    [](const testing::TestParamInfo<Failure> &i) { return std::string(i.param.name); });

class Stopped : public PsloadSim, public testing::WithParamInterface<std::pair<const char *, int>> {};

TEST_P(Stopped, BySignalLeavesThePortIdleAndReleased)
{
    std::string ttf = file(2000);
    RunResult r = sim({std::string("--sim-signal=") + GetParam().first + "@5000", "--sim-trace=" + path("trace"),
                       "--sim-report=" + path("report"), "-b", ttf});
    EXPECT_EQ(r.signal, GetParam().second);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> trace = lines(testutil::read_file(path("trace")));
    ASSERT_GE(trace.size(), 5000u + 4u);
    EXPECT_EQ(trace.size(), 2u + 5000u + 2u + 2u);
    EXPECT_EQ(untimed(trace[trace.size() - 4]), "out8 0x378 0x0");
    EXPECT_EQ(untimed(trace[trace.size() - 3]), "out8 0x37A 0x5");
    EXPECT_EQ(untimed(trace[trace.size() - 2]), "ioperm 0x378 3 0 -> 0");
    EXPECT_EQ(untimed(trace.back()), "ioperm 0x80 1 0 -> 0");
    std::string report = testutil::read_file(path("report"));
    EXPECT_EQ(report_value(report, "ports_held"), "none");
    EXPECT_EQ(report_value(report, "device_state"), "receiving");
}

INSTANTIATE_TEST_SUITE_P(Signals, Stopped,
                         testing::Values(std::make_pair("INT", SIGINT), std::make_pair("TERM", SIGTERM),
                                         std::make_pair("HUP", SIGHUP)),
                         [](const testing::TestParamInfo<std::pair<const char *, int>> &i) {
                             return std::string(i.param.first);
                         });

// The device checks the design it receives.  By default it wants what the
// data file says (read by the bench, whatever the layout); psload's
// sequential sender reads fixed 92-value lines, so a 16-per-line file sent
// that way goes wrong from its 17th value on, and the device says so.
class DesignCheck : public PsloadSim {
protected:
    std::string layout_file(const std::string &name, int per_line, long long count = 300)
    {
        ttfgen::Layout l;
        l.count = count;
        l.per_line = per_line;
        l.series = 3;
        return dir.write(name, ttfgen::text(l));
    }
    RunResult run(std::vector<std::string> args)
    {
        args.insert(args.begin(), "--sim-report=" + path("report"));
        RunResult r = sim(args);
        report = testutil::read_file(path("report"));
        return r;
    }
    std::string report;
};

TEST_F(DesignCheck, EveryLayoutThatPsloadReadsRightConfiguresTheDevice)
{
    for (const auto &c : std::vector<std::pair<int, std::vector<std::string>>>{
             {92, {}}, {92, {"-mf", "1"}}, {16, {}}}) {
        std::vector<std::string> args = c.second;
        args.insert(args.begin(), "-v");
        args.push_back(layout_file("f.ttf", c.first));
        RunResult r = run(args);
        EXPECT_EQ(r.err, "") << c.first;
        EXPECT_NE(r.out.find("Download Success.\n"), std::string::npos) << c.first;
        EXPECT_EQ(report_value(report, "device_state"), "user-mode") << c.first;
        EXPECT_EQ(report_value(report, "first_difference_byte"), "(missing)") << c.first;
    }
}

TEST_F(DesignCheck, SequentialModeOnTheVendorLayoutFailsAtItsSeventeenthValue)
{
    std::string ttf = layout_file("vendor.ttf", 16);
    RunResult r = run({"-v", "-mf", "1", ttf});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kFileTimeout);
    EXPECT_NE(r.out.find("*Download Fail.\n"), std::string::npos);
    EXPECT_EQ(report_value(report, "device_state"), "error");
    EXPECT_EQ(report_value(report, "nstatus"), "low");
    EXPECT_EQ(report_value(report, "conf_done"), "low");
    EXPECT_EQ(report_value(report, "first_difference_byte"), "16");
    std::vector<unsigned char> want = ttfgen::values(300, 3);
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", want[16]);
    EXPECT_EQ(report_value(report, "expected_byte"), hex);
    EXPECT_NE(report_value(report, "received_byte"), hex);
}

TEST_F(DesignCheck, AFileWhoseValuesFailToLoadEndsInTheDownloadFailure)
{
    RunResult r = run({"-v", dir.write("bad.ttf", "  1,  7 ,  3,  4\n")});
    EXPECT_NE(r.out.find("Error unexpcted data.\n"), std::string::npos);
    EXPECT_NE(r.out.find("*Download Fail.\n"), std::string::npos);
    EXPECT_EQ(r.err, kMemTimeout);
    EXPECT_EQ(report_value(report, "first_difference_byte"), "1");
    EXPECT_EQ(report_value(report, "expected_byte"), "0x07");
    EXPECT_EQ(report_value(report, "received_byte"), "0x00");
}

TEST_F(DesignCheck, TheDesignCanComeFromAnotherFileOrRawBytes)
{
    std::string ttf = layout_file("f.ttf", 92);
    std::vector<unsigned char> bytes = ttfgen::values(300, 3);
    std::string raw = dir.write("design.bin", as_string(bytes));
    RunResult r = run({"--sim-design-raw=" + raw, "-v", ttf});
    EXPECT_NE(r.out.find("Download Success.\n"), std::string::npos) << r.err;
    EXPECT_EQ(report_value(report, "expected_bits"), "2400");

    bytes[299] ^= 0x80;
    raw = dir.write("design.bin", as_string(bytes));
    r = run({"--sim-design-raw=" + raw, "-v", ttf});
    EXPECT_EQ(r.err, kMemTimeout);
    EXPECT_EQ(report_value(report, "first_difference_byte"), "299");
    EXPECT_EQ(report_value(report, "first_difference_bit"), "7");

    r = run({"--sim-design=" + layout_file("other.ttf", 16, 301), "-v", ttf});
    EXPECT_EQ(r.err, kMemTimeout) << "one value short of the design: CONF_DONE never rises";
    EXPECT_EQ(report_value(report, "device_state"), "receiving");
}

TEST_F(DesignCheck, ALengthOnlyDeviceCountsBitsAndTheOptionsExcludeEachOther)
{
    std::string ttf = layout_file("vendor.ttf", 16);
    RunResult r = run({"--sim-bits=2400", "-mf", "1", "-v", ttf});
    EXPECT_NE(r.out.find("Download Success.\n"), std::string::npos);

    r = sim({"--sim-bits=8", "--sim-design=" + ttf, ttf});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "psload-sim: --sim-bits and --sim-design exclude each other\n");
    r = sim({"--sim-design=" + path("missing.ttf"), ttf});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "psload-sim: cannot read the design " + path("missing.ttf") + ": No such file or directory\n");
}

TEST_F(PsloadSim, BenchOptionsAreCheckedAndTakenOnlyBeforeTheDataFile)
{
    RunResult r = sim({"--sim-nonsense=1", file(10)});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("psload-sim: bad bench option --sim-nonsense=1\n", 0), 0u);

    // After the data file a --sim- word is psload's: one argument too many.
    r = sim({"-v", file(10), "--sim-report=x"});
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_EQ(r.err.rfind("Usage is psload ", 0), 0u) << r.err;
}

// The refusal that this machine's kernel gives: what the test process gets
// from ioperm itself.  0 when access would be granted.
int refusal_here()
{
    if (ioperm(0x378, 3, 1) == 0) {
        ioperm(0x378, 3, 0);
        return 0;
    }
    return errno;
}

class RealPsload : public PsloadSim, public testing::WithParamInterface<const char *> {};

// The native build runs as it is; the 32-bit one natively or under
// qemu-i386, whichever this machine offers.
RunResult run_real(const std::string &program, const std::vector<std::string> &argv)
{
    return program == PSLOAD_PATH ? testutil::run_program(program, argv) : testutil::run_i386(program, argv);
}

TEST_P(RealPsload, RefusedPortAccessIsReportedAndNoPortIsTouched)
{
    std::string program = GetParam();
    if (program != PSLOAD_PATH) {
        std::string why = testutil::i386_skip_reason(program);
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    int refusal = refusal_here();
    if (refusal == 0)
        GTEST_SKIP() << "port access is granted here: not touching real hardware from a test";
    bool release_refused = ioperm(0x378, 3, 0) != 0;
    std::string ttf = file(50);
    std::string want = "I/O Port Error, Check parallel port I/O address.\n";
    if (release_refused)
        want += "Error\nError\n";

    RunResult r = run_real(program, {"psload", ttf});
    EXPECT_EQ(r.signal, 0) << "a port access without permission ends in SIGSEGV";
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, want);
    EXPECT_EQ(r.out, "");

    // psload-sim with the same refusal writes the same bytes.
    for (std::vector<std::string> args : {std::vector<std::string>{"-v", "-b", ttf},
                                          std::vector<std::string>{"-v", "-mf", "1", "-w", "3", ttf},
                                          std::vector<std::string>{"-v", "-md", "1", ttf},
                                          std::vector<std::string>{"-p", "9", ttf}}) {
        std::vector<std::string> argv = {"psload"};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult real = run_real(program, argv);
        std::vector<std::string> sim_args = {refusal == ENOSYS ? "--sim-unprivileged=ENOSYS"
                                                               : "--sim-unprivileged=EPERM"};
        sim_args.insert(sim_args.end(), args.begin(), args.end());
        RunResult simulated = sim(sim_args);
        EXPECT_EQ(simulated.out, real.out) << args[1];
        EXPECT_EQ(simulated.err, real.err) << args[1];
        EXPECT_EQ(simulated.exit_code, real.exit_code) << args[1];
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, RealPsload, testing::Values(PSLOAD_PATH, PSLOAD32_PATH),
                         [](const testing::TestParamInfo<const char *> &i) {
                             return std::string(i.index == 0 ? "native" : "x86_32");
                         });

} // namespace
