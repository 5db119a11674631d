// The lab PC's programs on a real Linux 2.4 kernel.
//
// One boot of the i386 2.4 kernel from ../shared/platform under
// qemu-system-i386 (the smallest processor model they run on, see
// kLabPcCpu), with a RAM disk that holds psload32, portpoke32, rangectl32, a
// data file and /init (guest_init.c), which runs a list of commands as root or as an
// ordinary user and sends each one's output and exit status back on the
// second serial port.  QEMU's own parallel port at 0x378 answers the port
// accesses and QEMU traces them; no FPGA is attached, so psload must end in
// the handshake failure and the trace must show exactly the accesses of that
// path.
//
// Exit status 77 (skipped) with the reason when the kernel, QEMU, the e2fs
// tools or the static programs are missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "guest.h"
#include "run.h"

namespace {

// Debian's i386 code (musl-dev:i386, and gcc -m32's default) is i686; the
// smallest processor model of QEMU that has it is the Pentium II.
const char *const kLabPcCpu = "pentium2";

using labpc::GuestRun;

// The parallel port's registers, as offsets in QEMU's trace.
const int kData = 0, kStatus = 1, kControl = 2, kMark = 3;

struct Access {
    bool write;
    int reg;
    int value;
    std::string text;  // the trace line, for messages
};

// What one boot gave back.
struct Boot {
    std::string skip;                            // non-empty: why not booted
    std::string failure;                         // non-empty: the boot went wrong
    std::vector<GuestRun> runs;                  // in command order
    std::vector<std::vector<Access>> accesses;   // [0]: before the first command; [i]: command i
    std::string console;
    double seconds = 0;
};
Boot boot;

// The commands, as the guest's /init reads them: user id, program, arguments.
const std::vector<std::string> kCommands = {
    "0 /psload32 -v /sample.ttf",             // 1 memory mode
    "0 /psload32 -v -mf 1 /sample.ttf",       // 2 sequential mode
    "0 /portpoke32 w 378 12a5",               // 3 write the data register (and the status register)
    "0 /portpoke32 r 378",                    // 4 read it back
    "1000 /psload32 -v /sample.ttf",          // 5 no privilege: refused, no port touched
    "1000 /portpoke32 r 378",                 // 6
    "1000 /portpoke32 w 378 1",               // 7
    "0 /psload32 -h",                         // 8 help, status 8
    "0 /rangectl32 -h",                       // 9 help, status 0
    "1000 /rangectl32 shot 1",                // 10 no RT-FIFO device in this guest: status 3
};

// Lines like "parallel_ioport_write write [SW] addr 0x02 val 0x05".
std::vector<std::vector<Access>> parse_trace(const std::string &trace)
{
    std::vector<std::vector<Access>> pieces(1);
    std::stringstream s(trace);
    std::string l;
    while (std::getline(s, l)) {
        unsigned addr = 0, val = 0;
        char dir[8] = "";
        if (std::sscanf(l.c_str(), "parallel_ioport_%*s %7s [%*[^]]] addr 0x%x val 0x%x", dir, &addr, &val) != 3)
            continue;
        Access a{std::string(dir) == "write", static_cast<int>(addr), static_cast<int>(val), l};
        if (!a.write && a.reg == kMark)
            pieces.emplace_back();
        else
            pieces.back().push_back(a);
    }
    return pieces;
}

void run_boot()
{
    if (std::string(PSLOAD32).empty() || std::string(PORTPOKE32).empty() || std::string(RANGECTL32).empty() ||
        std::string(GUEST_INIT).empty()) {
        boot.skip = "the static 32-bit programs are not built (see cmake's warning)";
        return;
    }
    testutil::TempDir work;
    std::string trace = work.path() + "/trace.txt";
    labpc::GuestPlan plan;
    plan.init = GUEST_INIT;
    plan.files = {{"psload32", PSLOAD32}, {"portpoke32", PORTPOKE32}, {"rangectl32", RANGECTL32}};
    plan.data = {{"sample.ttf", testutil::read_file(SAMPLE_TTF)}};
    plan.commands = kCommands;
    plan.qemu_args = {"-parallel", "null", "-trace", "parallel_ioport_*", "-D", trace};
    labpc::GuestBoot b = labpc::boot_guest(plan, work.path());
    boot.skip = b.skip;
    boot.failure = b.failure;
    boot.runs = b.runs;
    boot.console = b.console;
    boot.seconds = b.seconds;
    if (boot.skip.empty() && boot.failure.empty())
        boot.accesses = parse_trace(testutil::read_file(trace));
}

class LabPcBoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(boot.failure, "") << "kernel console:\n" << boot.console;
        ASSERT_EQ(boot.runs.size(), kCommands.size()) << "kernel console:\n" << boot.console;
        ASSERT_EQ(boot.accesses.size(), kCommands.size() + 1) << "one trace mark per command";
    }
    const GuestRun &run(size_t command) const { return boot.runs.at(command - 1); }
    const std::vector<Access> &accesses(size_t command) const { return boot.accesses.at(command); }
};

std::string describe(const std::vector<Access> &a)
{
    std::string s;
    for (const auto &x : a)
        s += x.text + "\n";
    return s;
}

// The accesses psload makes when the FPGA never answers the configuration
// start: idle, read the status, clear the data register; nCONFIG pulse (with
// one delay write to 0x80, which is not on the parallel port); 101 polls of
// the status register; then the port is set idle again.  Checks the read
// values too: the status read first is the one printed, and no poll saw
// nSTATUS high with CONF_DONE low.  Returns the first status value.
int check_handshake_failure_path(const std::vector<Access> &a)
{
    const std::vector<std::pair<bool, int>> head = {
        {true, kControl}, {false, kStatus}, {true, kData}, {true, kControl}, {true, kControl}};
    const std::vector<int> head_values = {0x05, -1, 0x00, 0x01, 0x05};
    EXPECT_EQ(a.size(), head.size() + 101 + 2) << describe(a);
    if (a.size() != head.size() + 101 + 2)
        return -1;
    for (size_t i = 0; i < head.size(); ++i) {
        EXPECT_EQ(a[i].write, head[i].first) << i << ": " << a[i].text;
        EXPECT_EQ(a[i].reg, head[i].second) << i << ": " << a[i].text;
        if (head_values[i] >= 0) {
            EXPECT_EQ(a[i].value, head_values[i]) << i << ": " << a[i].text;
        }
    }
    for (size_t i = head.size(); i < head.size() + 101; ++i) {
        EXPECT_FALSE(a[i].write) << i << ": " << a[i].text;
        EXPECT_EQ(a[i].reg, kStatus) << i << ": " << a[i].text;
        EXPECT_NE(a[i].value & 0xA0, 0) << "a poll that saw the FPGA ready: " << a[i].text;
    }
    const Access &restore_data = a[head.size() + 101];
    const Access &restore_control = a[head.size() + 102];
    EXPECT_TRUE(restore_data.write && restore_data.reg == kData && restore_data.value == 0) << restore_data.text;
    EXPECT_TRUE(restore_control.write && restore_control.reg == kControl && restore_control.value == 0x05)
        << restore_control.text;
    return a[1].value;
}

std::string verbose_head(const char *mode)
{
    return std::string("Parameters:\n"
                       "  Program name              : /psload32 \n"
                       "  Verbose mode              : ON \n"
                       "  Input file name           : /sample.ttf \n"
                       "  Parallel port base address: 0x378 \n"
                       "  Dummy port address        : 0x80 \n"
                       "  Wait counts               : 0 loops\n"
                       "  Progress bar              : OFF \n"
                       "  File read mode            : ") +
           mode +
           "\n"
           "  I/O port access mode      : Direct access\n"
           "File loading...\n"
           "  File(/sample.ttf) is opened.\n"
           "  Include 4096 byte data.\n";
}

std::string status_lines(int st)
{
    char b[64];
    std::snprintf(b, sizeof b, "  Initial status port value = 0x%X\n", st);
    return std::string(b) + ((st & 0x80) ? "  [ nSTATUS = Low," : "  [ nSTATUS = High,") +
           ((st & 0x20) ? " CONF_DONE = High ]\n" : " CONF_DONE = Low ]\n");
}

std::string handshake_errors(int st)
{
    return std::string((st & 0x80) ? "init_port_direct(): Error, nSTATUS illigal value.\n" : "") +
           "init_sequense_direct(): Timeout, nSTATUS no response (Rise edge).\n"
           "Handshake Error, Check cable connection.\n";
}

TEST_F(LabPcBoot, PsloadInMemoryModeEndsInTheHandshakeFailure)
{
    int st = check_handshake_failure_path(accesses(1));
    ASSERT_GE(st, 0);
    EXPECT_EQ(run(1).out, verbose_head("Use memory (File -> Mem -> FPGA)") +
                              "  Memory allocated 32768(=8*4096)byte.\n"
                              "  All data is loaded from file to memory.\n"
                              "  File(/sample.ttf) is closed.\n"
                              "Download to FPGA...\n"
                              "  Direct access I/O port.\n" +
                              status_lines(st) +
                              "*Download Fail.\n"
                              "Settleing...\n"
                              "  Free memory.\n");
    EXPECT_EQ(run(1).err, handshake_errors(st));
    EXPECT_EQ(run(1).status, "exit 0");
}

TEST_F(LabPcBoot, PsloadInSequentialModeEndsInTheHandshakeFailure)
{
    int st = check_handshake_failure_path(accesses(2));
    ASSERT_GE(st, 0);
    EXPECT_EQ(run(2).out, verbose_head("Not use memory (File -> FPGA)") +
                              "Download to FPGA...\n"
                              "  Direct access I/O port.\n" +
                              status_lines(st) +
                              "*Download Fail.\n"
                              "Settleing...\n"
                              "  File(/sample.ttf) closed.\n");
    EXPECT_EQ(run(2).err, handshake_errors(st));
    EXPECT_EQ(run(2).status, "exit 0");
}

TEST_F(LabPcBoot, PortpokeWritesAndReadsBackTheDataRegister)
{
    // A 16-bit access is two byte accesses on the ISA bus: the low byte to
    // the data register, the high byte to the status register (read-only).
    const std::vector<Access> &w = accesses(3);
    ASSERT_EQ(w.size(), 2u) << describe(w);
    EXPECT_TRUE(w[0].write && w[0].reg == kData && w[0].value == 0xA5) << w[0].text;
    EXPECT_TRUE(w[1].write && w[1].reg == kStatus && w[1].value == 0x12) << w[1].text;
    EXPECT_EQ(run(3).out, "");
    EXPECT_EQ(run(3).err, "");
    EXPECT_EQ(run(3).status, "exit 0");

    const std::vector<Access> &r = accesses(4);
    ASSERT_EQ(r.size(), 2u) << describe(r);
    EXPECT_TRUE(!r[0].write && r[0].reg == kData && r[0].value == 0xA5) << r[0].text;
    EXPECT_TRUE(!r[1].write && r[1].reg == kStatus) << r[1].text;
    char want[16];
    std::snprintf(want, sizeof want, "%02XA5\n", r[1].value);
    EXPECT_EQ(run(4).out, want);
    EXPECT_EQ(run(4).err, "");
    EXPECT_EQ(run(4).status, "exit 0");
}

TEST_F(LabPcBoot, WithoutPrivilegeNoPortIsTouched)
{
    // Linux 2.4 refuses ioperm to an ordinary user (EPERM) but lets it give
    // back what it never had, so the releases print nothing.
    EXPECT_TRUE(accesses(5).empty()) << describe(accesses(5));
    EXPECT_EQ(run(5).err, "I/O Port Error, Check parallel port I/O address.\n");
    EXPECT_EQ(run(5).out, verbose_head("Use memory (File -> Mem -> FPGA)") +
                              "  Memory allocated 32768(=8*4096)byte.\n"
                              "  All data is loaded from file to memory.\n"
                              "  File(/sample.ttf) is closed.\n"
                              "Download to FPGA...\n"
                              "  Direct access I/O port.\n"
                              "*Download Fail.\n"
                              "Settleing...\n"
                              "  Free memory.\n");
    EXPECT_EQ(run(5).status, "exit 0");

    EXPECT_TRUE(accesses(6).empty()) << describe(accesses(6));
    EXPECT_EQ(run(6).out, "");
    EXPECT_EQ(run(6).err, "I/O Port Error, Check port I/O address 378.\n");
    EXPECT_EQ(run(6).status, "exit 255");

    EXPECT_TRUE(accesses(7).empty()) << describe(accesses(7));
    EXPECT_EQ(run(7).out, "");
    EXPECT_EQ(run(7).err, "I/O Port Error, Check port I/O address.\n");
    EXPECT_EQ(run(7).status, "exit 255");
}

TEST_F(LabPcBoot, HelpTextAndStatus8)
{
    EXPECT_TRUE(accesses(8).empty()) << describe(accesses(8));
    EXPECT_EQ(run(8).out, "");
    EXPECT_EQ(run(8).err.rfind("(Help) Usage is /psload32 [options] input_file\n", 0), 0u) << run(8).err;
    EXPECT_NE(run(8).err.find("\n    /psload32 -v -b -p 2 -w 10 -mf 1 hogehoge.ttf\n"), std::string::npos);
    EXPECT_EQ(run(8).status, "exit 8");
}

TEST_F(LabPcBoot, RangectlStartsAndTouchesNoPort)
{
    EXPECT_TRUE(accesses(9).empty()) << describe(accesses(9));
    EXPECT_EQ(run(9).out.rfind("usage: rangectl [options] shot SENSOR\n", 0), 0u) << run(9).out;
    EXPECT_EQ(run(9).err, "");
    EXPECT_EQ(run(9).status, "exit 0");

    // Without the module there is no /dev/rtf2: "FIFO missing".
    EXPECT_TRUE(accesses(10).empty()) << describe(accesses(10));
    EXPECT_EQ(run(10).out, "");
    EXPECT_EQ(run(10).err.rfind("rangectl: /dev/rtf2: ", 0), 0u) << run(10).err;
    EXPECT_EQ(run(10).status, "exit 3");
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    run_boot();
    if (!boot.skip.empty()) {
        std::printf("SKIP: %s\n", boot.skip.c_str());
        return 77;
    }
    std::printf("Booted Linux 2.4 on -cpu %s in about %.0f s; %zu commands ran; %zu parallel-port accesses "
                "before the first (the kernel's own probe)\n",
                kLabPcCpu, boot.seconds, boot.runs.size(),
                boot.accesses.empty() ? size_t(0) : boot.accesses[0].size());
    // For the record: what psload printed on Linux 2.4 and the port trace of
    // that run, repeated lines counted.
    if (!boot.runs.empty() && boot.accesses.size() > 1) {
        std::printf("--- %s: standard output\n%s--- standard error\n%s--- %s\n--- its parallel-port trace\n",
                    boot.runs[0].command.c_str(), boot.runs[0].out.c_str(), boot.runs[0].err.c_str(),
                    boot.runs[0].status.c_str());
        const std::vector<Access> &a = boot.accesses[1];
        for (size_t i = 0; i < a.size();) {
            size_t j = i;
            while (j < a.size() && a[j].text == a[i].text)
                ++j;
            if (j - i > 1)
                std::printf("%s   (x%zu)\n", a[i].text.c_str(), j - i);
            else
                std::printf("%s\n", a[i].text.c_str());
            i = j;
        }
    }
    std::fflush(stdout);
    return RUN_ALL_TESTS();
}
