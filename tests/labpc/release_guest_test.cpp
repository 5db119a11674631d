// The lab PC's archive on the real Linux 2.4 kernels.
//
// One boot each of the 2.4.37 kernel and of the 2.4.18 kernel (the lab PC's
// release, with modules) from ../shared/platform under QEMU
// (tools/labpc-guest), whose RAM disk holds the archive, busybox (the guest's
// shell, tar, checksums) and a data file.  There, as the lab PC's user
// would: unpack the archive with busybox tar, check it with sha256sum -c and
// md5sum -c, run install.sh with busybox sh (refused for an ordinary user,
// then as root with psload set-user-ID root for group lab), run the
// installed programs as root and as ordinary users, and uninstall.
// QEMU's parallel port at 0x378 has nothing attached: a psload that reaches
// the ports ends in the handshake failure.  On 2.4.18 the archive's
// prebuilt echorange.o is also loaded, over the RTLinux layer
// (linux24_layer), and unloaded.
//
// The set-user-ID psload is checked on 2.4.18 only: the 2.4.37.11 kernel
// here kills every set-user-ID static musl program at its start (SIGSEGV,
// also a ten-line test program), and busybox's ls on it, while both run on
// 2.4.18.
//
// Exit status 77 (skipped) with the reason when QEMU, the kernel, busybox or
// the archive's inputs are missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "guest.h"
#include "run.h"

namespace {

using labpc::GuestRun;

const std::string kName = ARCHIVE_NAME;              // labtools-labpc-<version>-i386
const std::string kTop = "/tmp/" + kName;            // where it is unpacked
const std::string kBin = "/usr/local/bin/";

// The steps, in order; each names its command.
enum Step {
    kUname,
    kUnpack,
    kChecksums,
    kInstallAsUser,
    kInstall,
    kModes,
    kPsloadHelp,
    kPortpokeWrite,
    kPortpokeRead,
    kPortpokeAsUser,
    kRangectlHelp,
    kPsloadAsGroupMember,
    kPsloadUnreadableAsUser,
    kPsloadUnreadableAsRoot,
    kPsloadOutsideGroup,
    kUninstall,
    kLeftOver,
    kSteps
};

// 2.4.18 only: the archive's module object over the layer.
enum ModuleStep { kLayerIn, kModuleIn, kModules, kModuleOut, kLayerOut, kModuleSteps };
const char *const kModuleRelease = "2.4.18-rtl3.1";

struct Kernel {
    const char *label;
    const char *release;  // uname -r
    bool modules;
};
const Kernel kKernels[] = {{"2.4.37", "2.4.37.11", false}, {"2.4.18", "2.4.18-14custom", true}};

std::vector<std::string> commands()
{
    std::vector<std::string> c(kSteps);
    c[kUname] = "0 /bin/uname -r";
    c[kUnpack] = "0 /bin/tar -xzf /" + kName + ".tar.gz -C /tmp";
    c[kChecksums] = "0 /bin/sh /checksums.sh";
    c[kInstallAsUser] = "1000 /bin/sh " + kTop + "/install.sh";
    c[kInstall] = "0 /bin/sh " + kTop + "/install.sh --psload-group lab";
    c[kModes] = "0 /bin/stat -c %a_%u_%g_%n " + kBin + "psload " + kBin + "portpoke " + kBin + "rangectl";
    c[kPsloadHelp] = "0 " + kBin + "psload -h";
    c[kPortpokeWrite] = "0 " + kBin + "portpoke w 378 12a5";
    c[kPortpokeRead] = "0 " + kBin + "portpoke r 378";
    c[kPortpokeAsUser] = "1000 " + kBin + "portpoke r 378";
    c[kRangectlHelp] = "0 " + kBin + "rangectl -h";
    c[kPsloadAsGroupMember] = "1000 " + kBin + "psload -v /sample.ttf";
    c[kPsloadUnreadableAsUser] = "1000 " + kBin + "psload -v /secret.ttf";
    c[kPsloadUnreadableAsRoot] = "0 " + kBin + "psload -v /secret.ttf";
    c[kPsloadOutsideGroup] = "1001 " + kBin + "psload -h";
    c[kUninstall] = "0 /bin/sh " + kTop + "/install.sh --uninstall";
    c[kLeftOver] = "0 /bin/test -e /usr";
    return c;
}

// Before the steps: the tools' links, /tmp, the group lab (gid 1000) and a
// data file only root may read.
const std::vector<std::string> kPrepare = {
    "0 /busybox mkdir -p /bin /tmp /etc",
    "0 /busybox --install -s /bin",
    "0 /bin/sh /prepare.sh",
};

const char *const kPrepareScript =
    "set -e\n"
    "chmod 1777 /tmp\n"
    "printf 'root:x:0:0:root:/:/bin/sh\\nlab:x:1000:1000:lab:/tmp:/bin/sh\\n"
    "other:x:1001:1001:other:/tmp:/bin/sh\\n' >/etc/passwd\n"
    "printf 'root:x:0:\\nlab:x:1000:\\nother:x:1001:\\n' >/etc/group\n"
    "cp /sample.ttf /secret.ttf\n"
    "chmod 600 /secret.ttf\n";

std::vector<std::string> module_commands()
{
    std::vector<std::string> c(kModuleSteps);
    c[kLayerIn] = std::string("0 /bin/insmod /rtl_layer.o release=") + kModuleRelease;
    c[kModuleIn] = "0 /bin/insmod " + kTop + "/module/prebuilt/echorange.o";
    c[kModules] = "0 /bin/cat /proc/modules";
    c[kModuleOut] = "0 /bin/rmmod echorange";
    c[kLayerOut] = "0 /bin/rmmod rtl_layer";
    return c;
}

struct Boot {
    std::string skip, failure, console;
    std::vector<GuestRun> runs;  // the steps' records (preparation left out)
    std::vector<GuestRun> prepare;
    std::vector<GuestRun> module;  // 2.4.18: the module steps
    std::string module_skip;       // why not
    double seconds = 0;
};
Boot boots[2];

// What the archive holds, from its own SHA256SUMS (read here).
std::vector<std::string> archive_files;

void run_boot(int k, Boot &boot)
{
    if (std::string(GUEST_INIT).empty() || std::string(BUSYBOX).empty()) {
        boot.skip = "the static 32-bit programs or busybox are not built: " MISSING;
        return;
    }
    if (!std::string(MISSING).empty()) {
        boot.skip = MISSING;
        return;
    }
    std::string archive = testutil::read_file(ARCHIVE);
    if (archive.empty()) {
        boot.failure = "no archive at " ARCHIVE " (the labpc_release test makes it)";
        return;
    }
    testutil::TempDir work;
    if (archive_files.empty()) {
    testutil::RunResult sums = testutil::run_program(
        "/bin/sh", {"sh", "-c", "tar -xzOf \"$0\" \"$1/SHA256SUMS\" | cut -d' ' -f3", ARCHIVE, kName});
    std::stringstream s(sums.out);
    for (std::string l; std::getline(s, l);)
        archive_files.push_back(l);
    }

    labpc::GuestPlan plan;
    plan.init = GUEST_INIT;
    plan.files = {{"busybox", BUSYBOX}};
    plan.data = {{kName + ".tar.gz", archive},
                 {"sample.ttf", testutil::read_file(SAMPLE_TTF)},
                 {"prepare.sh", kPrepareScript},
                 {"checksums.sh", "cd " + kTop + " && sha256sum -c SHA256SUMS && md5sum -c MD5SUMS\n"}};
    plan.commands = kPrepare;
    for (const auto &c : commands())
        plan.commands.push_back(c);
    if (kKernels[k].modules) {
        plan.kernel = labpc::modules_kernel_path();
        plan.qemu_args = {"-m", "64"};
        if (std::string(RTL_LAYER).empty()) {
            boot.module_skip = "the RTLinux layer for Linux 2.4.18 is not built: " RTL_LAYER_MISSING;
        } else {
            plan.data.push_back({"rtl_layer.o", testutil::read_file(RTL_LAYER)});
            // Before the uninstall: the module steps go right after the
            // unpacking's checks.
            std::vector<std::string> m = module_commands();
            plan.commands.insert(plan.commands.begin() + kPrepare.size() + kChecksums + 1, m.begin(), m.end());
        }
    }
    labpc::GuestBoot b = labpc::boot_guest(plan, work.path());
    boot.skip = b.skip;
    boot.failure = b.failure;
    boot.console = b.console;
    boot.seconds = b.seconds;
    size_t module_at = kPrepare.size() + kChecksums + 1;
    size_t module_n = boot.module_skip.empty() && kKernels[k].modules ? size_t(kModuleSteps) : 0;
    for (size_t i = 0; i < b.runs.size(); ++i) {
        if (i < kPrepare.size())
            boot.prepare.push_back(b.runs[i]);
        else if (i >= module_at && i < module_at + module_n)
            boot.module.push_back(b.runs[i]);
        else
            boot.runs.push_back(b.runs[i]);
    }
}

class ArchiveOnLinux24 : public ::testing::TestWithParam<int> {
protected:
    const Boot &boot = boots[GetParam()];
    const Kernel &kernel = kKernels[GetParam()];
    void SetUp() override
    {
        if (!boot.skip.empty())
            GTEST_SKIP() << boot.skip;
        ASSERT_EQ(boot.failure, "") << "kernel console:\n" << boot.console;
        ASSERT_EQ(boot.prepare.size(), kPrepare.size()) << boot.console;
        for (const auto &p : boot.prepare)
            ASSERT_EQ(p.status, "exit 0") << p.command << "\n" << p.err;
        ASSERT_EQ(boot.runs.size(), size_t(kSteps)) << "kernel console:\n" << boot.console;
    }
    const GuestRun &run(Step s) const { return boot.runs.at(s); }
};

// The help text this machine's build prints under the installed name.
std::string host_output(const std::string &program, const std::string &name, const std::string &arg,
                        bool err)
{
    if (!testutil::i386_skip_reason(program).empty())
        return "";
    testutil::RunResult r = testutil::run_i386(program, {name, arg});
    std::string text = err ? r.err : r.out;
    for (size_t at; (at = text.find(program)) != std::string::npos;)
        text.replace(at, program.size(), name);
    return text;
}

std::string lines_of(const std::vector<std::string> &files, const std::string &suffix)
{
    std::string s;
    for (const auto &f : files)
        s += f + suffix;
    return s;
}

TEST_P(ArchiveOnLinux24, UnpacksWithBusyboxTarAndItsChecksumsHold)
{
    EXPECT_EQ(run(kUname).out, std::string(kernel.release) + "\n");
    EXPECT_EQ(run(kUnpack).status, "exit 0") << run(kUnpack).err;
    EXPECT_EQ(run(kUnpack).err, "");
    ASSERT_EQ(archive_files.size(), 19u);
    EXPECT_EQ(run(kChecksums).out, lines_of(archive_files, ": OK\n") + lines_of(archive_files, ": OK\n"));
    EXPECT_EQ(run(kChecksums).status, "exit 0") << run(kChecksums).err;
}

TEST_P(ArchiveOnLinux24, InstallRefusesAnOrdinaryUserAndInstallsAsRoot)
{
    EXPECT_EQ(run(kInstallAsUser).out, "");
    EXPECT_EQ(run(kInstallAsUser).err, "install.sh: / is not writable by you: run it as root\n");
    EXPECT_EQ(run(kInstallAsUser).status, "exit 1");

    const GuestRun &i = run(kInstall);
    EXPECT_EQ(i.err, "");
    EXPECT_EQ(i.status, "exit 0");
    const std::vector<std::string> want = {
        "checked the files against MD5SUMS",
        "installed /usr/local/bin/psload (4750, set-user-ID root, group lab)",
        "installed /usr/local/bin/portpoke (755)",
        "installed /usr/local/bin/rangectl (755)",
        "installed /usr/local/share/man/man1/psload.1 (644)",
        "installed /usr/local/share/man/man4/echorange.4 (644)",
        "installed /usr/local/share/doc/labtools-labpc/README (644)",
        "installed /usr/local/share/labtools-labpc/echorange/prebuilt/echorange.o (644)",
        "installed /usr/local/share/labtools-labpc/MANIFEST (for: sh install.sh --prefix /usr/local --uninstall)",
    };
    for (const auto &w : want)
        EXPECT_NE(("\n" + i.out).find("\n" + w + "\n"), std::string::npos) << w << "\n" << i.out;
    EXPECT_EQ(std::count(i.out.begin(), i.out.end(), '\n'), 20) << i.out;

    EXPECT_EQ(run(kModes).out, "4750_0_1000_/usr/local/bin/psload\n"
                               "755_0_0_/usr/local/bin/portpoke\n"
                               "755_0_0_/usr/local/bin/rangectl\n");
}

TEST_P(ArchiveOnLinux24, InstalledProgramsAnswer)
{
    const GuestRun &h = run(kPsloadHelp);
    EXPECT_EQ(h.status, "exit 8");
    EXPECT_EQ(h.out, "");
    EXPECT_EQ(h.err.rfind("(Help) Usage is /usr/local/bin/psload [options] input_file\n", 0), 0u) << h.err;
    std::string want = host_output(PSLOAD32, kBin + "psload", "-h", true);
    if (!want.empty()) {
        EXPECT_EQ(h.err, want);
    }

    EXPECT_EQ(run(kPortpokeWrite).status, "exit 0") << run(kPortpokeWrite).err;
    EXPECT_TRUE(std::regex_match(run(kPortpokeRead).out, std::regex("[0-9A-F]{2}A5\n"))) << run(kPortpokeRead).out;
    EXPECT_EQ(run(kPortpokeRead).status, "exit 0");

    EXPECT_EQ(run(kPortpokeAsUser).out, "");
    EXPECT_EQ(run(kPortpokeAsUser).err, "I/O Port Error, Check port I/O address 378.\n");
    EXPECT_EQ(run(kPortpokeAsUser).status, "exit 255");

    const GuestRun &r = run(kRangectlHelp);
    EXPECT_EQ(r.status, "exit 0");
    EXPECT_EQ(r.out.rfind("usage: rangectl [options] shot SENSOR\n", 0), 0u) << r.out;
    want = host_output(RANGECTL32, kBin + "rangectl", "-h", false);
    if (!want.empty()) {
        EXPECT_EQ(r.out, want);
    }
}

TEST_P(ArchiveOnLinux24, SetUserIdPsloadReachesThePortsButReadsOnlyWhatItsUserMay)
{
    if (!kernel.modules)
        GTEST_SKIP() << "Linux 2.4.37.11 here kills set-user-ID static musl programs at start; checked on 2.4.18";
    // A member of lab: the ports are granted (no FPGA behind QEMU's port, so
    // the configuration start fails in the handshake, not in ioperm).
    const GuestRun &m = run(kPsloadAsGroupMember);
    EXPECT_EQ(m.status, "exit 0");
    EXPECT_NE(m.out.find("  File(/sample.ttf) is opened.\n"), std::string::npos) << m.out;
    EXPECT_NE(m.out.find("  Initial status port value = 0x"), std::string::npos) << m.out;
    EXPECT_NE(m.out.find("*Download Fail.\n"), std::string::npos) << m.out;
    EXPECT_EQ(m.err.find("I/O Port Error"), std::string::npos) << m.err;
    const std::string handshake = "Handshake Error, Check cable connection.\n";
    ASSERT_GE(m.err.size(), handshake.size()) << m.err;
    EXPECT_EQ(m.err.substr(m.err.size() - handshake.size()), handshake) << m.err;

    // The same user, a file only root may read: refused, although psload
    // runs as root; root himself opens it.
    const GuestRun &u = run(kPsloadUnreadableAsUser);
    EXPECT_NE(u.err.find("Error: Can't open /secret.ttf for reading\n"), std::string::npos) << u.err;
    EXPECT_EQ(u.status, "exit 8");
    EXPECT_EQ(u.out.find("is opened"), std::string::npos) << u.out;
    const GuestRun &root = run(kPsloadUnreadableAsRoot);
    EXPECT_NE(root.out.find("  File(/secret.ttf) is opened.\n"), std::string::npos) << root.out;
    EXPECT_EQ(root.err.find("Can't open"), std::string::npos) << root.err;
    EXPECT_EQ(root.status, "exit 0");

    // Not a member of lab: the program does not even start (mode 4750).
    EXPECT_EQ(run(kPsloadOutsideGroup).status, "exit 127");
    EXPECT_EQ(run(kPsloadOutsideGroup).err, "");
}

TEST_P(ArchiveOnLinux24, UninstallRemovesWhatItInstalled)
{
    const GuestRun &u = run(kUninstall);
    EXPECT_EQ(u.status, "exit 0") << u.err;
    EXPECT_NE(u.out.find("removed /usr/local/bin/psload\n"), std::string::npos) << u.out;
    EXPECT_NE(u.out.find("removed /usr/\n"), std::string::npos) << u.out;
    // The folders it made, /usr among them, are gone.
    EXPECT_EQ(run(kLeftOver).status, "exit 1");
}

TEST_P(ArchiveOnLinux24, PrebuiltModuleLoadsOverTheLayerAndUnloads)
{
    if (!kernel.modules)
        GTEST_SKIP() << "Linux 2.4.37.11 has no module support";
    if (!boot.module_skip.empty())
        GTEST_SKIP() << boot.module_skip;
    ASSERT_EQ(boot.module.size(), size_t(kModuleSteps));
    for (const auto &m : boot.module)
        EXPECT_EQ(m.status, "exit 0") << m.command << "\n" << m.out << m.err;
    // busybox's insmod prints nothing of its own on success; the module
    // declares no licence, which insmod reports as the kernel's taint.
    const std::string taint = "Warning: loading echorange will taint the kernel: no license\n"
                              "  See http://www.tux.org/lkml/#export-tainted for information about tainted modules\n";
    EXPECT_TRUE(boot.module[kModuleIn].out.empty() || boot.module[kModuleIn].out == taint) << boot.module[kModuleIn].out;
    EXPECT_EQ(boot.module[kModuleIn].err, "");
    EXPECT_TRUE(std::regex_search(boot.module[kModules].out, std::regex("(^|\n)echorange +[0-9]+ +0 +\\(unused\\)\n")))
        << boot.module[kModules].out;
    EXPECT_TRUE(std::regex_search(boot.module[kModules].out, std::regex("(^|\n)rtl_layer +[0-9]+ +0 +\\[echorange\\]\n")))
        << boot.module[kModules].out;
}

INSTANTIATE_TEST_SUITE_P(Kernels, ArchiveOnLinux24, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &i) {
                             return std::string(i.param == 0 ? "Linux_2_4_37" : "Linux_2_4_18");
                         });

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int k = 0; k < 2; ++k)
        run_boot(k, boots[k]);
    if (!boots[0].skip.empty() && !boots[1].skip.empty()) {
        std::printf("SKIP: %s\n", boots[0].skip.c_str());
        return 77;
    }
    // For the record: the guest's output of the install and of the checks.
    for (int k = 0; k < 2; ++k) {
        const Boot &boot = boots[k];
        if (!boot.skip.empty()) {
            std::printf("=== Linux %s: skipped: %s\n", kKernels[k].label, boot.skip.c_str());
            continue;
        }
        std::printf("=== Linux %s: booted in about %.0f s\n", kKernels[k].label, boot.seconds);
        for (const auto *list : {&boot.runs, &boot.module})
            for (const auto &r : *list)
                std::printf("--- %s   [%s]\n%s%s%s", r.command.c_str(), r.status.c_str(), r.out.c_str(),
                            r.err.empty() ? "" : "--- (standard error)\n", r.err.c_str());
    }
    std::fflush(stdout);
    return RUN_ALL_TESTS();
}
