// psload-sim's clock, run whole: the access times in every time stamp, the
// profiles' verdicts on psload's fixed timing, the slow cable and the -w the
// report names, and runs without a timing option as they always were.
#include "run.h"
#include "ttf_writer.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testutil::RunResult;

RunResult psload_sim(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"psload-sim"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run_program(PSLOAD_SIM_PATH, argv);
}

// The report's lines by their first word; the timing lines by their second.
std::map<std::string, std::string> report_of(const std::string &path)
{
    std::map<std::string, std::string> r;
    std::istringstream in(testutil::read_file(path));
    for (std::string line; std::getline(in, line);) {
        std::size_t sp = line.find(' ');
        std::string key = line.substr(0, sp), rest = line.substr(sp + 1);
        if (key == "timing") {
            sp = rest.find(' ');
            key = "timing " + rest.substr(0, sp);
            rest = rest.substr(sp + 1);
        }
        r[key] = rest;
    }
    return r;
}

std::string state_of(const std::map<std::string, std::string> &r, const std::string &limit)
{
    const std::string &t = r.at("timing " + limit);
    return t.substr(0, t.find(' '));
}

struct Fixture : ::testing::Test {
    testutil::TempDir dir;
    std::string ttf;
    void SetUp() override
    {
        ttfgen::Layout l;
        l.count = 300;  // two frames and more
        ttf = dir.write("d.ttf", ttfgen::text(l));
    }
    std::string path(const char *name) { return dir.path() + "/" + name; }
};

using PsloadSimClock = Fixture;

TEST_F(PsloadSimClock, WithoutATimingOptionEveryRecordIsAsItWas)
{
    // The lab PC's own times given explicitly change no time stamp: only
    // the report's timing section is added.
    RunResult plain = psload_sim({"--sim-trace=" + path("t1"), "--sim-vcd=" + path("v1"),
                                  "--sim-report=" + path("r1"), "-v", ttf});
    RunResult timed = psload_sim({"--sim-access-ns=1000:1000", "--sim-trace=" + path("t2"),
                                  "--sim-vcd=" + path("v2"), "--sim-report=" + path("r2"), "-v", ttf});
    EXPECT_EQ(plain.out, timed.out);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(testutil::read_file(path("t1")), testutil::read_file(path("t2")));
    EXPECT_EQ(testutil::read_file(path("v1")), testutil::read_file(path("v2")));
    const std::string r1 = testutil::read_file(path("r1")), r2 = testutil::read_file(path("r2"));
    EXPECT_EQ(r1.find("timing"), std::string::npos) << r1;
    ASSERT_EQ(r2.rfind(r1, 0), 0u) << r2;
    EXPECT_EQ(r2.substr(r1.size(), 17), "timing_profile A\n");
    EXPECT_NE(testutil::read_file(path("v1")).find("$timescale 1us $end"), std::string::npos);
}

TEST_F(PsloadSimClock, TimeStampsFollowTheAccessTimes)
{
    RunResult r = psload_sim({"--sim-access-ns=300:700", "--sim-profile=B", "--sim-trace=" + path("t"),
                              "--sim-vcd=" + path("v"), "--sim-report=" + path("r"), ttf});
    std::istringstream trace(testutil::read_file(path("t")));
    std::vector<std::string> stamps;
    for (std::string line; std::getline(trace, line) && stamps.size() < 8;)
        stamps.push_back(line.substr(0, line.find(' ')));
    // ioperm x2 (no time), control 0x05 at 0, status read at 0.3, data at
    // 0.6, control 0x01 at 0.9, the delay write at 1.2, control 0x05 at 1.9.
    const std::vector<std::string> want = {"0.000", "0.000", "0.000", "0.300", "0.600", "0.900", "1.200", "1.900"};
    EXPECT_EQ(stamps, want) << testutil::read_file(path("t")).substr(0, 400);
    std::map<std::string, std::string> rep = report_of(path("r"));
    EXPECT_EQ(rep.at("nconfig_low_us"), "1.000");  // one access and one delay write
    EXPECT_NE(testutil::read_file(path("v")).find("$timescale 1ns $end"), std::string::npos);
    EXPECT_NE(testutil::read_file(path("v")).find("\n#1900\n"), std::string::npos);
    EXPECT_EQ(rep.at("timing_access_ns"), "300");
    EXPECT_EQ(rep.at("timing_delay_write_ns"), "700");
}

TEST_F(PsloadSimClock, ProfileAPassesAtTheLabPcsSpeedAndFailsTcfgAtAFasterPort)
{
    RunResult lab = psload_sim({"--sim-profile=A", "--sim-report=" + path("r1"), "-v", ttf});
    EXPECT_NE(lab.out.find("Download Success."), std::string::npos);
    std::map<std::string, std::string> r1 = report_of(path("r1"));
    EXPECT_EQ(r1.at("timing tCFG"), "ok min=2000ns given=2000ns margin=0ns");
    EXPECT_EQ(r1.at("timing_violations"), "0");
    EXPECT_EQ(r1.at("device_state"), "user-mode");
    EXPECT_EQ(r1.at("timing_smallest_wait"), "0");

    RunResult fast = psload_sim({"--sim-access-ns=300", "--sim-report=" + path("r2"), "-v", "-w", "50", ttf});
    EXPECT_NE(fast.err.find("Handshake Error, Check cable connection."), std::string::npos) << fast.err;
    std::map<std::string, std::string> r2 = report_of(path("r2"));
    EXPECT_EQ(r2.at("timing tCFG"), "violated min=2000ns given=600ns margin=-1400ns");
    EXPECT_EQ(r2.at("timing_smallest_wait"), "none (-w does not move tCFG)");
    EXPECT_EQ(r2.at("device_state"), "error");
    // The pulse is one access and one delay write: 999 + 1001 ns is 2 us
    // still, 999 + 1000 ns a nanosecond short.
    RunResult edge = psload_sim({"--sim-access-ns=1000:1000", "--sim-profile=A", ttf});
    EXPECT_EQ(edge.err, "");
    RunResult just = psload_sim({"--sim-access-ns=999:1001", "--sim-report=" + path("r3"), ttf});
    EXPECT_EQ(just.err, "");
    RunResult under = psload_sim({"--sim-access-ns=999:1000", "--sim-report=" + path("r4"), ttf});
    EXPECT_NE(under.err.find("Handshake Error"), std::string::npos) << under.err;
    EXPECT_EQ(report_of(path("r4")).at("timing tCFG"), "violated min=2000ns given=1999ns margin=-1ns");
}

TEST_F(PsloadSimClock, ProfilesBAndCReleaseNStatusAfterPsloadsPoll)
{
    for (const char *p : {"B", "C"}) {
        SCOPED_TRACE(p);
        RunResult r = psload_sim({std::string("--sim-profile=") + p, "--sim-report=" + path("r"), ttf});
        EXPECT_EQ(r.err, "init_sequense_direct(): Timeout, nSTATUS no response (Rise edge).\n"
                         "Handshake Error, Check cable connection.\n");
        std::map<std::string, std::string> rep = report_of(path("r"));
        EXPECT_EQ(state_of(rep, "nSTATUS"), "violated");
        EXPECT_NE(rep.at("timing nSTATUS").find("polled=101000ns"), std::string::npos) << rep.at("timing nSTATUS");
        EXPECT_EQ(rep.at("timing_smallest_wait"), "none (-w does not move nSTATUS)");
    }
    // B at its earliest release: the poll finds nSTATUS, but the first DCLK
    // comes before tCF2CK: wrong bits, bad data.  The -w the report names
    // cures it; one less does not.
    RunResult early = psload_sim({"--sim-profile=B", "--sim-nstatus-delay=best", "--sim-report=" + path("r"), ttf});
    EXPECT_NE(early.err.find("CONF_DONE no response"), std::string::npos) << early.err;
    std::map<std::string, std::string> rep = report_of(path("r"));
    EXPECT_EQ(state_of(rep, "tCF2CK"), "violated");
    EXPECT_EQ(rep.at("first_difference_byte"), "0");
    const std::string w = rep.at("timing_smallest_wait");
    EXPECT_EQ(w, "182");
    EXPECT_EQ(psload_sim({"--sim-profile=B", "--sim-nstatus-delay=best", "-w", w, ttf}).err, "");
    EXPECT_NE(psload_sim({"--sim-profile=B", "--sim-nstatus-delay=best", "-w", "181", ttf}).err, "");
}

TEST_F(PsloadSimClock, ASlowCableFailsAtWaitZeroAndPassesAtTheWaitTheReportNames)
{
    for (const char *mode : {"0", "1"}) {
        SCOPED_TRACE(std::string("-mf ") + mode);
        RunResult slow = psload_sim({"--sim-cable-settle=2500", "--sim-report=" + path("r"), "-mf", mode, ttf});
        EXPECT_NE(slow.err.find("Timeout, CONF_DONE no response.\nDownload Error, Check data and parallel port.\n"),
                  std::string::npos)
            << slow.err;
        std::map<std::string, std::string> rep = report_of(path("r"));
        EXPECT_EQ(rep.at("device_state"), "error");
        EXPECT_EQ(state_of(rep, "tDSU"), "violated");
        EXPECT_EQ(rep.at("first_difference_byte"), "0");
        // Half periods of 1 us plus 1 us a wait: 1.5 us of data setup missing.
        const std::string w = rep.at("timing_smallest_wait");
        EXPECT_EQ(w, "2");
        RunResult cured = psload_sim({"--sim-cable-settle=2500", "--sim-report=" + path("r"), "-mf", mode, "-w", w, ttf});
        EXPECT_EQ(cured.err, "");
        EXPECT_EQ(report_of(path("r")).at("device_state"), "user-mode");
        EXPECT_EQ(report_of(path("r")).at("timing_smallest_wait"), w);
        RunResult less = psload_sim({"--sim-cable-settle=2500", "-mf", mode, "-w", "1", ttf});
        EXPECT_NE(less.err, "");
    }
}

TEST_F(PsloadSimClock, TooFewClosingClocksForTheProfileAreSuccessForPsloadButNoUserMode)
{
    // psload gives 10 closing clocks; a device asking 11 stays initialising.
    RunResult r = psload_sim({"--sim-profile=A", "--sim-init-clocks=11", "--sim-report=" + path("r"), "-v", ttf});
    EXPECT_NE(r.out.find("Download Success."), std::string::npos);
    std::map<std::string, std::string> rep = report_of(path("r"));
    EXPECT_EQ(rep.at("device_state"), "initializing");
    EXPECT_EQ(rep.at("timing closing_clocks"), "violated min=11 given=10 margin=-1");
}

} // namespace
