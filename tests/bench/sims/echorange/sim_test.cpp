// echorange-sim: the scenario format and the program, run as a user would.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <sys/stat.h>

#include "run.h"
#include "sims/echorange/scenario_run.h"

namespace {

using rtlsim::kMillisecond;
using rtlsim::kSecond;

testutil::RunResult sim(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{"echorange-sim"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run_program(ECHORANGE_SIM, argv);
}

TEST(ScenarioFormat, TimesTargetsAndRecords)
{
    EXPECT_EQ(sims::echorange::parse_time("0"), 0);
    EXPECT_EQ(sims::echorange::parse_time("2.5ms"), 2500000);
    EXPECT_EQ(sims::echorange::parse_time("1h"), 3600 * kSecond);
    EXPECT_EQ(sims::echorange::parse_time("7ns"), 7);
    EXPECT_THROW(sims::echorange::parse_time("1.5ns"), sims::echorange::ScenarioError);
    EXPECT_THROW(sims::echorange::parse_time("10"), sims::echorange::ScenarioError);
    EXPECT_EQ(sims::echorange::format_time(3600 * kSecond + 5819029), "3600.005819029");

    sims::echorange::Scenario sc = sims::echorange::parse_scenario(
        "target 1 1.5m   # comment\n"
        "target 2 8727543ns\n"
        "target 2 none\n"
        "duration 1s\n"
        "at 20ms write 2 1 10 ; 3 0 0\n"
        "at 10ms bytes 01 00 ff\n");
    EXPECT_EQ(sc.targets, (std::map<int, rtlsim::hrtime>{{1, bench::EchoBoard::flight_for_mm(1500)}}));
    ASSERT_EQ(sc.events.size(), 3u);  // the implicit load first, then in time order
    EXPECT_EQ(sc.events[0].kind, sims::echorange::ScenarioEvent::Kind::load);
    EXPECT_EQ(sc.events[1].raw, (std::vector<unsigned char>{1, 0, 0xff}));
    EXPECT_EQ(sc.events[2].time, 20 * kMillisecond);
    EXPECT_EQ(sc.events[2].records, (std::vector<std::array<int, 3>>{{2, 1, 10}, {3, 0, 0}}));
}

TEST(ScenarioFormat, ErrorsNameTheLine)
{
    const std::pair<const char *, const char *> bad[] = {
        {"duration 1s\nat 5ms write 1 2\n", "line 2: a record is three integers"},
        {"duration 1s\ntarget 1 far\n", "line 2: not a distance"},
        {"duration 1s\nat 2s load\n", "line 2: event after the end of the run"},
        {"at 0 load\n", "no duration"},
        {"duration 1s\nfly away\n", "line 2: unknown directive: fly"},
        {"duration 1s\nat 0 write 1 4294967296 0\n", "line 2: not a 32-bit integer"},
        // The board's sensors are 1 to 256.
        {"duration 1s\ntarget 0 1m\n", "line 2: sensor number out of range 1..256: 0"},
        {"duration 1s\ntarget 257 1m\n", "line 2: sensor number out of range 1..256: 257"},
        {"duration 1s\nat 0 target 0 none\n", "line 2: sensor number out of range 1..256: 0"},
    };
    for (const auto &b : bad) {
        try {
            sims::echorange::parse_scenario(b.first);
            ADD_FAILURE() << "accepted: " << b.first;
        } catch (const sims::echorange::ScenarioError &e) {
            EXPECT_NE(std::string(e.what()).find(b.second), std::string::npos) << e.what();
        }
    }
}

// Numbers past what a run can hold are refused with the line named, before
// anything runs: times beyond 60 days (some of them beyond 64 bits of
// nanoseconds, one that used to make the run endless), targets beyond what
// the module measures, call costs beyond a tenth of a period.  The largest
// accepted values are exactly at the bounds.
TEST(ScenarioFormat, ExtremeNumbersAreRefused)
{
    const std::pair<const char *, const char *> bad[] = {
        {"duration 9223372036.9s\n", "line 1: a time is at most 60 days (1440h) of simulated time: 9223372036.9s"},
        {"duration 2562047.9h\n", "line 1: a time is at most 60 days (1440h) of simulated time: 2562047.9h"},
        {"duration 153722867.9min\n", "line 1: a time is at most 60 days (1440h) of simulated time: 153722867.9min"},
        {"duration 9223372036854775807ns\n", "line 1: a time is at most 60 days"},
        {"duration 99999999999999999999999s\n", "line 1: a time is at most 60 days"},
        {"duration 1440.000000001h\n", "line 1: a time is at most 60 days"},
        {"duration 1s\nat 5184000.000000001s load\n", "line 2: a time is at most 60 days"},
        {"duration 1s\ntarget 1 999999999999m\n",
         "line 2: a distance is at most 369045mm (the farthest a 32-bit interval measures): 999999999999m"},
        {"duration 1s\ntarget 1 369045.001m\n", "line 2: a distance is at most 369045mm"},
        {"duration 1s\ntarget 1 369046mm\n", "line 2: a distance is at most 369045mm"},
        {"duration 1s\nat 0 target 1 99999999999999999999999mm\n", "line 2: a distance is at most 369045mm"},
        {"duration 1s\ntarget 1 9223372036854775807ns\n",
         "line 2: an echo's flight time is at most 60.000000000 s: 9223372036854775807ns"},
        {"duration 1s\nat 0 target 1 60000000001ns\n", "line 2: an echo's flight time is at most 60.000000000 s"},
        {"duration 1s\ncall-cost 9223372036854775806ns\n",
         "line 2: a call costs at most 100us (a tenth of the shortest period, 1 ms): 9223372036854775806ns"},
        {"duration 1s\ncall-cost 100.001us\n", "line 2: a call costs at most 100us"},
    };
    for (const auto &b : bad) {
        try {
            sims::echorange::parse_scenario(b.first, false);
            ADD_FAILURE() << "accepted: " << b.first;
        } catch (const sims::echorange::ScenarioError &e) {
            EXPECT_NE(std::string(e.what()).find(b.second), std::string::npos) << e.what();
        }
    }
    sims::echorange::Scenario sc = sims::echorange::parse_scenario("duration 1440h\ncall-cost 100us\ntarget 1 369045mm\n"
                                                 "target 2 60000000000ns\n"
                                                 "at 5184000s target 3 369.045m\nat 1s target 3 60000000000ns\n");
    EXPECT_EQ(sc.duration, 5184000 * kSecond);
    EXPECT_EQ(sc.call_cost, 100000);
    EXPECT_EQ(sc.targets.at(1), 2147483271);  // still a 32-bit interval
    ASSERT_EQ(sc.events.size(), 3u);
    EXPECT_EQ(sc.events[1].flight, 60 * kSecond);
    EXPECT_EQ(sc.events[2].flight, 2147483271);
    EXPECT_EQ(sc.events[2].time, 5184000 * kSecond);
}

// The same through the program: status 2, the file and the line named, no
// output; and each repro ends (one used to run forever).
TEST(EchorangeSim, ExtremeNumbersEndWithStatus2)
{
    testutil::TempDir dir;
    const std::pair<const char *, const char *> bad[] = {
        {"duration 9223372036.9s\n", "line 1: a time is at most 60 days"},
        {"duration 2562047.9h\n", "line 1: a time is at most 60 days"},
        {"duration 153722867.9min\n", "line 1: a time is at most 60 days"},
        {"duration 9223372036854775807ns\n", "line 1: a time is at most 60 days"},
        {"duration 10ms\ntarget 1 999999999999m\nat 1ms write 1 1 0\n", "line 2: a distance is at most 369045mm"},
        {"duration 10ms\ntarget 1 9223372036854775807ns\nat 1ms write 1 1 0\n",
         "line 2: an echo's flight time is at most"},
        {"call-cost 9223372036854775806ns\ntarget 1 1m\nduration 10ms\nat 1ms write 1 1 0\n",
         "line 1: a call costs at most 100us"},
    };
    for (const auto &b : bad) {
        std::string path = dir.write("s", b.first);
        auto r = sim({path});
        EXPECT_EQ(r.exit_code, 2) << b.first;
        EXPECT_EQ(r.out, "") << b.first;
        EXPECT_NE(r.err.find(path + ": " + b.second), std::string::npos) << r.err;
    }
}

// A target at the farthest distance gives the module's largest value; one
// given by a flight time beyond 32 bits gives the module's out-of-range
// value; the largest call cost still runs.
TEST(EchorangeSim, TargetsAndCostsAtTheBounds)
{
    testutil::TempDir dir;
    auto r = sim({dir.write("s", "target 1 369045mm\ntarget 2 3000000000ns\nduration 10s\n"
                                 "at 0 write 1 1 0\nat 4s write 1 2 0\n")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("2.147483271 369045\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("7.000000000 -369045\n"), std::string::npos) << r.out;
    auto c = sim({dir.write("c", "call-cost 100us\ntarget 1 1m\nduration 100ms\nat 1ms write 1 1 0\n")});
    ASSERT_EQ(c.exit_code, 0) << c.err;
    // The calls before the echo's time stamp make it read a little long.
    EXPECT_NE(c.out.find("0.100000000 # end of run: rmmod\n"), std::string::npos) << c.out;
    EXPECT_NE(c.out.find("--- 1 values read, 0 dropped (FIFO 2 full), 1 shots, 0 echoes lost"), std::string::npos)
        << c.out;
}

// A period shorter than the work done in it (call costs of 85 us and more
// make the thread's work pass 1 ms): the thread runs on release after
// release and the Linux side no longer gets the processor, as on the lab
// PC; the run still ends at its duration, says so, and its trace stops
// there.  One used to run for ever, its trace growing without end.
TEST(EchorangeSim, RunsEndAtTheirDurationWhateverTheWorkTakes)
{
    testutil::TempDir dir;
    for (const char *cost : {"80us", "90us", "100us"}) {
        std::string path = dir.write("h.sc", std::string("call-cost ") + cost +
                                                 "\ntarget 1 1m\nduration 10ms\nat 0 write 2 1 1\n");
        std::string trace = dir.path() + "/h.trace";
        auto r = sim({"--trace=" + trace, path});
        ASSERT_EQ(r.exit_code, 0) << cost << ": " << r.err;
        EXPECT_NE(r.out.find(" # end of run: rmmod\n"), std::string::npos) << cost << ": " << r.out;
        // From 85 us on, every period's work is longer than the period.
        if (std::string(cost) != "80us") {
            EXPECT_NE(r.out.find(" releases of the thread came while its work on the last one went on (overruns)\n"),
                      std::string::npos)
                << cost << ": " << r.out;
            EXPECT_NE(r.out.find("# end of run: the real-time thread was at work, stopped there\n"),
                      std::string::npos)
                << cost << ": " << r.out;
        }
        // Every line of the trace is within the run: its 10 ms and the
        // unload's calls after it.
        std::string t = testutil::read_file(trace);
        ASSERT_FALSE(t.empty());
        size_t last = t.rfind('\n', t.size() - 2);
        double end = std::stod(t.substr(last == std::string::npos ? 0 : last + 1));
        EXPECT_LT(end, 0.012) << cost;
        EXPECT_LT(t.size(), 1000000u) << cost;
        if (std::string(cost) != "80us") {
            EXPECT_NE(t.find(" overrun thread 1 release "), std::string::npos) << cost;
        }
    }
}

// The longest period a record carries (2147483647 ms, about 24.9 days): its
// second shot is within a run's reach, at the right time.
TEST(EchorangeSim, SecondShotOfTheLongestPeriod)
{
    testutil::TempDir dir;
    auto r = sim({dir.write("s", "target 1 1m\nduration 1200h\nat 0 write 2 1 2147483647\n")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\n0.005819029 1000\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n2147483.652819029 1000\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n4294967.294000000 9999\n4294967.299819029 1000\n"), std::string::npos) << r.out;
}

// Every option that takes a value takes it as --opt=VALUE and as
// --opt VALUE, with the same result.
TEST(EchorangeSim, OptionValuesInBothForms)
{
    testutil::TempDir dir;
    std::string sc = dir.write("s", "target 1 1m\nduration 20ms\nat 0 write 1 1 0\n");
    auto a = sim({"--trace=" + dir.path() + "/a.trace", "--vcd=" + dir.path() + "/a.vcd",
                  "--module=" + rtlsim::default_module_path(), sc});
    auto b = sim({"--trace", dir.path() + "/b.trace", "--vcd", dir.path() + "/b.vcd", "--module",
                  rtlsim::default_module_path(), sc});
    ASSERT_EQ(a.exit_code, 0) << a.err;
    ASSERT_EQ(b.exit_code, 0) << b.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_NE(a.out.find("0.005819029 1000\n"), std::string::npos) << a.out;
    std::string trace = testutil::read_file(dir.path() + "/a.trace");
    EXPECT_NE(trace.find(" out "), std::string::npos);
    EXPECT_EQ(trace, testutil::read_file(dir.path() + "/b.trace"));
    EXPECT_EQ(testutil::read_file(dir.path() + "/a.vcd"), testutil::read_file(dir.path() + "/b.vcd"));
    // The served options too: --serve=DIR and --speed=F are taken, with
    // --trace FILE (the served machine's trace, ServedMachineObserved).
    auto c = sim({"--serve=" + dir.path() + "/rf", "--speed=5", "--trace", dir.path() + "/c.trace", sc});
    EXPECT_EQ(c.exit_code, 0) << c.err;
    EXPECT_NE(c.out.find("# serving " + dir.path() + "/rf/rtf1"), std::string::npos) << c.out;
    EXPECT_NE(testutil::read_file(dir.path() + "/c.trace").find(" linux   insmod  "), std::string::npos);
    auto d = sim({"--speed=0", "--serve", dir.path() + "/rf", sc});
    EXPECT_EQ(d.err, "echorange-sim: --speed wants a factor above 0 (up to 1000000): 0\n");
    // A value missing at the end, or empty after '='.
    auto e = sim({sc, "--trace"});
    EXPECT_EQ(e.exit_code, 2);
    EXPECT_EQ(e.err.substr(0, e.err.find('\n') + 1), "echorange-sim: --trace wants FILE\n");
    auto f = sim({"--trace=", sc});
    EXPECT_EQ(f.exit_code, 2);
    EXPECT_EQ(f.err.substr(0, f.err.find('\n') + 1), "echorange-sim: bad option --trace=\n");
}

// A served machine with --trace and --vcd: the recorders observe it as they
// do a run, from the load to the unload at the end of its duration.  The
// times the service hands a value on depend on the wall clock; the
// module's own events (the scenario's write, the echo) do not.
TEST(EchorangeSim, ServedMachineObserved)
{
    testutil::TempDir dir;
    std::string sc = dir.write("s", "target 1 1m\nduration 200ms\nat 10ms write 1 1 0\n");
    const std::string t = dir.path() + "/t.trace", w = dir.path() + "/w.vcd";
    auto r = sim({"--serve", dir.path() + "/rf", "--speed", "20", "--trace=" + t, "--vcd=" + w, sc});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("0.010000000 # write 1 1 0 (from the scenario)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 1000\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--- 1 values handed on,"), std::string::npos) << r.out;

    std::string trace = testutil::read_file(t);
    for (const char *line : {"0.000000000 linux   insmod  ", "0.010000000 linux   fifo    write 1: 1 1 0\n",
                             "0.010000000 linux   out     0x132 <- 0x01 (8-bit)\n",
                             "0.015819029 handler fifo    put 2: 1000\n", "0.200000000 linux   rmmod   = 0\n"})
        EXPECT_NE(trace.find(line), std::string::npos) << line << "\n" << trace;
    // The service's own read of FIFO 2, as it hands the value on.
    EXPECT_TRUE(std::regex_search(trace, std::regex(R"(\n0\.\d{9} linux   fifo    read 2: 1000\n)"))) << trace;

    std::string vcd = testutil::read_file(w);
    EXPECT_EQ(vcd.find("$timescale 1ns $end"), vcd.find("$timescale")) << vcd;
    EXPECT_NE(vcd.find("fifo2 [31:0] $end"), std::string::npos) << vcd;
    EXPECT_NE(vcd.find("\n#15819029\n"), std::string::npos) << vcd;  // the echo's put
    EXPECT_NE(vcd.find("\nb1111101000 "), std::string::npos) << vcd;  // 1000 on FIFO 2
    EXPECT_NE(vcd.find("\n#200000001\n"), std::string::npos) << vcd;  // ends after the service's end

    // Files that cannot be written are refused before anything is served.
    auto bad = sim({"--serve", dir.path() + "/rf2", "--vcd=" + dir.path() + "/nodir/w.vcd", sc});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_EQ(bad.err.rfind("echorange-sim: cannot write " + dir.path() + "/nodir/w.vcd: ", 0), 0u) << bad.err;
    struct stat st;
    EXPECT_NE(stat((dir.path() + "/rf2/rtf1").c_str(), &st), 0);
}

TEST(EchorangeSim, BundledScenario)
{
    auto r = sim({EXAMPLE_SCENARIO});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const char *lines[] = {
        "0.000000000 # insmod: 0\n",
        "0.000000000 # write 2 1 20\n0.000000000 9999\n0.005819029 1000\n",
        "0.052909515 500\n",
        "0.130000000 # reader stops\n0.150000000 # reader starts\n0.150000000 9999\n",
        "0.185819029 1000\n0.200000000 # end of run: rmmod\n--- kernel log ---\n--- 17 values read",
    };
    for (const char *l : lines)
        EXPECT_NE(r.out.find(l), std::string::npos) << l << "\nin:\n" << r.out;
}

TEST(EchorangeSim, FailedLoadAndTheKernelLog)
{
    testutil::TempDir dir;
    auto r = sim({dir.write("s", "fault irq\nduration 10ms\nat 5ms write 1 1 0\n")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "0.000000000 # insmod: -19\n"
              "0.005000000 # write 1 1 0\n"
              "0.005000000 # write failed: -19\n"
              "--- kernel log ---\n"
              "IRQ error.\n"
              "--- 0 values read, 0 dropped (FIFO 2 full), 0 shots, 0 echoes lost (IRQ 11 masked) ---\n");
}

// A process holding a FIFO open keeps the module loaded; a second process
// cannot open a FIFO that is held; at the end the processes exit first.
TEST(EchorangeSim, FifoHeldOpenAcrossAnUnload)
{
    testutil::TempDir dir;
    auto r = sim({dir.write("s",
                            "target 1 1m\nduration 100ms\n"
                            "at 0 write 2 1 20\n"
                            "at 10ms open 2\n"
                            "at 30ms unload\n"
                            "at 45ms open 1 3\n"
                            "at 45ms write 3 0 0\n"
                            "at 50ms close 2\n"
                            "at 50ms unload\n")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const char *lines[] = {
        "0.010000000 # open /dev/rtf2 (process 2)\n0.020000000 9999\n",
        "0.030000000 # rmmod\n0.030000000 # rmmod: -16 (module in use: /dev/rtf2 open)\n"
        "0.040000000 9999\n",
        "0.045000000 # open /dev/rtf1 (process 3)\n0.045000000 # write 3 0 0\n"
        "0.045000000 # write failed: -13\n0.045819029 1000\n",
        "0.050000000 # rmmod\n0.050000000 # rmmod: -16 (module in use: /dev/rtf1 open)\n",
        "0.100000000 9999\n0.100000000 # end of run: process 3 exits\n"
        "0.100000000 # end of run: rmmod\n",
        "--- 11 values read, 0 dropped (FIFO 2 full), 6 shots",
    };
    for (const char *l : lines)
        EXPECT_NE(r.out.find(l), std::string::npos) << l << "\nin:\n" << r.out;

    auto bad = sim({dir.write("b", "duration 1s\nat 0 open 3\n")});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("line 2: the module's FIFOs are 1 and 2: 3"), std::string::npos) << bad.err;
}

TEST(EchorangeSim, ReaderStoppedForAnHour)
{
    testutil::TempDir dir;
    // 360001 shots (at 0, 10 ms, ..., 1 h), each with 9999 and all but the
    // last with its distance: 720001 values, of which FIFO 2 keeps 1000.
    auto r = sim({dir.write("s",
                            "target 1 1m\nduration 1h\n"
                            "at 0 reader stop\nat 0 write 2 1 10\nat 1h reader start\n")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("--- 1000 values read, 719001 dropped (FIFO 2 full), 360001 shots"),
              std::string::npos)
        << r.out.substr(r.out.size() > 400 ? r.out.size() - 400 : 0);
}

TEST(EchorangeSim, CommandLineErrors)
{
    EXPECT_EQ(sim({}).exit_code, 2);
    testutil::TempDir dir;
    // A scenario that cannot be read: the system's reason, as the other
    // tools give it; a folder says it is one.
    auto missing = sim({dir.path() + "/nosuch.scenario"});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_EQ(missing.err, "echorange-sim: cannot open " + dir.path() + "/nosuch.scenario: No such file or directory\n");
    auto folder = sim({dir.path()});
    EXPECT_EQ(folder.exit_code, 2);
    EXPECT_EQ(folder.err, "echorange-sim: cannot open " + dir.path() + ": Is a directory\n");
    EXPECT_EQ(folder.out, "");
    auto r = sim({dir.write("s", "duration 1s\nat 0 jump\n")});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("line 2: unknown action: jump"), std::string::npos) << r.err;
    auto h = sim({"--help"});
    EXPECT_EQ(h.exit_code, 0);
    EXPECT_NE(h.out.find("usage: echorange-sim"), std::string::npos);
}

}  // namespace
