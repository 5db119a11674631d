// echorange-sim --vcd: the ranging's waveform, read back by a small reader
// of our own and by real viewers' tools (GTKWave's vcd2fst, sigrok-cli)
// where they are installed, and compared with the run's own trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "run.h"

namespace {

using testutil::RunResult;

// Signal name -> (time, value) changes, in file order.
using Changes = std::map<std::string, std::vector<std::pair<long long, unsigned long long>>>;

Changes read_vcd(const std::string &text, std::string *timescale)
{
    Changes changes;
    std::map<std::string, std::string> names;
    std::istringstream in(text);
    std::string word;
    long long t = 0;
    while (in >> word) {
        if (word == "$timescale") {
            in >> *timescale;
        } else if (word == "$var") {
            std::string type, width, code, name;
            in >> type >> width >> code >> name;
            names[code] = name;
        } else if (word[0] == '#') {
            t = std::stoll(word.substr(1));
        } else if (word[0] == 'b') {
            std::string code;
            in >> code;
            changes[names[code]].push_back({t, std::stoull(word.substr(1), nullptr, 2)});
        } else if ((word[0] == '0' || word[0] == '1') && word.size() > 1 && names.count(word.substr(1))) {
            changes[names[word.substr(1)]].push_back({t, static_cast<unsigned long long>(word[0] - '0')});
        }
    }
    return changes;
}

long rising(const Changes &c, const std::string &name)
{
    long n = 0;
    unsigned long long last = 0;
    for (const auto &ch : c.at(name)) {
        if (ch.second && !last)
            ++n;
        last = ch.second;
    }
    return n;
}

size_t count_lines(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool have(const char *tool)
{
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

class RangingVcd : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::string vcd = dir.path() + "/run.vcd";
    std::string trace_file = dir.path() + "/run.trace";
    std::string trace;

    RunResult sim(std::vector<std::string> args, const std::string &scenario = EXAMPLE_SCENARIO)
    {
        std::vector<std::string> argv{"echorange-sim", "--vcd=" + vcd, "--trace=" + trace_file};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(scenario);
        RunResult r = testutil::run_program(ECHORANGE_SIM, argv);
        trace = testutil::read_file(trace_file);
        return r;
    }
};

TEST_F(RangingVcd, SignalsMatchTheTrace)
{
    RunResult r = sim({});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    RunResult plain = testutil::run_program(ECHORANGE_SIM, {"echorange-sim", EXAMPLE_SCENARIO});
    EXPECT_EQ(r.out, plain.out) << "the waveform goes only to its file";
    std::string timescale;
    Changes c = read_vcd(testutil::read_file(vcd), &timescale);
    EXPECT_EQ(timescale, "1ns");
    // Every value put on FIFO 2, in order, with its strobe.
    std::vector<unsigned long long> puts, want;
    for (const auto &ch : c.at("fifo2"))
        if (ch.first > 0 || ch.second != 0)
            puts.push_back(ch.second);
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line))
        if (line.find(" fifo    put 2: ") != std::string::npos)
            want.push_back(static_cast<std::uint32_t>(std::stol(line.substr(line.rfind(' ') + 1))));
    ASSERT_GT(want.size(), 10u);
    // (A vector shows a change only: equal values in a row are one.)
    want.erase(std::unique(want.begin(), want.end()), want.end());
    EXPECT_EQ(puts, want);
    EXPECT_EQ(rising(c, "fifo2_put"), static_cast<long>(count_lines(trace, " fifo    put 2: ")));
    EXPECT_EQ(rising(c, "irq11"), static_cast<long>(count_lines(trace, "board   irq     11 raised")));
    EXPECT_EQ(rising(c, "irq11_delivered"), static_cast<long>(count_lines(trace, "pic     irq     11 delivered")));
    // Unmasking an unmasked line (a shot after one with no echo) is no edge.
    long unmasks = 0;
    bool enabled = false;
    std::istringstream pic(trace);
    while (std::getline(pic, line)) {
        if (line.find("pic     irq     11 unmasked") != std::string::npos) {
            if (!enabled)
                ++unmasks;
            enabled = true;
        } else if (line.find("pic     irq     11 masked") != std::string::npos)
            enabled = false;
    }
    EXPECT_EQ(rising(c, "irq11_enabled"), unmasks);
    // The channel port carries the sensors' channels: 0, 1 (sensor 2), 2.
    std::vector<unsigned long long> channels;
    for (const auto &ch : c.at("port_130"))
        channels.push_back(ch.second);
    EXPECT_EQ(channels, (std::vector<unsigned long long>{0, 1, 2, 0}));
    // Times never go backwards.
    long long last = -1;
    std::istringstream stamps(testutil::read_file(vcd));
    while (std::getline(stamps, line))
        if (!line.empty() && line[0] == '#') {
            long long t = std::stoll(line.substr(1));
            EXPECT_GT(t, last);
            last = t;
        }
}

TEST_F(RangingVcd, OneBitForm)
{
    RunResult r = sim({"--vcd-bits"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string timescale;
    Changes c = read_vcd(testutil::read_file(vcd), &timescale);
    EXPECT_EQ(c.count("fifo2"), 0u);
    ASSERT_EQ(c.count("fifo2_31"), 1u);
    ASSERT_EQ(c.count("port_132_1"), 1u);
    // Bit 1 of the control port is the acknowledgement: one per echo handled.
    EXPECT_EQ(rising(c, "port_132_1"), static_cast<long>(count_lines(trace, "pic     irq     11 delivered")));
    EXPECT_EQ(RunResult(testutil::run_program(ECHORANGE_SIM, {"echorange-sim", "--vcd-bits", EXAMPLE_SCENARIO}))
                  .exit_code,
              2)
        << "--vcd-bits without --vcd";
}

TEST_F(RangingVcd, LoadsInGtkwavesConverter)
{
    if (!have("vcd2fst"))
        GTEST_SKIP() << "vcd2fst not installed (Debian package gtkwave)";
    for (std::vector<std::string> form : {std::vector<std::string>{}, std::vector<std::string>{"--vcd-bits"}}) {
        RunResult r = sim(form);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        RunResult c = testutil::run_program("/bin/sh", {"sh", "-c", "vcd2fst \"$0\" \"$0.fst\"", vcd});
        EXPECT_EQ(c.exit_code, 0);
        EXPECT_EQ(c.err, "");
        EXPECT_GT(testutil::read_file(vcd + ".fst").size(), 100u);
    }
}

TEST_F(RangingVcd, SigrokCountsTheInterrupts)
{
    if (!have("sigrok-cli"))
        GTEST_SKIP() << "sigrok-cli not installed";
    // sigrok takes the values at 0 ns as where the signals start, so an
    // edge at 0 ns is not counted: this run starts at 1 ms.
    std::string scenario = dir.write("late.scenario",
                                     "target 1 1m\ntarget 2 0.5m\nduration 100ms\nat 1ms write 2 1 20\n"
                                     "at 50ms write 1 2 0\nat 70ms write 3 0 0\nat 80ms write 1 2 0\n");
    RunResult r = sim({"--vcd-bits"}, scenario);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto count = [&](const std::string &signal) {
        RunResult c = testutil::run_program(
            "/bin/sh", {"sh", "-c", "sigrok-cli -I vcd -i \"$0\" -P counter:data=$1:data_edge=rising", vcd, signal});
        EXPECT_EQ(c.err, "") << signal;
        size_t at = c.out.rfind("counter-1: ");
        return at == std::string::npos ? -1L : std::stol(c.out.substr(at + 11));
    };
    // The summary's count of echoes handled: values read that are not the
    // thread's 9999.
    long delivered = static_cast<long>(count_lines(trace, "pic     irq     11 delivered"));
    ASSERT_GT(delivered, 3);
    EXPECT_EQ(count("irq11_delivered"), delivered);
    EXPECT_EQ(count("irq11"), static_cast<long>(count_lines(trace, "board   irq     11 raised")));
    EXPECT_EQ(count("fifo2_put"), static_cast<long>(count_lines(trace, " fifo    put 2: ")));
}

}  // namespace
