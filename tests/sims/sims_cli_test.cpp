// The three simulators' command lines, run whole: the same help and version
// options and error conventions, one way to write port ranges, output files
// that cannot be written reported as errors, and psload-sim's bench options
// among psload's own words.
#include "run.h"
#include "ttf_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <cerrno>
#include <cstring>
#include <sys/io.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using testutil::RunResult;

struct Sim {
    const char *name;
    const char *path;
};

const Sim kSims[] = {
    {"psload-sim", PSLOAD_SIM},
    {"portpoke-sim", PORTPOKE_SIM},
    {"echorange-sim", ECHORANGE_SIM},
};

RunResult run(const Sim &sim, const std::vector<std::string> &args, const std::string &cwd = "")
{
    std::vector<std::string> argv = {sim.name};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run_program(sim.path, argv, cwd);
}

RunResult psload_sim(const std::vector<std::string> &args, const std::string &cwd = "")
{
    return run(kSims[0], args, cwd);
}

RunResult sh(const std::string &script, const std::vector<std::string> &args = {})
{
    std::vector<std::string> argv = {"sh", "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run_program("/bin/sh", argv);
}

// The option names a help text lists ("  --name..." lines).
std::set<std::string> listed_options(const std::string &help)
{
    std::set<std::string> names;
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  -", 0) != 0)
            continue;
        std::size_t end = line.find_first_of("=[ ", 2);
        names.insert(line.substr(2, end - 2));
    }
    return names;
}

TEST(SimsHelpAndVersion, AllThreeAnswerSimHelpAndSimVersionOnStandardOutput)
{
    for (const Sim &sim : kSims) {
        SCOPED_TRACE(sim.name);
        RunResult help = run(sim, {"--sim-help"});
        EXPECT_EQ(help.exit_code, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_NE(help.out.find(std::string(sim.name)), std::string::npos) << help.out;
        std::set<std::string> names = listed_options(help.out);
        EXPECT_GE(names.size(), 4u) << help.out;
        // Each lists its version option; the help names itself.
        EXPECT_TRUE(names.count("--sim-version") || names.count("--version")) << help.out;

        RunResult version = run(sim, {"--sim-version"});
        EXPECT_EQ(version.exit_code, 0);
        EXPECT_EQ(version.err, "");
        EXPECT_EQ(version.out.rfind(std::string(sim.name) + " (labtools) ", 0), 0u) << version.out;
        EXPECT_NE(version.out.find(", source commit "), std::string::npos) << version.out;
        EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;
    }
}

TEST(SimsHelpAndVersion, EchorangeSimAlsoTakesHelpAndVersionAndMinusH)
{
    const Sim &e = kSims[2];
    RunResult sim_help = run(e, {"--sim-help"});
    for (const char *word : {"--help", "-h"}) {
        RunResult r = run(e, {word});
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_EQ(r.out, sim_help.out) << word;
    }
    RunResult v = run(e, {"--version"});
    EXPECT_EQ(v.exit_code, 0);
    EXPECT_EQ(v.out, run(e, {"--sim-version"}).out);
}

TEST(SimsHelpAndVersion, PortpokeSimListsItsOptions)
{
    RunResult r = run(kSims[1], {"--sim-help"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::set<std::string> names = listed_options(r.out);
    for (const char *name : {"--sim-set", "--sim-refuse", "--sim-unprivileged", "--sim-report", "--sim-help"})
        EXPECT_EQ(names.count(name), 1u) << name << "\n" << r.out;
}

TEST(SimsErrors, ABenchOptionNotUnderstoodIsOneLineWithStatusTwo)
{
    // psload-sim and portpoke-sim: one line, the same words, no option list.
    struct Case {
        const Sim &sim;
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {kSims[0], {"--sim-bogus", "x.ttf"}, "psload-sim: bad bench option --sim-bogus"},
        {kSims[0], {"--sim-faul=no-cable", "x.ttf"}, "psload-sim: bad bench option --sim-faul=no-cable"},
        {kSims[1], {"--sim-bogus=1", "r", "378"}, "portpoke-sim: bad bench option --sim-bogus=1"},
        {kSims[1], {"--sim-set=378", "r", "378"}, "portpoke-sim: bad bench option --sim-set=378"},
        {kSims[1], {"--sim-help=x"}, "portpoke-sim: bad bench option --sim-help=x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        RunResult r = run(c.sim, c.args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.line + "\n");
    }
}

TEST(SimsErrors, ACommandLineEchorangeSimDoesNotUnderstandIsOneLineThenTheHelp)
{
    struct Case {
        std::vector<std::string> args;
        std::string first_line;
    } cases[] = {
        {{"--bogus", "s.scenario"}, "echorange-sim: unknown option --bogus"},
        {{}, "echorange-sim: no scenario given"},
        {{"--module"}, "echorange-sim: --module wants OBJECT"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.first_line);
        RunResult r = run(kSims[2], c.args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.first_line + "\n" + run(kSims[2], {"--sim-help"}).out);
    }
}

TEST(SimsErrors, BadValuesOfTheClockOptionsAreOneLineOfReason)
{
    struct Case {
        std::string word;
        std::string line;
    } cases[] = {
        {"--sim-access-ns=0", "bad bench option --sim-access-ns=0: nanoseconds from 1 to 1000000000, NS or NS:DELAY"},
        {"--sim-access-ns=1000000001", "bad bench option --sim-access-ns=1000000001: nanoseconds from 1 to 1000000000, NS or NS:DELAY"},
        {"--sim-access-ns=300:", "bad bench option --sim-access-ns=300:: nanoseconds from 1 to 1000000000, NS or NS:DELAY"},
        {"--sim-access-ns=-5", "bad bench option --sim-access-ns=-5: nanoseconds from 1 to 1000000000, NS or NS:DELAY"},
        {"--sim-access-ns", "bad bench option --sim-access-ns"},
        {"--sim-cable-settle=1000000001", "bad bench option --sim-cable-settle=1000000001: nanoseconds from 0 to 1000000000"},
        {"--sim-cable-settle=x", "bad bench option --sim-cable-settle=x: nanoseconds from 0 to 1000000000"},
        {"--sim-profile=D", "bad bench option --sim-profile=D: no such profile (A, B, C)"},
        {"--sim-profile=a", "bad bench option --sim-profile=a: no such profile (A, B, C)"},
        {"--sim-nstatus-delay=worse", "bad bench option --sim-nstatus-delay=worse"},
    };
    for (const Case &c : cases) {
        RunResult r = psload_sim({c.word, "x.ttf"});
        EXPECT_EQ(r.exit_code, 2) << c.word;
        EXPECT_EQ(r.out, "") << c.word;
        EXPECT_EQ(r.err, "psload-sim: " + c.line + "\n");
    }
    // The largest values are taken.
    testutil::TempDir dir;
    ttfgen::Layout l;
    l.count = 4;
    std::string ttf = dir.write("d.ttf", ttfgen::text(l));
    for (const char *good : {"--sim-access-ns=1000000000:1", "--sim-cable-settle=1000000000", "--sim-profile=C",
                             "--sim-nstatus-delay=best"})
        EXPECT_EQ(psload_sim({good, ttf}).exit_code, 0) << good;
}

TEST(SimsLongRun, PsloadSimSaysBeforeADownloadOfMoreThanAMinute)
{
    testutil::TempDir dir;
    ttfgen::Layout l;
    l.count = 4;
    std::string ttf = dir.write("d.ttf", ttfgen::text(l));
    // 32 bits, each 3 accesses and 2 x -w delay writes of 1 us: -w 937499
    // is 60.000032 s, -w 937498 just under a minute.  The run is stopped by
    // a signal at its first access: the line comes with it, before the
    // first clock.
    RunResult over = psload_sim({"--sim-signal=TERM@1", "-w", "937499", ttf});
    EXPECT_EQ(over.err, "psload-sim: this download takes about 1 min of simulated time (32 bits at -w 937499)\n");
    RunResult under = psload_sim({"--sim-signal=TERM@1", "-w", "937498", ttf});
    EXPECT_EQ(under.err, "");
    // psload takes the largest int for a larger -w.
    RunResult days = psload_sim({"--sim-signal=TERM@1", "-w", "99999999999", ttf});
    EXPECT_EQ(days.err, "psload-sim: this download takes about 1.6 days of simulated time (32 bits at -w 2147483647)\n");
    // A slower port counts too: 96 s at 1 s per access.
    RunResult slow = psload_sim({"--sim-signal=TERM@1", "--sim-access-ns=1000000000", ttf});
    EXPECT_EQ(slow.err, "psload-sim: this download takes about 2 min of simulated time (32 bits at -w 0)\n");
}

TEST(SimsPortRanges, BothSimulatorsTakeFirstOrFirstToLastInHex)
{
    // portpoke-sim: 3F8-3FF refused, 3F0 not; one port alone is a range.
    RunResult refused = run(kSims[1], {"--sim-refuse=3F8-3FF", "r", "3FE"});
    EXPECT_EQ(refused.exit_code, 255);
    EXPECT_NE(refused.err.find("3FE"), std::string::npos) << refused.err;
    EXPECT_EQ(run(kSims[1], {"--sim-refuse=0x3F8-0x3FF", "r", "3F0"}).exit_code, 0);
    EXPECT_EQ(run(kSims[1], {"--sim-refuse=3FF", "r", "3FE"}).exit_code, 255);
    EXPECT_EQ(run(kSims[1], {"--sim-refuse=3FF", "r", "3FC"}).exit_code, 0);

    // psload-sim: the same words.  Refusing the control register (0x37A)
    // as part of a range, in hex with or without 0x, stops psload at its
    // port check; a range that ends below it does not.
    testutil::TempDir dir;
    ttfgen::Layout l;
    l.count = 50;
    std::string ttf = dir.write("d.ttf", ttfgen::text(l));
    const std::string port_error = "I/O Port Error, Check parallel port I/O address.\n";
    for (const char *range : {"378-37A", "0x37A", "37a-0x400"}) {
        RunResult r = psload_sim({std::string("--sim-refuse=") + range, ttf});
        EXPECT_EQ(r.err, port_error) << range;
    }
    EXPECT_EQ(psload_sim({"--sim-refuse=300-377", ttf}).err, "");
    EXPECT_EQ(psload_sim({"--sim-refuse=80", ttf}).err, "I/O Port Error, Check dummy port I/O address.\n");
    for (const char *bad : {"0x378:3", "37A-378", "888888"}) {
        RunResult r = psload_sim({std::string("--sim-refuse=") + bad, ttf});
        EXPECT_EQ(r.exit_code, 2) << bad;
        EXPECT_EQ(r.err.rfind(std::string("psload-sim: bad bench option --sim-refuse=") + bad + "\n", 0), 0u)
            << r.err;
    }
}

// A small design for psload-sim runs.
std::string small_ttf(const testutil::TempDir &dir, long long count = 50)
{
    ttfgen::Layout l;
    l.count = count;
    return dir.write("d.ttf", ttfgen::text(l));
}

const std::string kScenario = std::string(SOURCE_DIR) + "/examples/echorange.scenario";

TEST(SimsOutputFiles, PsloadSimRecordsInAMissingFolderStopBeforeTheRun)
{
    testutil::TempDir dir;
    std::string ttf = small_ttf(dir);
    const std::string missing = dir.path() + "/no/such/folder/f";
    for (const char *option : {"--sim-report=", "--sim-received=", "--sim-trace=", "--sim-vcd="}) {
        RunResult r = psload_sim({option + missing, "-v", ttf});
        EXPECT_EQ(r.exit_code, 2) << option;
        EXPECT_EQ(r.out, "") << option;  // psload never started
        EXPECT_EQ(r.err, "psload-sim: cannot write " + missing + ": No such file or directory\n") << option;
    }
}

TEST(SimsOutputFiles, PsloadSimRecordsLostOnAFullDiskAreAnErrorAfterPsloadsOwnOutput)
{
    testutil::TempDir dir;
    std::string ttf = small_ttf(dir);
    RunResult plain = psload_sim({"-v", ttf});
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    for (const char *option : {"--sim-report=", "--sim-received=", "--sim-trace=", "--sim-vcd="}) {
        RunResult r = psload_sim({option + std::string("/dev/full"), "-v", ttf});
        EXPECT_EQ(r.exit_code, 2) << option;
        EXPECT_EQ(r.out, plain.out) << option;
        EXPECT_EQ(r.err, "psload-sim: cannot write /dev/full: No space left on device\n") << option;
    }
    // The same records to a real file are no error.
    RunResult ok = psload_sim({"--sim-vcd=" + dir.path() + "/c.vcd", "--sim-report=" + dir.path() + "/r", ttf});
    EXPECT_EQ(ok.exit_code, 0) << ok.err;
}

TEST(SimsOutputFiles, EchorangeSimStandardOutputTraceAndWaveformAreChecked)
{
    // Standard output on a full disk, or closed.
    RunResult full = sh("exec \"$@\" >/dev/full", {ECHORANGE_SIM, kScenario});
    EXPECT_EQ(full.exit_code, 2);
    EXPECT_EQ(full.err, "echorange-sim: cannot write standard output: No space left on device\n");
    RunResult closed = sh("exec \"$@\" >&-", {ECHORANGE_SIM, kScenario});
    EXPECT_EQ(closed.exit_code, 2);
    EXPECT_EQ(closed.err, "echorange-sim: cannot write standard output: Bad file descriptor\n");

    for (const char *option : {"--trace=", "--vcd="}) {
        RunResult r = run(kSims[2], {option + std::string("/dev/full"), kScenario});
        EXPECT_EQ(r.exit_code, 2) << option;
        EXPECT_EQ(r.err, "echorange-sim: cannot write /dev/full: No space left on device\n") << option;
        RunResult missing = run(kSims[2], {option + std::string("/no/such/folder/f"), kScenario});
        EXPECT_EQ(missing.exit_code, 2) << option;
        EXPECT_EQ(missing.out, "") << option;
        EXPECT_EQ(missing.err, "echorange-sim: cannot write /no/such/folder/f: No such file or directory\n")
            << option;
    }
    // The help on a full disk as well.
    RunResult help = sh("exec \"$@\" >/dev/full", {ECHORANGE_SIM, "--help"});
    EXPECT_EQ(help.exit_code, 2);
    EXPECT_EQ(help.err, "echorange-sim: cannot write standard output: No space left on device\n");
}

TEST(SimsOutputFiles, PortpokeSimReportIsChecked)
{
    RunResult full = run(kSims[1], {"--sim-report=/dev/full", "r", "378"});
    EXPECT_EQ(full.exit_code, 2);
    EXPECT_EQ(full.out, "FFFF\n");
    EXPECT_EQ(full.err, "portpoke-sim: cannot write /dev/full: No space left on device\n");
    RunResult missing = run(kSims[1], {"--sim-report=/no/such/folder/r", "r", "378"});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_EQ(missing.err, "portpoke-sim: cannot write /no/such/folder/r: No such file or directory\n");
}

std::string read(const std::string &path)
{
    return testutil::read_file(path);
}

TEST(PsloadSimCommandLine, BenchOptionsStandAnywhereBeforeTheDataFile)
{
    testutil::TempDir dir;
    std::string ttf = small_ttf(dir);
    const std::string r1 = dir.path() + "/r1", r2 = dir.path() + "/r2", t2 = dir.path() + "/t2";
    RunResult leading = psload_sim({"--sim-report=" + r1, "--sim-fault=error-at-bit:9", "-v", "-b", "-mf", "1", ttf});
    RunResult mixed = psload_sim({"-v", "--sim-report=" + r2, "-b", "-mf", "1", "--sim-fault=error-at-bit:9",
                                  "--sim-trace=" + t2, ttf});
    EXPECT_EQ(mixed.exit_code, leading.exit_code);
    EXPECT_EQ(mixed.out, leading.out);
    EXPECT_EQ(mixed.err, leading.err);
    EXPECT_NE(mixed.err, "");  // the fault was taken: the download failed
    EXPECT_EQ(read(r2), read(r1));
    EXPECT_NE(read(t2), "");
    // psload's listing names the data file and its own settings only.
    EXPECT_NE(mixed.out.find("Input file name           : " + ttf + " \n"), std::string::npos) << mixed.out;
    EXPECT_NE(mixed.out.find("File read mode            : Not use memory"), std::string::npos);
    EXPECT_NE(mixed.out.find("Progress bar              : ON"), std::string::npos);
}

TEST(PsloadSimCommandLine, PsloadsOwnWordsKeepTheirMeaning)
{
    testutil::TempDir dir;
    std::string ttf = small_ttf(dir);
    const std::string report = dir.path() + "/r";
    // The value of -w (and -p, -d, -md, -mf) is psload's whatever it says:
    // here it reads as 0, and no report is written.
    RunResult value = psload_sim({"-v", "-w", "--sim-report=" + report, ttf});
    RunResult same = psload_sim({"-v", "-w", "x", ttf});
    EXPECT_EQ(value.exit_code, same.exit_code);
    EXPECT_EQ(value.out, same.out);
    EXPECT_EQ(value.err, same.err);
    EXPECT_EQ(access(report.c_str(), F_OK), -1);
    // After the data file, a --sim- word is psload's: two arguments remain,
    // which is psload's usage error.
    RunResult after = psload_sim({"-v", ttf, "--sim-report=" + report});
    EXPECT_EQ(after.exit_code, 8);
    EXPECT_EQ(after.err, psload_sim({"-v", ttf, "x"}).err);
    EXPECT_EQ(access(report.c_str(), F_OK), -1);
    // -p 1 still selects 0x278, with the bench's port moved there.
    RunResult moved = psload_sim({"-p", "1", "--sim-lpt=278", "-v", ttf});
    EXPECT_EQ(moved.err, "");
    EXPECT_NE(moved.out.find("Parallel port base address: 0x278"), std::string::npos) << moved.out;
    // A bad bench option among psload's is still the bench's error.
    RunResult bad = psload_sim({"-v", "--sim-nonsense", ttf});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_EQ(bad.err.rfind("psload-sim: bad bench option --sim-nonsense\n", 0), 0u);
}

TEST(PsloadSimCommandLine, AFileNamedLikeABenchOptionIsReachedWithDotSlash)
{
    testutil::TempDir dir;
    ttfgen::Layout l;
    l.count = 20;
    dir.write("--sim-x", ttfgen::text(l));
    RunResult r = psload_sim({"-v", "./--sim-x"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Input file name           : ./--sim-x \n"), std::string::npos) << r.out;
    RunResult bare = psload_sim({"-v", "--sim-x"}, dir.path());
    EXPECT_EQ(bare.exit_code, 2);
    EXPECT_EQ(bare.err.rfind("psload-sim: bad bench option --sim-x\n", 0), 0u);
}

TEST(PsloadSimCommandLine, AWaveformWindowWithoutAWaveformIsAnError)
{
    testutil::TempDir dir;
    std::string ttf = small_ttf(dir);
    for (const char *window : {"--sim-vcd-window=0:10", "--sim-vcd-window=bits:0:64"}) {
        RunResult r = psload_sim({window, ttf});
        EXPECT_EQ(r.exit_code, 2) << window;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "psload-sim: --sim-vcd-window needs --sim-vcd=FILE\n");
    }
    RunResult with = psload_sim({"--sim-vcd-window=0:10", "--sim-vcd=" + dir.path() + "/w.vcd", ttf});
    EXPECT_EQ(with.exit_code, 0) << with.err;
}

TEST(EchorangeSimModule, AnObjectThatIsNoModuleIsAnErrorWithItsReason)
{
    testutil::TempDir dir;
    std::string text = dir.write("text.so", "not an object\n");
    struct Case {
        std::string object;
        std::string reason;
    } cases[] = {
        {"/nonexist.so", "No such file or directory"},
        {dir.path(), "Is a directory"},
        {text, "not an ELF object"},
        {"/bin/sh", "not a kernel module (no .modinfo section)"},
    };
    for (const Case &c : cases) {
        for (const char *mode : {"run", "serve"}) {
            std::vector<std::string> args = {"--module", c.object, kScenario};
            if (std::string(mode) == "serve")
                args = {"--module", c.object, "--serve", dir.path() + "/rf", std::string(SOURCE_DIR) + "/examples/rangefinder.scenario"};
            RunResult r = run(kSims[2], args);
            EXPECT_EQ(r.exit_code, 2) << c.object << " " << mode;
            EXPECT_EQ(r.out, "") << c.object << " " << mode;
            EXPECT_EQ(r.err, "echorange-sim: cannot load the module " + c.object + ": " + c.reason + "\n")
                << mode;
        }
    }
}

TEST(PsloadSimDesign, ADesignThatCannotBeReadIsAnErrorWithItsReason)
{
    testutil::TempDir dir;
    std::string ttf = small_ttf(dir);
    struct Case {
        std::string option;
        std::string path;
        std::string reason;
    } cases[] = {
        {"--sim-design=", dir.path(), "Is a directory"},
        {"--sim-design-raw=", dir.path(), "Is a directory"},
        {"--sim-design=", dir.path() + "/none.ttf", "No such file or directory"},
        {"--sim-design-raw=", dir.path() + "/none.bin", "No such file or directory"},
    };
    for (const Case &c : cases) {
        RunResult r = psload_sim({c.option + c.path, "-v", ttf});
        EXPECT_EQ(r.exit_code, 2) << c.option << c.path;
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "psload-sim: cannot read the design " + c.path + ": " + c.reason + "\n");
    }
}

// The refusal this machine's kernel gives the test process: EPERM or
// ENOSYS, or 0 when port access would be granted.
int refusal_here()
{
    if (ioperm(0x378, 3, 1) == 0) {
        ioperm(0x378, 3, 0);
        return 0;
    }
    return errno;
}

// Address-space limit of the memory tests, in KiB (ulimit -v).
const char kMemoryLimit[] = "120000";

TEST(PsloadSimMemory, AStreamIsReadNoFurtherThanPsloadTakesIt)
{
    // An endless stream: psload refuses it after 32 MB (status 8); the
    // bench must not grow with it.  Under the sanitizers no address-space
    // limit can be set, and the run alone is checked.
    std::string limit = SANITIZED ? "" : "ulimit -v 400000; ";
    RunResult r = sh(limit + "cat /dev/zero | \"$@\"", {PSLOAD_SIM, "/dev/stdin"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Can't open /dev/stdin for reading\n");
}

TEST(PsloadSimMemory, UnderAMemoryLimitPsloadSimPrintsWhatPsloadPrints)
{
    if (SANITIZED)
        GTEST_SKIP() << "an address-space limit (ulimit -v) leaves no room for the sanitizers' shadow memory";
    testutil::TempDir dir;
    // 20 MB of commas: 20000001 empty values, whose bit image (one byte a
    // bit, 160 MB) does not fit under the limit.
    std::string commas = dir.write("commas.ttf", std::string(20000000, ','));
    const std::string report = dir.path() + "/r";
    const std::string ulimit = std::string("ulimit -v ") + kMemoryLimit + "; exec \"$@\"";

    RunResult sim = sh(ulimit, {PSLOAD_SIM, "--sim-report=" + report, "-v", commas});
    EXPECT_EQ(sim.signal, 0) << sim.err;
    EXPECT_EQ(sim.exit_code, 0) << sim.err;
    EXPECT_NE(sim.err.find("ttf_file_read_to_mem(): Can't allocate memory for download data.\n"), std::string::npos)
        << sim.err;
    EXPECT_NE(sim.out.find("  Include 20000001 byte data.\n"), std::string::npos) << sim.out;
    // The device had no room for the design and counted bits only.
    std::string r = read(report);
    EXPECT_EQ(testutil::report_value(r, "design_check"), "counting-only") << r;
    EXPECT_EQ(testutil::report_value(r, "expected_bits"), "160000008") << r;

    // The real psload, where this machine refuses it the ports: the same
    // words, given the same refusal on the bench.
    int refusal = refusal_here();
    if (refusal != EPERM && refusal != ENOSYS)
        GTEST_SKIP() << "this machine grants port access: the real psload is not run here";
    const std::string refused = refusal == EPERM ? "--sim-unprivileged=EPERM" : "--sim-unprivileged=ENOSYS";
    RunResult real = sh(ulimit, {PSLOAD, "-v", commas});
    RunResult same = sh(ulimit, {PSLOAD_SIM, refused, "-v", commas});
    EXPECT_EQ(same.exit_code, real.exit_code);
    EXPECT_EQ(same.err, real.err);
    // psload's listing names the program as it was called.
    EXPECT_EQ(same.out.substr(same.out.find(" \n")), real.out.substr(real.out.find(" \n")));
    EXPECT_NE(real.err.find("Can't allocate memory for download data."), std::string::npos) << real.err;
}

TEST(PsloadSimMemory, AnOrdinaryDesignIsStillCheckedByteForByte)
{
    // The memory check steps back only where there is no room: a design of
    // normal size is held, and a wrong bit is still found.
    testutil::TempDir dir;
    ttfgen::Layout l;
    l.count = 2000;
    l.series = 1;
    std::string sent = dir.write("sent.ttf", ttfgen::text(l));
    l.series = 3;
    std::string wanted = dir.write("wanted.ttf", ttfgen::text(l));
    const std::string report = dir.path() + "/r";
    RunResult r = psload_sim({"--sim-report=" + report, "--sim-design=" + wanted, sent});
    EXPECT_EQ(r.exit_code, 0);
    std::string text = read(report);
    EXPECT_EQ(testutil::report_value(text, "design_check"), "(missing)") << text;
    EXPECT_EQ(testutil::report_value(text, "device_state"), "error") << text;
    EXPECT_NE(testutil::report_value(text, "first_difference_byte"), "(missing)") << text;
    RunResult good = psload_sim({"--sim-report=" + report, sent});
    EXPECT_EQ(testutil::report_value(read(report), "device_state"), "user-mode");
}

std::string section(const std::string &text, const std::string &begin, const std::string &end)
{
    std::size_t from = text.find(begin);
    if (from == std::string::npos)
        return "";
    std::size_t to = text.find(end, from + begin.size());
    return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// The options a manual page's section describes: the option words on the
// line after each .TP (roff's "\-" read as "-").
std::set<std::string> man_options(const std::string &page, const std::string &name)
{
    std::string text = section(testutil::read_file(page), ".SH " + name + "\n", "\n.SH ");
    std::set<std::string> names;
    std::istringstream in(text);
    bool tagged = false;
    for (std::string line; std::getline(in, line);) {
        if (line == ".TP") {
            tagged = true;
            continue;
        }
        if (!tagged)
            continue;
        tagged = false;
        std::string plain;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line.compare(i, 2, "\\-") == 0) {
                plain += '-';
                ++i;
            } else {
                plain += line[i];
            }
        }
        for (std::size_t at = plain.find('-'); at != std::string::npos; at = plain.find('-', at)) {
            std::size_t end = plain.find_first_not_of("-abcdefghijklmnopqrstuvwxyz", at);
            std::string word = plain.substr(at, end - at);
            if (word.size() > 1 && (at == 0 || plain[at - 1] == ' ' || plain[at - 1] == '"'))
                names.insert(word);
            at = end;
        }
    }
    return names;
}

// Every option of the help is described in the manual page's section, and
// the section describes no option the program does not know.
void expect_manual_matches_help(const Sim &sim, const std::string &page, const std::string &name)
{
    SCOPED_TRACE(page);
    std::string help = run(sim, {"--sim-help"}).out;
    std::set<std::string> listed = listed_options(help);
    std::set<std::string> described = man_options(page, name);
    ASSERT_FALSE(described.empty());
    for (const std::string &o : listed)
        EXPECT_EQ(described.count(o), 1u) << o << " is in the help but not in the manual page";
    for (const std::string &o : described)
        EXPECT_NE(help.find(o), std::string::npos) << o << " is in the manual page but no option";
}

TEST(SimsDocumentation, ManualPagesDescribeTheOptionTables)
{
    const std::string man = std::string(SOURCE_DIR) + "/man/";
    expect_manual_matches_help(kSims[0], man + "psload-sim.1", "\"BENCH OPTIONS\"");
    expect_manual_matches_help(kSims[1], man + "portpoke-sim.1", "\"BENCH OPTIONS\"");
    expect_manual_matches_help(kSims[2], man + "echorange-sim.1", "OPTIONS");
}

TEST(SimsDocumentation, TheReadmeNamesPsloadSimsOptionsAndNoOthers)
{
    std::string readme = testutil::read_file(std::string(SOURCE_DIR) + "/README.md");
    std::string part = section(readme, "### Trying it without hardware: psload-sim\n", "\n#");
    ASSERT_NE(part, "");
    std::string help = psload_sim({"--sim-help"}).out;
    for (const std::string &o : listed_options(help))
        EXPECT_NE(part.find("`" + o), std::string::npos) << o << " is not in the README";
    // Every --sim- word of the README is an option of psload-sim or of
    // portpoke-sim.
    std::string known = help + run(kSims[1], {"--sim-help"}).out;
    for (std::size_t at = readme.find("--sim-"); at != std::string::npos; at = readme.find("--sim-", at + 1)) {
        std::size_t end = readme.find_first_not_of("-abcdefghijklmnopqrstuvwxyz", at);
        std::string word = readme.substr(at, end - at);
        EXPECT_TRUE(listed_options(known).count(word) || word == "--sim-" || word == "--sim-x")
            << word << " in the README is no option";
    }
}

// A newcomer runs the README's examples as they come: each program an
// example runs from build/ is one the build command at the top makes, and
// that command comes before the example.
TEST(SimsDocumentation, TheReadmeBuildsEveryProgramItsExamplesRunFirst)
{
    const std::string readme = testutil::read_file(std::string(SOURCE_DIR) + "/README.md");
    const std::size_t build = readme.find("cmake --build build -j2 --target ");
    ASSERT_NE(build, std::string::npos) << "no build command for build/ in the README";
    std::set<std::string> targets;
    {
        std::istringstream words(readme.substr(build, readme.find('\n', build) - build));
        std::string w;
        for (int i = 0; i < 5 && words >> w;)   // "cmake --build build -j2 --target"
            ++i;
        while (words >> w)
            targets.insert(w);
    }
    EXPECT_TRUE(targets.count("portpoke-sim") && targets.count("rangectl") && targets.count("ttfgen"));
    int examples = 0;
    std::istringstream lines(readme);
    std::size_t at = 0;
    for (std::string line; std::getline(lines, line); at += line.size() + 1) {
        if (line.compare(0, 4, "    ") != 0)
            continue;   // prose: only the indented examples are run as they stand
        for (const char *dir : {"build/bin/", "build/rangectl/", "build/tools/"}) {
            for (std::size_t p = line.find(dir); p != std::string::npos; p = line.find(dir, p + 1)) {
                if (p > 0 && line[p - 1] != ' ' && line[p - 1] != '(' && line[p - 1] != '"')
                    continue;   // build-fuzz/..., $out/build/...
                std::size_t from = p + std::strlen(dir);
                std::size_t end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_", from);
                const std::string program = line.substr(from, end - from);
                EXPECT_EQ(targets.count(program), 1u) << program << " (README: " << line << ") is not built";
                EXPECT_LT(build, at) << program << " is run before the build command: " << line;
                ++examples;
            }
        }
    }
    EXPECT_GE(examples, 9);   // the psload-sim, echorange-sim, rangectl and portpoke-sim examples
}

TEST(SimsBinaries, TheThreeAreInBin)
{
    for (const Sim &sim : kSims) {
        std::string path = std::string(BIN_DIR) + "/" + sim.name;
        EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
        EXPECT_EQ(std::string(sim.path), path);
    }
}

} // namespace
