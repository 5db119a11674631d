// The real psload32, on the real Linux 2.4 kernel under QEMU, configures the
// bench's FPGA through QEMU's own parallel port.
//
// QEMU's port passes the guest's register accesses on as ppdev ioctls; the
// bridge (bench/sims/qemu_bridge), preloaded into QEMU, answers them with the
// bench's port, cable and design-checking FPGA.  One boot runs every case:
// before each psload32 run the guest's /init marks a new bridge session, so
// that each case meets a freshly powered device set up with that case's
// bench options.  Each case is also run through psload-sim with the same
// options, and the two must agree: standard output and error, exit status,
// the bytes the device received, and the device's report.
//
// One difference is QEMU's, not ours, and is allowed for: QEMU clears bit 0
// of the status register (the EPP timeout bit) on its way to the guest,
// where the bench's port reads the unconnected bit as 1; psload -v prints
// that register once ("Initial status port value").
//
// Exit status 77 (skipped) with the reason when the kernel, QEMU, the e2fs
// tools or the static programs are missing.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "guest.h"
#include "run.h"

namespace {

struct Case {
    std::string name;
    std::vector<std::string> sim;     // bench options (the design is added where none is given)
    std::vector<std::string> psload;  // psload's arguments
};

const std::string kDesign = "sample.ttf";     // 4096 values, 92 a line
const std::string kVendor = "vendor16.ttf";   // 3000 values, 16 a line

const std::vector<Case> kCases = {
    {"memory mode", {}, {"-v", kDesign}},
    {"sequential mode", {}, {"-v", "-mf", "1", kDesign}},
    {"progress bar, memory mode", {}, {"-b", kDesign}},
    {"progress bar, sequential mode, verbose", {}, {"-v", "-b", "-mf", "1", kDesign}},
    {"a device that wants more bits than sent", {"--sim-bits=32776"}, {"-v", kDesign}},
    {"nSTATUS stuck low", {"--sim-fault=nstatus-stuck-low"}, {"-v", kDesign}},
    {"an error at bit 20000, sequential mode", {"--sim-fault=error-at-bit:20000"}, {"-v", "-mf", "1", kDesign}},
    {"a vendor-layout file in sequential mode (wrong bits from value 17)", {}, {"-v", "-mf", "1", kVendor}},
    {"delay writes, memory mode", {}, {"-w", "3", kDesign}},
};

// Report lines that differ by nature between QEMU and psload-sim: what the
// device's clock and access count were (the width of the nCONFIG pulse is
// the guest's own time: its delay write never reaches the bridge), and what
// only the bench's own process model knows (the delay port's writes, the
// ports held).
const char *const kOwnLines[] = {"port_accesses", "sim_time_us", "nconfig_low_us", "delay_writes", "ports_held",
                                 "violations"};

struct Outcome {
    std::string out, err, status, received;
    std::map<std::string, std::string> report;
};

struct Results {
    std::string skip, failure;
    std::string work_path;
    std::vector<Outcome> guest, sim;
    double seconds = 0;
    std::string console;
};
Results results;
testutil::TempDir *work = nullptr;

std::map<std::string, std::string> parse_report(const std::string &text)
{
    std::map<std::string, std::string> m;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        size_t sp = l.find(' ');
        m[l.substr(0, sp)] = sp == std::string::npos ? "" : l.substr(sp + 1);
    }
    return m;
}

std::vector<std::string> sim_options(const Case &c, size_t k, const std::string &dir, const std::string &tag)
{
    std::vector<std::string> o = c.sim;
    bool has_design = false;
    for (const auto &s : o)
        has_design = has_design || s.rfind("--sim-bits=", 0) == 0 || s.rfind("--sim-design", 0) == 0;
    if (!has_design)
        o.push_back("--sim-design=" + dir + "/" + c.psload.back());
    o.push_back("--sim-report=" + dir + "/" + tag + std::to_string(k) + ".report");
    o.push_back("--sim-received=" + dir + "/" + tag + std::to_string(k) + ".bin");
    return o;
}

void run_all()
{
    if (std::string(PSLOAD32).empty() || std::string(GUEST_INIT).empty()) {
        results.skip = "the static 32-bit programs are not built (see cmake's warning)";
        return;
    }
    work = new testutil::TempDir;
    const std::string dir = work->path();
    results.work_path = dir;
    work->write(kDesign, testutil::read_file(SAMPLE_TTF));
    testutil::RunResult g =
        testutil::run_program(TTFGEN, {"ttfgen", "-n", "3000", "-l", "16", "-o", dir + "/" + kVendor});
    if (g.exit_code != 0) {
        results.failure = "ttfgen failed: " + g.err;
        return;
    }

    labpc::GuestPlan plan;
    plan.init = GUEST_INIT;
    plan.files = {{"psload32", PSLOAD32}};
    plan.data = {{kDesign, testutil::read_file(dir + "/" + kDesign)}, {kVendor, testutil::read_file(dir + "/" + kVendor)}};
    const std::string node = dir + "/no-such-ppdev-node";
    plan.qemu_args = {"-chardev", "parallel,id=pp0,path=" + node, "-parallel", "chardev:pp0"};
    plan.env = {std::string("LD_PRELOAD=") + PPBRIDGE, "LABTOOLS_PPBRIDGE_DEVICE=" + node};
    for (size_t k = 0; k < kCases.size(); ++k) {
        const Case &c = kCases[k];
        const size_t session = k + 1;
        std::string words;
        for (const auto &o : sim_options(c, session, dir, "guest"))
            words += (words.empty() ? "" : " ") + o;
        plan.env.push_back("LABTOOLS_PPBRIDGE_OPTIONS_" + std::to_string(session) + "=" + words);
        std::string command = "0 /psload32";
        for (const auto &a : c.psload)
            command += " " + a;
        plan.commands.push_back("mark " + std::to_string(session));
        plan.commands.push_back(command);
    }

    labpc::GuestBoot boot = labpc::boot_guest(plan, dir);
    results.seconds = boot.seconds;
    results.console = boot.console;
    if (!boot.skip.empty()) {
        results.skip = boot.skip;
        return;
    }
    if (!boot.failure.empty()) {
        results.failure = boot.failure;
        return;
    }
    if (boot.runs.size() != kCases.size()) {
        results.failure = "the guest ran " + std::to_string(boot.runs.size()) + " of " +
                          std::to_string(kCases.size()) + " commands";
        return;
    }
    for (size_t k = 0; k < kCases.size(); ++k) {
        const size_t session = k + 1;
        Outcome o;
        o.out = boot.runs[k].out;
        o.err = boot.runs[k].err;
        o.status = boot.runs[k].status;
        o.received = testutil::read_file(dir + "/guest" + std::to_string(session) + ".bin");
        o.report = parse_report(testutil::read_file(dir + "/guest" + std::to_string(session) + ".report"));
        results.guest.push_back(o);

        // psload-sim, with the same program name and file name as in the
        // guest (its data file in the current directory, as the guest's is
        // in its /).
        std::vector<std::string> argv = {"/psload32"};
        for (const auto &s : sim_options(kCases[k], session, dir, "sim"))
            argv.push_back(s);
        argv.insert(argv.end(), kCases[k].psload.begin(), kCases[k].psload.end());
        testutil::RunResult r = testutil::run_program(PSLOAD_SIM, argv, dir);
        Outcome s;
        s.out = r.out;
        s.err = r.err;
        s.status = r.exit_code >= 0 ? "exit " + std::to_string(r.exit_code) : "signal " + std::to_string(r.signal);
        s.received = testutil::read_file(dir + "/sim" + std::to_string(session) + ".bin");
        s.report = parse_report(testutil::read_file(dir + "/sim" + std::to_string(session) + ".report"));
        results.sim.push_back(s);
    }
}

// psload-sim's standard output as the guest must show it: the one status
// value psload -v prints, with bit 0 as QEMU gives it (clear).
std::string as_through_qemu(const std::string &out)
{
    const std::string key = "  Initial status port value = 0x";
    size_t at = out.find(key);
    if (at == std::string::npos)
        return out;
    size_t from = at + key.size();
    size_t end = out.find('\n', from);
    unsigned value = static_cast<unsigned>(std::stoul(out.substr(from, end - from), nullptr, 16));
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", value & ~1u);
    return out.substr(0, from) + hex + out.substr(end);
}

class PsloadOnQemu : public ::testing::TestWithParam<size_t> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(results.failure, "") << "kernel console:\n" << results.console;
        ASSERT_EQ(results.guest.size(), kCases.size());
    }
};

TEST_P(PsloadOnQemu, SameAsPsloadSim)
{
    const size_t k = GetParam();
    const Outcome &g = results.guest[k];
    const Outcome &s = results.sim[k];
    SCOPED_TRACE(kCases[k].name);
    EXPECT_EQ(g.out, as_through_qemu(s.out));
    EXPECT_EQ(g.err, s.err);
    EXPECT_EQ(g.status, s.status);
    EXPECT_EQ(g.received.size(), s.received.size());
    EXPECT_TRUE(g.received == s.received) << "the device received other bytes than on the bench";

    ASSERT_FALSE(s.report.empty());
    ASSERT_FALSE(g.report.empty()) << "the bridge wrote no report";
    for (const auto &line : s.report) {
        bool own = false;
        for (const char *name : kOwnLines)
            own = own || line.first == name;
        ASSERT_EQ(g.report.count(line.first), 1u) << "report line " << line.first;
        if (!own) {
            EXPECT_EQ(g.report.at(line.first), line.second) << "report line " << line.first;
        }
    }
    EXPECT_EQ(g.report.size(), s.report.size());
    EXPECT_EQ(g.report.at("delay_writes"), "not-seen");
    EXPECT_EQ(g.report.at("ports_held"), "not-seen");
}

std::string case_name(const ::testing::TestParamInfo<size_t> &info)
{
    std::string n;
    for (char c : kCases[info.param].name)
        n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Cases, PsloadOnQemu, ::testing::Range<size_t>(0, kCases.size()), case_name);

// The cases are meant to show what they say on the bench too; a case that
// drifted (a fault option renamed, a design that no longer differs) would
// still agree with itself.
TEST(PsloadOnQemuCases, EachCaseEndsAsItsNameSays)
{
    ASSERT_EQ(results.sim.size(), kCases.size());
    auto state = [](size_t k) { return results.sim[k].report.at("device_state"); };
    for (size_t k : {0, 1, 2, 3, 8}) {
        EXPECT_EQ(state(k), "user-mode") << kCases[k].name;
        EXPECT_EQ(results.sim[k].err, "") << kCases[k].name;
    }
    EXPECT_NE(results.sim[0].out.find("Download Success.\n"), std::string::npos);
    EXPECT_NE(results.sim[2].out.find("\x1b[Aooooooooooooooooooo\n"), std::string::npos);
    EXPECT_EQ(state(4), "receiving");
    EXPECT_NE(results.sim[4].err.find("CONF_DONE no response.\n"), std::string::npos);
    EXPECT_NE(results.sim[5].err.find("nSTATUS no response (Rise edge).\n"), std::string::npos);
    EXPECT_EQ(state(6), "error");
    EXPECT_EQ(results.sim[6].report.at("received_bits"), "20000");
    EXPECT_EQ(results.sim[7].report.at("first_difference_byte"), "16");
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    run_all();
    if (!results.skip.empty()) {
        std::printf("SKIP: %s\n", results.skip.c_str());
        return 77;
    }
    if (results.failure.empty() && !results.guest.empty()) {
        std::printf("One boot of Linux 2.4 under qemu-system-i386 ran %zu psload32 downloads into the bench's FPGA "
                    "in %.1f s of wall time.\n",
                    results.guest.size(), results.seconds);
        std::printf("--- guest: /psload32 -v %s: standard output\n%s--- standard error\n%s--- %s\n"
                    "--- the device's report\n",
                    kDesign.c_str(), results.guest[0].out.c_str(), results.guest[0].err.c_str(),
                    results.guest[0].status.c_str());
        std::string report = testutil::read_file(results.work_path + "/guest1.report");
        std::printf("%s", report.c_str());
    }
    std::fflush(stdout);
    int rc = RUN_ALL_TESTS();
    delete work;
    return rc;
}
