// echorange-sim --trace: what the module did, read back from the trace.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "run.h"
#include "sims/echorange/scenario_run.h"
#include "sims/echorange/trace.h"

namespace {

struct Traced {
    sims::echorange::RunSummary summary;
    std::string out;    // standard output of the run
    std::string trace;  // the trace
};

Traced run_traced(const std::string &scenario)
{
    Traced t;
    std::ostringstream out, trace;
    sims::echorange::TraceRecorder rec(trace);
    t.summary = sims::echorange::run_scenario(sims::echorange::parse_scenario(scenario), rtlsim::default_module_path(),
                                     out, &rec);
    t.out = out.str();
    t.trace = trace.str();
    return t;
}

// The trace's lines whose WHO and EVENT match, with the time and the two
// columns cut off.
std::vector<std::string> details(const std::string &trace, const std::string &who, const std::string &event)
{
    std::vector<std::string> found;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string time, w, e;
        words >> time >> w >> e;
        if ((who.empty() || w == who) && e == event) {
            std::string rest;
            std::getline(words >> std::ws, rest);
            found.push_back(rest);
        }
    }
    return found;
}

std::vector<std::string> port_writes(const std::string &trace)
{
    std::vector<std::string> writes;
    std::istringstream in(trace);
    std::string line;
    std::regex out(R"(^\d+\.\d{9} (\w+) +out +(0x[0-9a-f]{3}) <- (0x[0-9a-f]{2}) \(8-bit\)$)");
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_match(line, m, out))
            writes.push_back(m[1].str() + ' ' + m[2].str() + "<-" + m[3].str());
    return writes;
}

TEST(Trace, LineFormat)
{
    Traced t = run_traced("target 2 1m\nduration 20ms\nat 1ms write 1 2 0\n");
    ASSERT_TRUE(t.summary.violations.empty());
    std::regex line(R"(^\d+\.\d{9} (linux  |thread |handler|board  |pic    ) (\w+) *( .*)?$)");
    std::istringstream in(t.trace);
    std::string l;
    int n = 0;
    while (std::getline(in, l)) {
        ++n;
        EXPECT_TRUE(std::regex_match(l, line)) << l;
    }
    EXPECT_GT(n, 20);
    // The echo 5.819029 ms after the shot at 1 ms: raised by the board,
    // delivered, handled, read.
    EXPECT_NE(t.trace.find("0.006819029 board   irq     11 raised\n"
                           "0.006819029 board   irq     11 lowered\n"
                           "0.006819029 pic     irq     11 delivered\n"
                           "0.006819029 handler out     0x132 <- 0x02 (8-bit)\n"),
              std::string::npos)
        << t.trace;
    EXPECT_NE(t.trace.find("0.006819029 handler fifo    put 2: 1000\n"), std::string::npos);
    EXPECT_NE(t.trace.find("0.006819029 linux   fifo    read 2: 1000\n"), std::string::npos);
    EXPECT_NE(t.trace.find("0.001000000 linux   fifo    write 1: 1 2 0\n"), std::string::npos);
}

TEST(Trace, ShotAndEchoPortWrites)
{
    Traced t = run_traced("target 2 1m\nduration 20ms\nat 1ms write 1 2 0\n");
    EXPECT_EQ(port_writes(t.trace), (std::vector<std::string>{"linux 0x132<-0x01", "linux 0x130<-0x01",
                                                              "handler 0x132<-0x02", "handler 0x132<-0x01"}));
    // IRQ 11 unmasked by the shot, masked by the handler after its put.
    auto pic = details(t.trace, "pic", "irq");
    // (The unload masks it once more.)
    EXPECT_EQ(pic, (std::vector<std::string>{"11 unmasked", "11 delivered", "11 masked", "11 masked"}));
}

TEST(Trace, UnusedPortsNeverWritten)
{
    std::string text = testutil::read_file(EXAMPLE_SCENARIO);
    Traced t = run_traced(text);
    auto writes = port_writes(t.trace);
    EXPECT_GT(writes.size(), 30u);
    for (const auto &w : writes) {
        EXPECT_EQ(w.find("0x131"), std::string::npos) << w;
        EXPECT_EQ(w.find("0x133"), std::string::npos) << w;
    }
    // Shots and echoes alternate their writes to the control port as the
    // module drives the board: every 2 is followed by a 1 from the handler.
    for (size_t i = 0; i < writes.size(); ++i)
        if (writes[i] == "handler 0x132<-0x02") {
            EXPECT_TRUE(i + 1 < writes.size() && writes[i + 1] == "handler 0x132<-0x01");
        }
}

TEST(Trace, ChannelBytesOfOddSensors)
{
    Traced t = run_traced("duration 10ms\nat 1ms write 1 0 0\nat 2ms write 1 257 0\nat 3ms write 1 256 0\n");
    std::vector<std::string> channel;
    for (const auto &w : port_writes(t.trace))
        if (w.find("0x130<-") != std::string::npos)
            channel.push_back(w.substr(w.size() - 4));
    EXPECT_EQ(channel, (std::vector<std::string>{"0xff", "0x00", "0xff"}));
}

TEST(Trace, PeriodHandedToTheScheduler)
{
    const std::pair<const char *, const char *> cases[] = {
        {"2147483647", ", 2147483647000000) = 0"},
        {"-1", ", -1000000) = 22"},  // passed on unchanged; the scheduler refuses it (EINVAL)
        {"20", ", 20000000) = 0"},
    };
    for (const auto &c : cases) {
        Traced t = run_traced(std::string("duration 10ms\nat 1ms write 2 1 ") + c.first + "\n");
        auto calls = details(t.trace, "linux", "call");
        std::vector<std::string> periodic;
        for (const auto &call : calls)
            if (call.rfind("pthread_make_periodic_np(", 0) == 0)
                periodic.push_back(call);
        ASSERT_EQ(periodic.size(), 1u) << c.first;
        // Start: the clock reading of the command, 1 ms.
        EXPECT_EQ(periodic[0], std::string("pthread_make_periodic_np(thread, 1000000") + c.second);
    }
}

// What the module did on the Linux side for each record written to FIFO 1,
// in order: its port writes and its platform calls, but the FIFO reads and
// the masking of the processor's interrupts around them.  One entry per
// write, keyed by the record ("2 1 20").
std::vector<std::pair<std::string, std::vector<std::string>>> work_of_each_command(const std::string &trace)
{
    std::vector<std::pair<std::string, std::vector<std::string>>> work;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string time, who, event, rest;
        words >> time >> who >> event;
        std::getline(words >> std::ws, rest);
        if (who != "linux")
            continue;
        if (event == "rmmod") {
            break;
        } else if (event == "fifo" && rest.rfind("write 1: ", 0) == 0) {
            work.emplace_back(rest.substr(9), std::vector<std::string>{});
        } else if (!work.empty() && (event == "out" || event == "call")) {
            if (rest.rfind("rtf_get(", 0) == 0 || rest.rfind("rtl_no_interrupts(", 0) == 0 ||
                rest.rfind("rtl_restore_interrupts(", 0) == 0)
                continue;
            work.back().second.push_back(rest);
        }
    }
    return work;
}

TEST(Trace, PlatformCallsOfEachCommandInOrder)
{
    // Command 2: the period is set, from the command's clock reading, before
    // the thread is woken (woken first, it would shoot on its old timing).
    // Command 1: the shot's two port writes around its clock reading, then
    // IRQ 11 unmasked.  Command 3: the thread suspended.  Any other: nothing.
    Traced t = run_traced("target 2 1m\nduration 30ms\n"
                          "at 1ms write 2 1 20\n"
                          "at 12ms write 1 2 0\n"
                          "at 15ms write 3 1 0\n"
                          "at 16ms write 4 3 10\n"
                          "at 17ms write 0 1 0\n");
    ASSERT_TRUE(t.summary.violations.empty());
    using Work = std::vector<std::pair<std::string, std::vector<std::string>>>;
    EXPECT_EQ(work_of_each_command(t.trace),
              (Work{{"2 1 20",
                     {"gethrtime() = 1000000", "pthread_make_periodic_np(thread, 1000000, 20000000) = 0",
                      "pthread_wakeup_np(thread) = 0"}},
                    {"1 2 0",
                     {"0x132 <- 0x01 (8-bit)", "gethrtime() = 12000000", "0x130 <- 0x01 (8-bit)",
                      "rtl_hard_enable_irq(11)"}},
                    {"3 1 0", {"pthread_suspend_np(thread) = 0"}},
                    {"4 3 10", {}},
                    {"0 1 0", {}}}));
}

TEST(Trace, LoadAcquiresWhatTheModuleNeeds)
{
    Traced t = run_traced("duration 1ms\n");
    auto calls = details(t.trace, "linux", "call");
    auto has = [&](const std::string &c) {
        return std::find(calls.begin(), calls.end(), c) != calls.end();
    };
    EXPECT_TRUE(has("request_region(0x130, 4, \"USS\") = ok"));
    EXPECT_TRUE(has("rtl_request_global_irq(11, intr_handler) = 0"));
    EXPECT_TRUE(has("rtf_create(1, 4000) = 0"));
    EXPECT_TRUE(has("rtf_create(2, 4000) = 0"));
    EXPECT_TRUE(has("rtf_create_handler(1, command_handler) = 0"));
    bool priority5 = false;
    for (const auto &c : calls)
        priority5 = priority5 || (c.rfind("pthread_create(", 0) == 0 && c.find("priority 5,") != std::string::npos &&
                                  c.find("thread_uss") != std::string::npos && c.substr(c.size() - 4) == " = 0");
    EXPECT_TRUE(priority5);
    EXPECT_EQ(details(t.trace, "linux", "modinfo"), (std::vector<std::string>{"kernel_version=2.4.18-rtl3.1"}));
    EXPECT_EQ(details(t.trace, "linux", "insmod").back(), "= 0");
    EXPECT_EQ(details(t.trace, "linux", "rmmod").back(), "= 0");
    // The unload gives it all back.
    auto after = t.trace.substr(t.trace.find("linux   rmmod"));
    for (const char *c : {"rtf_destroy(1) = 0", "rtf_destroy(2) = 0", "release_region(0x130, 4)",
                          "rtl_free_global_irq(11) = 0", "pthread_delete_np(thread) = 0"})
        EXPECT_NE(after.find(c), std::string::npos) << c;
}

TEST(Trace, KernelLogLines)
{
    Traced t = run_traced("fault irq\nduration 1ms\n");
    EXPECT_EQ(details(t.trace, "linux", "klog"), (std::vector<std::string>{"IRQ error."}));
    EXPECT_EQ(details(t.trace, "linux", "insmod").back(), "= -19");
}

TEST(Trace, OptionLeavesStandardOutputAlone)
{
    testutil::TempDir dir;
    std::string file = dir.path() + "/trace.txt";
    auto plain = testutil::run_program(ECHORANGE_SIM, {"echorange-sim", EXAMPLE_SCENARIO});
    auto traced = testutil::run_program(ECHORANGE_SIM, {"echorange-sim", "--trace=" + file, EXAMPLE_SCENARIO});
    ASSERT_EQ(traced.exit_code, 0) << traced.err;
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(traced.err, "");
    std::string trace = testutil::read_file(file);
    // The same run as in process, line for line.
    Traced in_process = run_traced(testutil::read_file(EXAMPLE_SCENARIO));
    auto body = [](const std::string &s) { return s.substr(s.find('\n', s.find("insmod"))); };
    EXPECT_EQ(body(trace), body(in_process.trace));
    auto bad = testutil::run_program(ECHORANGE_SIM, {"echorange-sim", "--trace=" + dir.path() + "/no/such/x",
                                                     EXAMPLE_SCENARIO});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("cannot write"), std::string::npos);
}

}  // namespace

namespace {

TEST(Faults, RegionHeldAtEachPortFailsTheLoadAndTouchesNothing)
{
    for (const char *ports : {"0x130", "0x131", "0x132", "0x133", "0x12f-0x130", "0x133-0x140"}) {
        Traced t = run_traced(std::string("fault region ") + ports + "\nduration 1ms\n");
        EXPECT_TRUE(t.summary.violations.empty()) << ports;
        EXPECT_NE(t.out.find("0.000000000 # insmod: -19\n"), std::string::npos) << ports << '\n' << t.out;
        EXPECT_NE(t.out.find("--- kernel log ---\nI/O error.\n"), std::string::npos) << ports;
        auto calls = details(t.trace, "linux", "call");
        for (const auto &c : calls) {
            EXPECT_EQ(c.find("request_region"), std::string::npos) << ports << ": " << c;
            EXPECT_EQ(c.find("irq"), std::string::npos) << ports << ": " << c;
        }
        EXPECT_TRUE(port_writes(t.trace).empty()) << ports;
    }
    // Next to the board's ports, another driver is no obstacle.
    for (const char *ports : {"0x12f", "0x134", "0x100-0x12f"}) {
        Traced t = run_traced(std::string("fault region ") + ports + "\nduration 1ms\n");
        EXPECT_NE(t.out.find("# insmod: 0\n"), std::string::npos) << ports << '\n' << t.out;
    }
}

TEST(Faults, FailClearLoadAgain)
{
    Traced t = run_traced("target 1 1m\nfault region 0x132\nfault irq\nduration 50ms\n"
                          "at 0 load\nat 1ms fault clear region\nat 2ms load\n"
                          "at 3ms fault clear irq\nat 4ms load\nat 5ms write 1 1 0\n");
    EXPECT_TRUE(t.summary.violations.empty());
    const char *expected[] = {
        "0.000000000 # insmod: -19\n",
        "0.001000000 # the other driver releases its ports\n",
        "0.002000000 # insmod: -19\n",  // IRQ 11 is still held
        "0.003000000 # the other driver frees IRQ 11\n",
        "0.004000000 # insmod: 0\n",
        "0.010819029 1000\n",
        "--- kernel log ---\nI/O error.\nIRQ error.\n",
    };
    for (const char *e : expected)
        EXPECT_NE(t.out.find(e), std::string::npos) << e << "\nin:\n" << t.out;
    // The failed load with the ports free gave the region back again.
    auto calls = details(t.trace, "linux", "call");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "request_region(0x130, 4, \"USS\") = ok"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "release_region(0x130, 4)"), 2);
}

TEST(Faults, Directives)
{
    sims::echorange::Scenario sc = sims::echorange::parse_scenario("fault region\nfault region 0x130-0x133\nirq-line held\n"
                                                 "duration 1s\nat 1ms fault clear irq\n");
    EXPECT_EQ(sc.fault_regions, (std::vector<std::pair<unsigned, unsigned>>{{0x131, 1}, {0x130, 4}}));
    EXPECT_EQ(sc.irq_line, bench::EchoBoard::LineMode::held);
    EXPECT_EQ(sc.events.back().kind, sims::echorange::ScenarioEvent::Kind::clear_irq);
    for (const char *bad : {"fault region 0x133-0x130\n", "fault region port\n", "fault\n", "irq-line slow\n",
                            "at 0 fault clear dma\n"}) {
        EXPECT_THROW(sims::echorange::parse_scenario(std::string("duration 1s\n") + bad), sims::echorange::ScenarioError) << bad;
    }
}

}  // namespace

namespace {

// An echo faster than the shot's own unmasking: with a call cost of 1 us
// it reaches the board 500 ns after the channel byte, while the module is
// still in rtl_hard_enable_irq.
const char kFastEcho[] = "call-cost 1us\ntarget 1 500ns\nduration 10ms\nat 1ms write 1 1 0\n";

TEST(InterruptLine, PulseWhileMaskedIsLost)
{
    Traced t = run_traced(std::string("irq-line pulse\n") + kFastEcho);
    EXPECT_TRUE(t.summary.violations.empty());
    EXPECT_EQ(t.summary.values_read, 0);
    EXPECT_EQ(t.summary.echoes_lost, 1);
    EXPECT_NE(t.trace.find("board   irq     11 raised\n"), std::string::npos);
    auto pic = details(t.trace, "pic", "irq");
    EXPECT_EQ(std::vector<std::string>(pic.begin(), pic.begin() + 2), (std::vector<std::string>{"11 lost", "11 unmasked"}));
    EXPECT_EQ(std::count(pic.begin(), pic.end(), "11 delivered"), 0);
    // The default is the pulse.
    Traced d = run_traced(kFastEcho);
    EXPECT_EQ(d.out, t.out);
}

TEST(InterruptLine, HeldWhileMaskedIsDeliveredAtTheUnmask)
{
    Traced t = run_traced(std::string("irq-line held\n") + kFastEcho);
    EXPECT_TRUE(t.summary.violations.empty());
    EXPECT_EQ(t.summary.echoes_lost, 0);
    // Shot at 1 ms + 3 calls: the echo at 1.006 ms, delivered after the
    // unmask, its interval below 5820 ns: 0 mm.
    EXPECT_NE(t.out.find("0.001013000 0\n"), std::string::npos) << t.out;
    auto irq = details(t.trace, "", "irq");
    std::vector<std::string> want = {"11 raised", "11 unmasked", "11 delivered", "11 lowered", "11 masked"};
    EXPECT_EQ(std::vector<std::string>(irq.begin(), irq.begin() + 5), want);
    // The line went low with the acknowledgement, not before.
    auto ack = t.trace.find("handler out     0x132 <- 0x02");
    auto low = t.trace.find("board   irq     11 lowered");
    ASSERT_NE(ack, std::string::npos);
    EXPECT_LT(ack, low);
}

TEST(InterruptLine, HeldLineMergesEchoesUntilAcknowledged)
{
    // IRQ 11 masked after the load: two stray raises wait as one request,
    // taken as the echo of the next shot.
    Traced t = run_traced("irq-line held\ntarget 1 1m\nduration 20ms\nat 1ms irq\nat 2ms irq\nat 3ms write 1 1 0\n");
    EXPECT_TRUE(t.summary.violations.empty());
    EXPECT_EQ(t.summary.echoes_lost, 1);  // the second raise added nothing
    EXPECT_NE(t.out.find("0.003000000 0\n"), std::string::npos) << t.out;
    // The shot's real echo comes after the handler masked the line: it
    // waits for the next unmask, which never comes; nothing more is read.
    EXPECT_EQ(t.summary.values_read, 1);
    EXPECT_NE(t.trace.find("0.008819029 board   irq     11 raised\n"), std::string::npos);
}

}  // namespace
