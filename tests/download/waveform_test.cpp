// Waveforms of the bench: the VCD writer, and psload-sim's VCD of the
// configuration cable read back by our own reader and by real viewers'
// tools (GTKWave's vcd2fst, sigrok-cli) where they are installed.
#include "run.h"
#include "ttf_writer.h"
#include "sims/common/vcd_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using testutil::RunResult;

// A VCD as its changes: signal name -> (time, value) in file order.
struct Wave {
    std::map<std::string, std::vector<std::pair<unsigned long long, unsigned long long>>> changes;
    std::string timescale;
};

Wave parse_vcd(const std::string &text)
{
    Wave w;
    std::map<std::string, std::string> names;  // code -> scope.name
    std::istringstream in(text);
    std::string tok;
    std::string scope;
    unsigned long long now = 0;
    while (in >> tok) {
        if (tok == "$scope") {
            std::string kind;
            in >> kind >> scope;
        } else if (tok == "$var") {
            std::string type, width, code, name;
            in >> type >> width >> code >> name;
            names[code] = scope + "." + name;
        } else if (tok == "$timescale") {
            in >> w.timescale;
        } else if (tok[0] == '#') {
            now = std::stoull(tok.substr(1));
        } else if (tok[0] == 'b') {
            std::string code;
            in >> code;
            w.changes[names.at(code)].push_back({now, std::stoull(tok.substr(1), nullptr, 2)});
        } else if ((tok[0] == '0' || tok[0] == '1') && names.count(tok.substr(1))) {
            w.changes[names.at(tok.substr(1))].push_back({now, static_cast<unsigned long long>(tok[0] - '0')});
        }
    }
    return w;
}

int rising_edges(const Wave &w, const std::string &name)
{
    int n = 0;
    unsigned long long last = 2;
    for (const auto &c : w.changes.at(name)) {
        if (last == 0 && c.second == 1)
            ++n;
        last = c.second;
    }
    return n;
}

using testutil::report_value;

TEST(VcdWriter, WritesChangesOnlyAndDumpsTheValuesAtTheWindowsStart)
{
    testutil::TempDir dir;
    std::string path = dir.path() + "/w.vcd";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    {
        bench::VcdWriter v(fd, "1ns", "test");
        int a = v.wire("top", "a", 1, 0);
        int bus = v.wire("top", "bus", 8, 0);
        v.set(a, 1, 5);      // before the window: remembered, not written
        v.set(bus, 0x0C, 6);
        v.start(10);
        v.set(a, 1, 11);     // no change
        v.set(bus, 0x105, 12);  // wider than the signal: cut to 8 bits
        v.set(a, 0, 12);
        v.stop(20);
        v.set(a, 1, 21);     // after the window
    }
    close(fd);
    EXPECT_EQ(testutil::read_file(path),
              "$version test $end\n$timescale 1ns $end\n"
              "$scope module top $end\n$var wire 1 ! a $end\n$var wire 8 \" bus [7:0] $end\n$upscope $end\n"
              "$enddefinitions $end\n"
              "#10\n$dumpvars\n1!\nb1100 \"\n$end\n"
              "#12\nb101 \"\n0!\n"
              "#20\n");
}

class CableVcd : public testing::Test {
protected:
    std::string ttf(long long count)
    {
        ttfgen::Layout l;
        l.count = count;
        return dir.write("f.ttf", ttfgen::text(l));
    }
    RunResult sim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"psload", "--sim-report=" + dir.path() + "/report"});
        RunResult r = testutil::run_program(PSLOAD_SIM_PATH, args);
        report = testutil::read_file(dir.path() + "/report");
        return r;
    }
    std::string vcd() const { return dir.path() + "/w.vcd"; }
    testutil::TempDir dir;
    std::string report;
};

TEST_F(CableVcd, ShowsEveryClockAndTheNConfigPulseAsTheBenchCountedThem)
{
    const long long values = 700;
    RunResult r = sim({"--sim-vcd=" + vcd(), "-w", "2", ttf(values)});
    ASSERT_EQ(r.err, "");
    Wave w = parse_vcd(testutil::read_file(vcd()));
    EXPECT_EQ(w.timescale, "1us");
    EXPECT_EQ(rising_edges(w, "cable.DCLK"), 8 * values + 10);
    EXPECT_EQ(std::to_string(rising_edges(w, "cable.DCLK")), report_value(report, "dclk_rising_edges"));

    const auto &nconfig = w.changes.at("cable.nCONFIG");
    ASSERT_GE(nconfig.size(), 3u);  // the dump, low, high
    EXPECT_EQ(nconfig[1].second, 0u);
    EXPECT_EQ(nconfig[2].second, 1u);
    EXPECT_EQ(std::to_string(nconfig[2].first - nconfig[1].first), report_value(report, "nconfig_low_us"));

    // CONF_DONE rises once, after the last data bit; the registers end idle.
    const auto &done = w.changes.at("cable.CONF_DONE");
    EXPECT_EQ(done.back().second, 1u);
    EXPECT_EQ(w.changes.at("port.control").back().second, 0x05u);
    EXPECT_EQ(w.changes.at("port.data").back().second, 0x00u);
}

TEST_F(CableVcd, AWindowInBitsHoldsOnlyThoseClocks)
{
    RunResult r = sim({"--sim-vcd=" + vcd(), "--sim-vcd-window=bits:800:1599", ttf(700)});
    ASSERT_EQ(r.err, "");
    Wave w = parse_vcd(testutil::read_file(vcd()));
    // The window opens with the access after which 800 bits are in and
    // closes at the one that brings the 1601st: 800 clocks in between.
    EXPECT_EQ(rising_edges(w, "cable.DCLK"), 800);
    EXPECT_EQ(w.changes.at("cable.nCONFIG").size(), 1u) << "the handshake is outside the window";

    r = sim({"--sim-vcd=" + vcd(), "--sim-vcd-window=0:40", ttf(700)});
    w = parse_vcd(testutil::read_file(vcd()));
    EXPECT_LE(w.changes.at("cable.DCLK").back().first, 41u);

    for (const char *bad : {"--sim-vcd-window=9:3", "--sim-vcd-window=x:3", "--sim-vcd-window=5"}) {
        r = sim({bad, ttf(10)});
        EXPECT_EQ(r.exit_code, 2) << bad;
    }
}

// The viewers' own tools, where this machine has them.
bool have(const std::string &tool)
{
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

TEST_F(CableVcd, LoadsInGtkwavesConverter)
{
    if (!have("vcd2fst"))
        GTEST_SKIP() << "vcd2fst not installed (Debian package gtkwave)";
    // Registers as one-bit wires, and as 8-bit vectors (the default).
    for (const char *form : {"--sim-vcd-bits", "--sim-nstatus-delay=10"}) {
        RunResult r = sim({"--sim-vcd=" + vcd(), form, ttf(300)});
        ASSERT_EQ(r.err, "");
        RunResult c = testutil::run_program("/bin/sh", {"sh", "-c", "vcd2fst \"$0\" \"$0.fst\"", vcd()});
        EXPECT_EQ(c.exit_code, 0) << form;
        EXPECT_EQ(c.err, "") << form;
        EXPECT_GT(testutil::read_file(vcd() + ".fst").size(), 100u) << form;
    }
}

TEST_F(CableVcd, SigrokDecodesTheClocksAndTheNConfigPulse)
{
    if (!have("sigrok-cli"))
        GTEST_SKIP() << "sigrok-cli not installed";
    const long long values = 400;
    RunResult r = sim({"--sim-vcd=" + vcd(), "--sim-vcd-bits", ttf(values)});
    ASSERT_EQ(r.err, "");
    RunResult count = testutil::run_program(
        "/bin/sh", {"sh", "-c", "sigrok-cli -I vcd -i \"$0\" -P counter:data=DCLK:data_edge=rising", vcd()});
    EXPECT_EQ(count.err, "");
    // The counter annotates every edge with the count so far: the last is the total.
    std::string last = count.out.substr(count.out.rfind("counter-1: ") + 11);
    EXPECT_EQ(std::stoll(last), 8 * values + 10);

    RunResult timing = testutil::run_program(
        "/bin/sh", {"sh", "-c", "sigrok-cli -I vcd -i \"$0\" -P timing:data=nCONFIG -A timing=time", vcd()});
    EXPECT_EQ(timing.err, "");
    EXPECT_EQ(timing.out.rfind("timing-1: " + report_value(report, "nconfig_low_us") + ".000 ", 0), 0u)
        << timing.out;
}

} // namespace
