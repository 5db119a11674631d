// The lab PC's programs on a real Linux 2.4 kernel.
//
// One boot of the i386 2.4 kernel from ../shared/platform under
// qemu-system-i386 (the smallest processor model they run on, see
// kLabPcCpu), with a RAM disk that holds psload32, portpoke32, a data file
// and /init (guest_init.c), which runs a list of commands as root or as an
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

#include "run.h"

namespace {

// Debian's i386 code (musl-dev:i386, and gcc -m32's default) is i686; the
// smallest processor model of QEMU that has it is the Pentium II.
const char *const kLabPcCpu = "pentium2";
const char *const kKernel = LABPC_PLATFORM "/linux-2.4-kernel/bzImage-2.4.37.11-i386";

// The parallel port's registers, as offsets in QEMU's trace.
const int kData = 0, kStatus = 1, kControl = 2, kMark = 3;

struct GuestRun {
    std::string command;
    std::string out, err, status;
};

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
};

std::string find_program(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin";
    std::stringstream s(dirs);
    std::string dir;
    while (std::getline(s, dir, ':')) {
        std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (access(full.c_str(), X_OK) == 0)
            return full;
    }
    return "";
}

std::vector<GuestRun> parse_results(const std::string &bytes, std::string &failure)
{
    std::vector<GuestRun> runs;
    size_t pos = 0;
    auto line = [&]() {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) {
            pos = bytes.size();
            return std::string("@truncated");
        }
        std::string l = bytes.substr(pos, end - pos);
        pos = end + 1;
        return l;
    };
    auto block = [&](const std::string &tag) {
        std::string head = line();
        if (head.rfind("@" + tag + " ", 0) != 0) {
            failure = "expected @" + tag + ", got " + head;
            return std::string();
        }
        size_t n = std::stoul(head.substr(tag.size() + 2));
        std::string data = bytes.substr(pos, n);
        pos += n;
        return data;
    };
    for (;;) {
        std::string head = line();
        if (head == "@done")
            return runs;
        if (head.rfind("@run ", 0) != 0) {
            failure = "guest results end early (" + head + ") after " + std::to_string(runs.size()) + " runs";
            return runs;
        }
        GuestRun r;
        r.out = block("out");
        r.err = block("err");
        std::string st = line();
        if (!failure.empty())
            return runs;
        r.status = st.rfind("@status ", 0) == 0 ? st.substr(8) : st;
        if (runs.size() < kCommands.size())
            r.command = kCommands[runs.size()];
        runs.push_back(r);
    }
}

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
    if (std::string(PSLOAD32).empty() || std::string(PORTPOKE32).empty() || std::string(GUEST_INIT).empty()) {
        boot.skip = "the static 32-bit programs are not built (see cmake's warning)";
        return;
    }
    if (access(kKernel, R_OK) != 0) {
        boot.skip = std::string("no Linux 2.4 kernel at ") + kKernel + " (../shared/platform is absent)";
        return;
    }
    std::string qemu = find_program("qemu-system-i386");
    std::string mke2fs = find_program("mke2fs");
    std::string debugfs = find_program("debugfs");
    std::string timeout = find_program("timeout");
    if (qemu.empty()) {
        boot.skip = "qemu-system-i386 is not installed (Debian package qemu-system-x86)";
        return;
    }
    if (mke2fs.empty() || debugfs.empty() || timeout.empty()) {
        boot.skip = "mke2fs/debugfs (Debian package e2fsprogs) or timeout is missing";
        return;
    }

    testutil::TempDir work;
    std::string root = work.path() + "/root";
    mkdir(root.c_str(), 0755);
    // The RAM disk's files.
    {
        std::string commands;
        for (const auto &c : kCommands)
            commands += c + "\n";
        std::string files[][2] = {{"init", GUEST_INIT}, {"psload32", PSLOAD32}, {"portpoke32", PORTPOKE32}};
        for (auto &f : files) {
            std::string to = root + "/" + f[0];
            std::FILE *o = std::fopen(to.c_str(), "wb");
            std::string content = testutil::read_file(f[1]);
            if (!o || std::fwrite(content.data(), 1, content.size(), o) != content.size()) {
                boot.failure = "cannot write " + to;
                if (o)
                    std::fclose(o);
                return;
            }
            std::fclose(o);
            chmod(to.c_str(), 0755);
        }
        std::string ttf = testutil::read_file(SAMPLE_TTF);
        std::FILE *o = std::fopen((root + "/sample.ttf").c_str(), "wb");
        std::FILE *c = std::fopen((root + "/commands").c_str(), "wb");
        if (!o || !c) {
            boot.failure = "cannot write the RAM disk's files";
            return;
        }
        std::fwrite(ttf.data(), 1, ttf.size(), o);
        std::fwrite(commands.data(), 1, commands.size(), c);
        std::fclose(o);
        std::fclose(c);
        chmod((root + "/sample.ttf").c_str(), 0644);
    }
    std::string image = work.path() + "/rd.img";
    testutil::RunResult r = testutil::run_program(
        mke2fs, {"mke2fs", "-q", "-F", "-t", "ext2", "-r", "0", "-b", "1024", "-d", root, image, "4096"});
    if (r.exit_code != 0) {
        boot.failure = "mke2fs failed: " + r.err;
        return;
    }
    // The device nodes, made in the image itself: no privilege needed here.
    std::string nodes = work.write("nodes", "mkdir dev\ncd dev\n"
                                            "mknod console c 5 1\nsif console mode 020600\n"
                                            "mknod ttyS1 c 4 65\nsif ttyS1 mode 020600\n"
                                            "mknod null c 1 3\nsif null mode 020666\n");
    r = testutil::run_program(debugfs, {"debugfs", "-w", "-f", nodes, image});
    if (r.exit_code != 0) {
        boot.failure = "debugfs failed: " + r.err;
        return;
    }

    std::string console = work.path() + "/console.txt";
    std::string results = work.path() + "/results.bin";
    std::string trace = work.path() + "/trace.txt";
    time_t start = time(nullptr);
    r = testutil::run_program(
        timeout, {"timeout", "300", qemu, "-cpu", kLabPcCpu, "-m", "32", "-display", "none", "-no-reboot",
                  "-kernel", kKernel, "-initrd", image,
                  "-append", "root=/dev/ram0 rw ramdisk_size=8192 console=ttyS0 init=/init",
                  "-serial", "file:" + console, "-serial", "file:" + results, "-parallel", "null",
                  "-monitor", "none", "-trace", "parallel_ioport_*", "-D", trace});
    boot.seconds = difftime(time(nullptr), start);
    boot.console = testutil::read_file(console);
    if (r.exit_code != 0) {
        boot.failure = "qemu-system-i386 ended with status " + std::to_string(r.exit_code) + ": " + r.err;
        return;
    }
    boot.runs = parse_results(testutil::read_file(results), boot.failure);
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
