// The range-finder module, as the lab PC builds it (uss/Makefile against the
// lab PC's headers), in a real Linux 2.4 kernel.
//
// One boot of Linux 2.4.18 (../shared/platform/linux-2.4.18-rh) under
// qemu-system-i386, with:
//  - the board: QEMU's 16550 UART at 0x130 on IRQ 11, its other end a socket
//    to the bench's range-finder board program on this host, which logs
//    each byte the module writes to 0x130 ("fire on channel N") and answers
//    after the flight time of that channel's target;
//  - a RAM disk with busybox (insmod, rmmod, sh, cat, uname), rtl_layer.o
//    (RTLinux's services over Linux 2.4, linux24_layer),
//    echorange.o, ioholder.o (holds a port or IRQ 11, as another driver
//    would), rangectl32 and portpoke32, and /dev/rtf0..3.
// The guest's /init (guest_init.c) runs the commands below in order and
// sends back each one's output and exit status; "dmesg" lines send the
// kernel log since the last one.  The checks read those records and the
// board's log.  Counts and order are compared exactly; distances, which
// carry the guest's and the host's scheduling delays (always late, never
// early), by their smallest and median values against the targets.  Shots
// are counted by what cannot depend on the timing: one 9999 per periodic
// shot, one value or a timeout per single shot.
//
// Exit status 77 (skipped) with the reason when QEMU, ../shared/platform,
// busybox, the static programs or the board program are missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "echorange_boot_config.h"
#include "guest.h"
#include "run.h"

namespace {

using labpc::GuestRun;

// The board's targets: sensor -> millimetres (other sensors: no echo).
const std::map<int, int> kTargets = {{1, 1000}, {3, 3000}, {5, 2000}, {6, 1500}};
const int kShots = 9;           // single shots on each of sensors 1 and 3
const int kPeriodicRead = 8;    // values read while sensor 5 ranges
const int kWatchPeriods = 4;    // periods of the watch on sensor 6
// Periods of 300 ms: an echo that the host delays past the next shot (seen:
// more than 100 ms on a loaded machine) is read against that shot, and
// leaves a byte that the shot after it takes for its echo.
const char *const kPeriod = "300";

// Distances are late by what the guest and the host add between the shot's
// clock reading and the echo's: about 0.27 ms (+46 mm) on an idle host
// under TCG, milliseconds more on a loaded one, never less than nothing.
const int kEarlyMm = 20;           // the clock's own error
const int kBestLateMm = 700;       // the best shot of nine: within 4 ms
const int kMedianLateMm = 3500;    // the median: within 20 ms

const char *const kRelease = "2.4.18-rtl3.1";
const char *const kKernelRelease = "2.4.18-14custom";

// The holder of /dev/rtf1 while rmmod is tried: it also tries a shot
// (refused: an RT-FIFO takes one process at a time) and shows the module's
// use count.
const char *const kHoldScript =
    "exec 3>/dev/rtf1 || exit 10\n"
    "/rangectl32 shot 1\n"
    "echo \"shot while held: $?\"\n"
    "/bin/busybox rmmod echorange\n"
    "echo \"rmmod while held: $?\"\n"
    "/bin/busybox cat /proc/modules\n"
    "exec 3>&-\n";

struct Step {
    std::string key;
    std::string command;
};

std::vector<Step> steps()
{
    const std::string insmod = "0 /bin/busybox insmod ";
    const std::string layer = insmod + "/rtl_layer.o release=" + kRelease;
    auto tables = [](const std::string &tag) {
        return std::vector<Step>{{"modules_" + tag, "0 /bin/busybox cat /proc/modules"},
                                 {"ioports_" + tag, "0 /bin/busybox cat /proc/ioports"},
                                 {"interrupts_" + tag, "0 /bin/busybox cat /proc/interrupts"}};
    };
    std::vector<Step> s = {
        {"ier", "0 /portpoke32 w 131 1"},   // the UART's receive interrupt on (0 to FCR with it)
        {"load_without_layer", insmod + "/echorange.o"},
        {"hold_port", insmod + "/ioholder.o port=0x131"},
        {"layer", layer},
        {"uname_layer", "0 /bin/busybox uname -r"},
        {"dmesg_boot", "dmesg"},
        {"load_port_taken", insmod + "/echorange.o"},
        {"dmesg_port_taken", "dmesg"},
    };
    for (auto &t : tables("port_taken"))
        s.push_back(t);
    for (auto &t : std::vector<Step>{
             {"shot_port_taken", "0 /rangectl32 shot 1"},
             {"unhold_port", "0 /bin/busybox rmmod ioholder"},
             {"layer_out", "0 /bin/busybox rmmod rtl_layer"},
             {"uname_plain", "0 /bin/busybox uname -r"},
             {"hold_irq", insmod + "/ioholder.o irq=11"},
             {"layer_again", layer},
             {"load_irq_taken", insmod + "/echorange.o"},
             {"dmesg_irq_taken", "dmesg"},
         })
        s.push_back(t);
    for (auto &t : tables("irq_taken"))
        s.push_back(t);
    for (auto &t : std::vector<Step>{
             {"shot_irq_taken", "0 /rangectl32 shot 1"},
             {"unhold_irq", "0 /bin/busybox rmmod ioholder"},
             {"dmesg_before_load", "dmesg"},
             {"load", insmod + "/echorange.o"},
             {"dmesg_load", "dmesg"},
         })
        s.push_back(t);
    for (auto &t : tables("loaded"))
        s.push_back(t);
    s.push_back({"lsmod", "0 /bin/busybox lsmod"});
    s.push_back({"load_twice", insmod + "/echorange.o"});
    s.push_back({"modules_twice", "0 /bin/busybox cat /proc/modules"});
    for (int i = 0; i < kShots; ++i)
        s.push_back({"shot1_" + std::to_string(i), "0 /rangectl32 -t 2000 shot 1"});
    for (int i = 0; i < kShots; ++i)
        s.push_back({"shot3_" + std::to_string(i), "0 /rangectl32 -t 2000 shot 3"});
    for (auto &t : std::vector<Step>{
             {"shot_none", "0 /rangectl32 shot 2"},
             {"after_shot_none", "0 /rangectl32 read -t 300"},
             {"start5", std::string("0 /rangectl32 start 5 ") + kPeriod},
             {"read5", "0 /rangectl32 read -t 3000 -n " + std::to_string(kPeriodicRead)},
             {"stop5", "0 /rangectl32 stop"},
             {"drain5", "0 /rangectl32 read -t 1000"},
             {"quiet5", "0 /rangectl32 read -t 1000"},
             {"start4", "0 /rangectl32 start 4 100"},
             {"read4", "0 /rangectl32 read -t 3000 -n 4"},
             {"stop4", "0 /rangectl32 stop"},
             {"drain4", "0 /rangectl32 read -t 1000"},
             {"watch6", std::string("0 /rangectl32 watch 6 ") + kPeriod + " -n " + std::to_string(kWatchPeriods)},
             {"drain6", "0 /rangectl32 read -t 1000"},
             {"hold", "0 /bin/busybox sh /hold.sh"},
             {"unload", "0 /bin/busybox rmmod echorange"},
             {"dmesg_unload", "dmesg"},
         })
        s.push_back(t);
    for (auto &t : tables("unloaded"))
        s.push_back(t);
    for (auto &t : std::vector<Step>{
             {"shot_unloaded", "0 /rangectl32 shot 1"},
             {"layer_last_out", "0 /bin/busybox rmmod rtl_layer"},
             {"uname_last", "0 /bin/busybox uname -r"},
             {"dmesg_end", "dmesg"},
         })
        s.push_back(t);
    return s;
}

struct Results {
    std::string skip, failure;
    std::map<std::string, GuestRun> runs;
    std::vector<int> fires;     // the board's "fire on channel N", in order
    std::string board_log, console;
    double seconds = 0;
};
Results results;

// The board program, started before QEMU (which connects to its socket).
pid_t start_board(const std::string &dir, std::string &error)
{
    std::vector<std::string> args = {BOARD, "--socket", dir + "/board.sock", "--log", dir + "/board.log",
                                     "--ready", dir + "/board.ready", "--accept-timeout", "120"};
    for (const auto &t : kTargets) {
        args.push_back("--target");
        args.push_back(std::to_string(t.first) + ":" + std::to_string(t.second));
    }
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        execv(BOARD, argv.data());
        _exit(127);
    }
    if (pid < 0) {
        error = "fork failed";
        return -1;
    }
    struct stat st;
    for (int i = 0; i < 1000; ++i) {  // up to 100 s on a very busy machine
        if (stat((dir + "/board.ready").c_str(), &st) == 0)
            return pid;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            error = "the board program ended before it listened";
            return -1;
        }
        usleep(100000);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    error = "the board program did not listen within 100 s";
    return -1;
}

std::vector<int> parse_fires(const std::string &log)
{
    std::vector<int> fires;
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);) {
        size_t at = l.find("fire on channel ");
        if (at != std::string::npos)
            fires.push_back(std::atoi(l.c_str() + at + 16));
    }
    return fires;
}

void run_all()
{
    const std::vector<std::pair<std::string, std::string>> needs = {
        {RTL_LAYER, "rtl_layer.o is not built: " RTL_LAYER_MISSING},
        {ECHORANGE_LABPC, "echorange.o (echorange_labpc) is not built: " ECHORANGE_LABPC_MISSING},
        {BUSYBOX, "busybox for the guests is not built: " BUSYBOX_MISSING},
        {RANGECTL32, "the static 32-bit programs are not built (see cmake's warning)"},
        {GUEST_INIT, "the guest's /init is not built (see cmake's warning)"},
        {BOARD, "the board program is not built"}};
    for (const auto &n : needs)
        if (n.first.empty()) {
            results.skip = n.second;
            return;
        }
    struct stat st;
    if (stat(labpc::modules_kernel_path().c_str(), &st) != 0) {
        results.skip = "no Linux 2.4.18 kernel at " + labpc::modules_kernel_path() + " (../shared/platform is absent)";
        return;
    }

    static testutil::TempDir work;
    const std::string dir = work.path();
    std::string error;
    pid_t board = start_board(dir, error);
    if (board < 0) {
        results.failure = error;
        return;
    }

    labpc::GuestPlan plan;
    plan.init = GUEST_INIT;
    plan.kernel = labpc::modules_kernel_path();
    plan.files = {{"rangectl32", RANGECTL32}, {"portpoke32", PORTPOKE32}};
    plan.data = {{"rtl_layer.o", testutil::read_file(RTL_LAYER)},
                 {"ioholder.o", testutil::read_file(IOHOLDER)},
                 {"echorange.o", testutil::read_file(ECHORANGE_LABPC)},
                 {"hold.sh", kHoldScript}};
    mkdir((dir + "/root").c_str(), 0755);
    mkdir((dir + "/root/bin").c_str(), 0755);
    plan.files.push_back({"bin/busybox", BUSYBOX});
    for (int n = 0; n < 4; ++n)
        plan.nodes.push_back("rtf" + std::to_string(n) + " c 150 " + std::to_string(n) + " 0666");
    const std::vector<Step> all = steps();
    for (const auto &s : all)
        plan.commands.push_back(s.command);
    // The board's UART, alone on IRQ 11: no network card (QEMU's default one
    // would take a PCI line), nothing on the parallel port.
    plan.qemu_args = {"-nic", "none", "-parallel", "null", "-device", "isa-serial,iobase=0x130,irq=11,chardev=board",
                      "-chardev", "socket,id=board,path=" + dir + "/board.sock"};
    labpc::GuestBoot boot = labpc::boot_guest(plan, dir);

    // QEMU is gone: the board writes its last line and ends.
    int status = 0;
    for (int i = 0; i < 300 && waitpid(board, &status, WNOHANG) == 0; ++i)
        usleep(100000);
    if (kill(board, 0) == 0) {
        kill(board, SIGTERM);
        waitpid(board, &status, 0);
    }
    results.board_log = testutil::read_file(dir + "/board.log");
    results.fires = parse_fires(results.board_log);
    results.console = boot.console;
    results.seconds = boot.seconds;
    results.skip = boot.skip;
    results.failure = boot.failure;
    if (!results.failure.empty() || !results.skip.empty())
        return;
    if (boot.runs.size() != all.size()) {
        results.failure = std::to_string(boot.runs.size()) + " records for " + std::to_string(all.size()) + " commands";
        return;
    }
    for (size_t i = 0; i < all.size(); ++i)
        results.runs[all[i].key] = boot.runs[i];
}

const GuestRun &run(const std::string &key)
{
    static const GuestRun none;
    auto it = results.runs.find(key);
    return it == results.runs.end() ? none : it->second;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// Values as rangectl read prints them, one per line.
std::vector<int> values(const std::string &text)
{
    std::vector<int> v;
    for (const auto &l : lines(text))
        v.push_back(std::atoi(l.c_str()));
    return v;
}

bool has_line(const std::string &text, const std::string &line)
{
    for (const auto &l : lines(text))
        if (l == line)
            return true;
    return false;
}

bool has_line_starting(const std::string &text, const std::string &start)
{
    for (const auto &l : lines(text))
        if (l.rfind(start, 0) == 0)
            return true;
    return false;
}

// The line of IRQ 11 in /proc/interrupts, or "".
std::string irq11(const std::string &interrupts)
{
    for (const auto &l : lines(interrupts))
        if (l.rfind(" 11:", 0) == 0)
            return l;
    return "";
}

int median(std::vector<int> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string joined(const std::vector<int> &v)
{
    std::string s;
    for (int x : v)
        s += (s.empty() ? "" : " ") + std::to_string(x);
    return s;
}

class EchorangeBoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(results.failure, "") << "kernel console:\n" << results.console;
        ASSERT_FALSE(results.runs.empty());
    }
};

// --- loading -------------------------------------------------------------

TEST_F(EchorangeBoot, InsmodChecksTheKernelVersionAndTheLayerGivesTheLabPcsRelease)
{
    // Without the layer the kernel's own release stands: insmod (no -f)
    // refuses the module for its kernel_version.
    EXPECT_EQ(run("load_without_layer").status, "exit 1");
    EXPECT_NE(run("load_without_layer").err.find("kernel-module version mismatch"), std::string::npos)
        << run("load_without_layer").err;
    EXPECT_NE(run("load_without_layer").err.find(std::string("compiled for kernel version ") + kRelease),
              std::string::npos);
    EXPECT_EQ(run("layer").status, "exit 0") << run("layer").err;
    EXPECT_EQ(run("uname_layer").out, std::string(kRelease) + "\n");
    // Unloading the layer gives the release back.
    EXPECT_EQ(run("layer_out").status, "exit 0") << run("layer_out").err;
    EXPECT_EQ(run("uname_plain").out, std::string(kKernelRelease) + "\n");
    EXPECT_EQ(run("layer_last_out").status, "exit 0") << run("layer_last_out").err;
    EXPECT_EQ(run("uname_last").out, std::string(kKernelRelease) + "\n");
    // The kernel's console still goes to its file with the board's UART added.
    EXPECT_NE(results.console.find(std::string("Linux version ") + kKernelRelease), std::string::npos);
}

TEST_F(EchorangeBoot, LoadHoldsFifosRegionAndIrq11)
{
    const GuestRun &load = run("load");
    EXPECT_EQ(load.status, "exit 0") << load.err;
    // busybox's only words on a good load: the licence warning (the module
    // has no MODULE_LICENSE), nothing about versions or symbols.
    EXPECT_EQ(load.out, "Warning: loading echorange will taint the kernel: no license\n"
                        "  See http://www.tux.org/lkml/#export-tainted for information about tainted modules\n");
    EXPECT_EQ(load.err, "");

    EXPECT_TRUE(has_line_starting(run("modules_loaded").out, "echorange ")) << run("modules_loaded").out;
    // The layer is used by the module (a reference insmod recorded).
    EXPECT_TRUE(has_line_starting(run("modules_loaded").out, "rtl_layer ")) << run("modules_loaded").out;
    EXPECT_NE(run("modules_loaded").out.find("[echorange]"), std::string::npos) << run("modules_loaded").out;
    EXPECT_TRUE(has_line_starting(run("lsmod").out, "echorange ")) << run("lsmod").out;
    EXPECT_TRUE(has_line(run("ioports_loaded").out, "0130-0133 : USS")) << run("ioports_loaded").out;
    std::string line = irq11(run("interrupts_loaded").out);
    EXPECT_NE(line.find("rtl_layer"), std::string::npos) << run("interrupts_loaded").out;
    // The module prints nothing when all goes well.
    EXPECT_EQ(run("dmesg_load").out.find("error"), std::string::npos) << run("dmesg_load").out;
}

TEST_F(EchorangeBoot, LoadingTwiceIsRefusedAndLeavesTheFirst)
{
    EXPECT_NE(run("load_twice").status, "exit 0");
    int count = 0;
    for (const auto &l : lines(run("modules_twice").out))
        count += l.rfind("echorange ", 0) == 0;
    EXPECT_EQ(count, 1) << run("modules_twice").out;
    // The first one still works: the shots after this step are answered.
    EXPECT_EQ(run("shot1_0").status, "exit 0");
}

// A load that fails leaves no module, no region, no IRQ 11 and no FIFO.
void expect_nothing_left(const std::string &tag, const std::string &interrupts_owner)
{
    SCOPED_TRACE(tag);
    EXPECT_FALSE(has_line_starting(run("modules_" + tag).out, "echorange ")) << run("modules_" + tag).out;
    EXPECT_EQ(run("modules_" + tag).out.find("[echorange]"), std::string::npos);
    EXPECT_EQ(run("ioports_" + tag).out.find("USS"), std::string::npos) << run("ioports_" + tag).out;
    std::string line = irq11(run("interrupts_" + tag).out);
    if (interrupts_owner.empty()) {
        EXPECT_EQ(line, "") << run("interrupts_" + tag).out;
    } else {
        EXPECT_EQ(line.substr(line.rfind(' ') + 1), interrupts_owner) << line;
    }
    // No FIFO: open() says ENODEV, which rangectl reports as status 3.
    EXPECT_EQ(run("shot_" + tag).status, "exit 3") << run("shot_" + tag).err;
    EXPECT_NE(run("shot_" + tag).err.find("the FIFO does not exist"), std::string::npos);
}

TEST_F(EchorangeBoot, PortOfTheBoardTakenGivesIoErrorAndLeavesNothing)
{
    EXPECT_EQ(run("hold_port").status, "exit 0") << run("hold_port").err;
    EXPECT_EQ(run("load_port_taken").status, "exit 1") << run("load_port_taken").err;
    EXPECT_TRUE(has_line(run("dmesg_port_taken").out, "<4>I/O error.")) << run("dmesg_port_taken").out;
    EXPECT_EQ(run("dmesg_port_taken").out.find("IRQ error."), std::string::npos);
    EXPECT_TRUE(has_line(run("ioports_port_taken").out, "0131-0131 : ioholder")) << run("ioports_port_taken").out;
    expect_nothing_left("port_taken", "");
}

TEST_F(EchorangeBoot, Irq11TakenGivesIrqErrorAndLeavesNothing)
{
    EXPECT_EQ(run("hold_irq").status, "exit 0") << run("hold_irq").err;
    EXPECT_EQ(run("layer_again").status, "exit 0") << run("layer_again").err;
    EXPECT_EQ(run("load_irq_taken").status, "exit 1") << run("load_irq_taken").err;
    EXPECT_TRUE(has_line(run("dmesg_irq_taken").out, "<4>IRQ error.")) << run("dmesg_irq_taken").out;
    EXPECT_EQ(run("dmesg_irq_taken").out.find("I/O error."), std::string::npos);
    expect_nothing_left("irq_taken", "ioholder");
    // Once the line is free the same object loads.
    EXPECT_EQ(run("unhold_irq").status, "exit 0");
    EXPECT_EQ(run("load").status, "exit 0");
}

// --- ranging ---------------------------------------------------------------

std::vector<int> shots(const std::string &prefix)
{
    std::vector<int> d;
    for (int i = 0; i < kShots; ++i) {
        const GuestRun &r = run(prefix + std::to_string(i));
        EXPECT_EQ(r.status, "exit 0") << prefix << i << ": " << r.err;
        d.push_back(std::atoi(r.out.c_str()));
    }
    return d;
}

void expect_distance(const std::vector<int> &d, int target)
{
    int best = *std::min_element(d.begin(), d.end());
    EXPECT_GE(best, target - kEarlyMm) << joined(d);
    EXPECT_LE(best, target + kBestLateMm) << joined(d);
    EXPECT_GE(median(d), target - kEarlyMm) << joined(d);
    EXPECT_LE(median(d), target + kMedianLateMm) << joined(d);
}

TEST_F(EchorangeBoot, SingleShotsMeasureTheTargets)
{
    expect_distance(shots("shot1_"), kTargets.at(1));
    expect_distance(shots("shot3_"), kTargets.at(3));
}

TEST_F(EchorangeBoot, SingleShotWithoutTargetPutsNothing)
{
    EXPECT_EQ(run("shot_none").status, "exit 1");
    EXPECT_EQ(run("shot_none").out, "no echo\n");
    // Nothing came afterwards either: the read ends at its timeout, which
    // for a read without a count is success.
    EXPECT_EQ(run("after_shot_none").status, "exit 0");
    EXPECT_EQ(run("after_shot_none").out, "");
}

// Periodic values: each shot puts 9999 at once (the test follows the shot
// directly: its echo cannot be back yet) and the distance when the echo
// comes.  So there is exactly one 9999 per shot, whatever the timing, and
// at most one distance per shot (the handler masks IRQ 11, only a shot
// unmasks it).  Normally each 9999 is followed by its distance; an echo the
// host delays past the next shot breaks a pair (and is measured against
// that shot), so pairs are counted, not required of every period.
struct Periodic {
    int markers = 0;            // 9999s: the shots
    std::vector<int> distances;
    int pairs = 0;              // a 9999 directly followed by a distance
};

Periodic periodic(const std::vector<int> &v)
{
    Periodic p;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == 9999) {
            ++p.markers;
            p.pairs += i + 1 < v.size() && v[i + 1] != 9999;
        } else {
            p.distances.push_back(v[i]);
        }
    }
    return p;
}

std::vector<int> sensor5_values()
{
    std::vector<int> v = values(run("read5").out), after = values(run("drain5").out);
    v.insert(v.end(), after.begin(), after.end());
    return v;
}

TEST_F(EchorangeBoot, PeriodicRangingGivesMarkerThenDistanceAndStopEndsIt)
{
    EXPECT_EQ(run("start5").status, "exit 0") << run("start5").err;
    EXPECT_EQ(run("read5").status, "exit 0") << run("read5").err;
    EXPECT_EQ(run("stop5").status, "exit 0") << run("stop5").err;
    ASSERT_EQ(values(run("read5").out).size(), size_t(kPeriodicRead));
    std::vector<int> v = sensor5_values();
    Periodic p = periodic(v);
    EXPECT_EQ(v.front(), 9999) << joined(v);
    EXPECT_LE(p.distances.size(), size_t(p.markers)) << joined(v);
    EXPECT_GE(p.pairs, kPeriodicRead / 2 - 1) << joined(v);
    ASSERT_FALSE(p.distances.empty()) << joined(v);
    EXPECT_GE(median(p.distances), kTargets.at(5) - kEarlyMm) << joined(v);
    EXPECT_LE(median(p.distances), kTargets.at(5) + kMedianLateMm) << joined(v);
    // After stop: the values of the last period came, then nothing (each
    // read ends at its timeout, success for a read without a count).
    EXPECT_EQ(run("drain5").status, "exit 0");
    EXPECT_EQ(run("quiet5").status, "exit 0");
    EXPECT_EQ(run("quiet5").out, "");
}

TEST_F(EchorangeBoot, PeriodicRangingWithoutTargetGivesOnlyMarkers)
{
    EXPECT_EQ(run("start4").status, "exit 0");
    EXPECT_EQ(run("read4").out, "9999\n9999\n9999\n9999\n");
    for (int x : values(run("drain4").out))
        EXPECT_EQ(x, 9999);
}

// watch's lines: "T 6 MM" for a period with its echo, "T 6 no echo" for one
// whose echo had not come by the next shot.
struct Watch {
    std::vector<int> distances;
    int silent = 0;
    bool last_silent = false;
};

Watch watch_lines(const std::string &out)
{
    Watch w;
    for (const auto &x : lines(out)) {
        double t;
        int sensor, mm;
        char word[8] = "";
        if (std::sscanf(x.c_str(), "%lf %d %d", &t, &sensor, &mm) == 3) {
            EXPECT_EQ(sensor, 6) << x;
            w.distances.push_back(mm);
            w.last_silent = false;
        } else if (std::sscanf(x.c_str(), "%lf %d no %7s", &t, &sensor, word) == 3 && std::string(word) == "echo") {
            ++w.silent;
            w.last_silent = true;
        } else {
            ADD_FAILURE() << "not a watch line: " << x;
        }
    }
    return w;
}

TEST_F(EchorangeBoot, WatchGivesOneLinePerPeriod)
{
    const GuestRun &r = run("watch6");
    EXPECT_EQ(r.status, "exit 0") << r.err;
    ASSERT_EQ(lines(r.out).size(), size_t(kWatchPeriods)) << r.out;
    Watch w = watch_lines(r.out);
    ASSERT_GE(w.distances.size(), size_t(kWatchPeriods / 2)) << r.out;
    EXPECT_GE(median(w.distances), kTargets.at(6) - kEarlyMm) << r.out;
    EXPECT_LE(median(w.distances), kTargets.at(6) + kMedianLateMm) << r.out;
}

// The board saw exactly the shots the guest made: each one's channel byte
// is the sensor number - 1, in the order of the commands, and none after
// stop.  Periodic shots are counted by their 9999s; watch consumed one per
// line, and one more when its last line was "no echo" (the 9999 of the
// next shot closed that period).
TEST_F(EchorangeBoot, BoardSawEachShotOnItsChannel)
{
    std::vector<int> want;
    want.insert(want.end(), kShots, 0);   // sensor 1
    want.insert(want.end(), kShots, 2);   // sensor 3
    want.push_back(1);                    // sensor 2, no target
    want.insert(want.end(), periodic(sensor5_values()).markers, 4);
    want.insert(want.end(), values(run("read4").out).size() + values(run("drain4").out).size(), 3);
    Watch w = watch_lines(run("watch6").out);
    want.insert(want.end(), kWatchPeriods + (w.last_silent ? 1 : 0) + periodic(values(run("drain6").out)).markers, 5);
    EXPECT_EQ(joined(results.fires), joined(want)) << results.board_log;
}

// --- unloading -------------------------------------------------------------

TEST_F(EchorangeBoot, RmmodRefusedWhileAFifoIsOpenAndAcceptedAfter)
{
    const GuestRun &h = run("hold");
    EXPECT_EQ(h.status, "exit 0") << h.err;
    EXPECT_TRUE(has_line(h.out, "shot while held: 4")) << h.out << h.err;   // EACCES: one process at a time
    EXPECT_TRUE(has_line(h.out, "rmmod while held: 1")) << h.out << h.err;
    EXPECT_NE(h.err.find("can't unload"), std::string::npos) << h.err;
    // The open FIFO is a use of the module.
    EXPECT_TRUE(has_line_starting(h.out, "echorange ")) << h.out;
    for (const auto &l : lines(h.out))
        if (l.rfind("echorange ", 0) == 0) {
            std::istringstream words(l);
            std::string name, size, uses;
            words >> name >> size >> uses;
            EXPECT_EQ(uses, "1") << l;
        }

    EXPECT_EQ(run("unload").status, "exit 0") << run("unload").err;
    EXPECT_FALSE(has_line_starting(run("modules_unloaded").out, "echorange ")) << run("modules_unloaded").out;
    EXPECT_EQ(run("modules_unloaded").out.find("[echorange]"), std::string::npos);
    EXPECT_EQ(run("ioports_unloaded").out.find("USS"), std::string::npos);
    EXPECT_EQ(irq11(run("interrupts_unloaded").out), "");
    EXPECT_EQ(run("shot_unloaded").status, "exit 3");
    // The module gave back everything: the layer found nothing left over
    // (a FIFO not destroyed, a thread not deleted, an IRQ still installed).
    EXPECT_EQ(run("dmesg_unload").out.find("rtl_layer"), std::string::npos) << run("dmesg_unload").out;
    EXPECT_EQ(run("dmesg_end").out.find("was not"), std::string::npos) << run("dmesg_end").out;
    EXPECT_EQ(run("dmesg_end").out.find("was still"), std::string::npos) << run("dmesg_end").out;
    EXPECT_TRUE(has_line(run("dmesg_end").out, "<6>rtl_layer: unloaded")) << run("dmesg_end").out;
}

void print_record(const char *title, const std::string &key)
{
    const GuestRun &r = run(key);
    std::printf("--- %s: %s -> %s\n%s%s", title, r.command.c_str(), r.status.c_str(), r.out.c_str(), r.err.c_str());
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
    if (results.failure.empty() && !results.runs.empty()) {
        std::printf("Booted Linux 2.4.18 under QEMU and ran %zu commands in %.1f s\n", results.runs.size(),
                    results.seconds);
        std::printf("--- the layer's load (kernel log)\n");
        for (const auto &l : lines(run("dmesg_boot").out))
            if (l.find("rtl_layer") != std::string::npos)
                std::printf("%s\n", l.c_str());
        print_record("insmod", "load");
        print_record("/proc/modules", "modules_loaded");
        std::printf("--- /proc/ioports and /proc/interrupts lines: ");
        for (const auto &l : lines(run("ioports_loaded").out))
            if (l.find("USS") != std::string::npos)
                std::printf("%s | ", l.c_str());
        std::printf("%s\n", irq11(run("interrupts_loaded").out).c_str());
        print_record("insmod twice", "load_twice");
        print_record("port taken", "load_port_taken");
        print_record("its kernel log", "dmesg_port_taken");
        print_record("IRQ 11 taken", "load_irq_taken");
        print_record("its kernel log", "dmesg_irq_taken");
        print_record("kernel log of the good load", "dmesg_load");
        print_record("rmmod with /dev/rtf1 open", "hold");
        print_record("rmmod", "unload");
        print_record("kernel log of the unload", "dmesg_unload");
        print_record("kernel log after the layer's unload", "dmesg_end");
        std::vector<int> d1, d3;
        for (int i = 0; i < kShots; ++i) {
            d1.push_back(std::atoi(run("shot1_" + std::to_string(i)).out.c_str()));
            d3.push_back(std::atoi(run("shot3_" + std::to_string(i)).out.c_str()));
        }
        std::printf("--- shots at 1000 mm: %s (median %d)\n", joined(d1).c_str(), median(d1));
        std::printf("--- shots at 3000 mm: %s (median %d)\n", joined(d3).c_str(), median(d3));
        std::printf("--- periodic, 2000 mm: %s | after stop: %s\n", joined(values(run("read5").out)).c_str(),
                    joined(values(run("drain5").out)).c_str());
        print_record("watch, 1500 mm", "watch6");
        std::printf("--- after the watch: %s\n", joined(values(run("drain6").out)).c_str());
        std::printf("--- the board's log\n%s", results.board_log.c_str());
    }
    std::fflush(stdout);
    return RUN_ALL_TESTS();
}
