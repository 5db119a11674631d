// A run stopped by SIGINT, SIGTERM or SIGHUP with its standard output in a
// file (or a pipe) leaves there every byte it printed before the signal, in
// both read modes, with and without -v and -b.  On the bench the signal
// comes in the middle of the data; with the real programs (which cannot get
// port access here) in the middle of loading a stream.
#include "run.h"
#include "ttf_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testutil::RunResult;

const std::string kBarHead = "0        50       100 (%)\n|--------|---------|\n....................\n";

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        v.push_back(line);
    return v;
}

struct Case {
    const char *name;
    const char *mode;   // -mf
    bool verbose;
    bool bar;
    const char *signal; // for --sim-signal
    int signo;
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class InterruptedLog : public testing::TestWithParam<Case> {
protected:
    std::string path(const std::string &name) const { return dir.path() + "/" + name; }
    testutil::TempDir dir;
};

// What psload had printed when the signal came: the whole output of the same
// run left to finish, cut where the signal stopped it.  The trace tells where
// that was: how many configuration bits had begun (each begins with DCLK
// low, control 0x05), and so how many bar updates had been drawn.
std::string printed_before_signal(const std::string &full, const Case &c, const std::vector<std::string> &trace,
                                  long long values)
{
    // The handler's own restore (data 0, control 0x05) and the two releases
    // end the trace; before the data came one 0x05 from the initialisation
    // and one from the configuration start.
    long long dclk_low = 0;
    for (size_t i = 0; i + 4 < trace.size(); ++i)
        if (trace[i].find(" out8 0x37A 0x5") != std::string::npos)
            ++dclk_low;
    long long bits_begun = dclk_low - 2;

    size_t cut = 0;
    if (c.verbose) {
        std::string data_line = std::string(c.mode[0] == '0' ? "  Data from memory...\n"
                                                             : "  Data from file sequential...\n");
        size_t at = full.find(data_line);
        if (at == std::string::npos)
            return "(no data line in the full run)";
        cut = at + data_line.size();
    }
    if (c.bar) {
        long long units = c.mode[0] == '0' ? bits_begun : (bits_begun + 7) / 8;
        long long total = c.mode[0] == '0' ? 8 * values : values;
        long long step = total / 20 > 0 ? total / 20 : 1;
        long long updates = units == 0 ? 0 : (units - 1) / step + 1;
        cut += kBarHead.size();
        for (long long j = 0; j < updates; ++j)
            cut += 3 + static_cast<size_t>(j) + 1;  // ESC [ A, j times o, line end
    }
    return full.substr(0, cut);
}

TEST_P(InterruptedLog, HoldsEverythingPrintedBeforeTheSignal)
{
    const Case &c = GetParam();
    const long long values = 2000;  // 16000 bits; the signal comes at about bit 6600
    ttfgen::Layout l;
    l.count = values;
    l.series = 4;
    std::string ttf = dir.write("config.ttf", ttfgen::text(l));

    std::vector<std::string> psload_args = {"-mf", c.mode};
    if (c.verbose)
        psload_args.push_back("-v");
    if (c.bar)
        psload_args.push_back("-b");
    psload_args.push_back(ttf);

    std::vector<std::string> full_argv = {PSLOAD_SIM_PATH};
    full_argv.insert(full_argv.end(), psload_args.begin(), psload_args.end());
    RunResult full = testutil::run_program(PSLOAD_SIM_PATH, full_argv);
    ASSERT_EQ(full.exit_code, 0);
    ASSERT_EQ(full.err, "");

    // Standard output to a file, as in psload -v f.ttf > log.
    std::string script = "log=$1; shift; exec \"$@\" > \"$log\"";
    std::vector<std::string> argv = {"sh", "-c", script, "sh", path("log"), PSLOAD_SIM_PATH,
                                     std::string("--sim-signal=") + c.signal + "@20000",
                                     "--sim-trace=" + path("trace")};
    argv.insert(argv.end(), psload_args.begin(), psload_args.end());
    RunResult r = testutil::run_program("/bin/sh", argv);
    EXPECT_EQ(r.signal, c.signo);
    EXPECT_EQ(r.err, "");
    std::string log = testutil::read_file(path("log"));
    std::vector<std::string> trace = lines(testutil::read_file(path("trace")));
    ASSERT_GT(trace.size(), 20000u);
    std::string want = printed_before_signal(full.out, c, trace, values);
    EXPECT_EQ(log, want);
    if (c.verbose || c.bar) {
        EXPECT_GT(log.size(), 0u);
    }

    // The same through a pipe.
    std::vector<std::string> pipe_argv = {PSLOAD_SIM_PATH, std::string("--sim-signal=") + c.signal + "@20000"};
    pipe_argv.insert(pipe_argv.end(), psload_args.begin(), psload_args.end());
    RunResult p = testutil::run_program(PSLOAD_SIM_PATH, pipe_argv);
    EXPECT_EQ(p.signal, c.signo);
    EXPECT_EQ(p.out, want);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, InterruptedLog,
    testing::Values(Case{"memory_verbose_bar_INT", "0", true, true, "INT", SIGINT},
                    Case{"memory_verbose_TERM", "0", true, false, "TERM", SIGTERM},
                    Case{"memory_bar_HUP", "0", false, true, "HUP", SIGHUP},
                    Case{"memory_quiet_INT", "0", false, false, "INT", SIGINT},
                    Case{"file_verbose_bar_TERM", "1", true, true, "TERM", SIGTERM},
                    Case{"file_verbose_HUP", "1", true, false, "HUP", SIGHUP},
                    Case{"file_bar_INT", "1", false, true, "INT", SIGINT},
                    Case{"file_quiet_TERM", "1", false, false, "TERM", SIGTERM}),
    [](const testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

// The real programs, stopped while they read a data file from a pipe that
// stays open: the parameter listing and "File loading..." must be in the log.
class RealInterruptedLog : public testing::TestWithParam<const char *> {};

TEST_P(RealInterruptedLog, VerboseLogOfALoadStoppedBySigterm)
{
    std::string program = GetParam();
    if (program.empty())
        GTEST_SKIP() << "no 32-bit build";
    std::vector<std::string> argv = {"psload", "-v", "/dev/stdin"};
    if (program != PSLOAD_PATH) {
        std::string why = testutil::i386_skip_reason(program);
        if (!why.empty())
            GTEST_SKIP() << why;
        argv = {"bash", RUN_I386, program, "-v", "/dev/stdin"};
        program = "/bin/bash";
    }
    testutil::TempDir dir;
    std::string log = dir.path() + "/log";

    // What it prints up to the copy of the stream: the run with an empty
    // stream shows it, followed by the rest of the load.
    std::vector<std::string> plain = argv;
    RunResult whole = testutil::run_program(program, plain);
    size_t loading = whole.out.find("File loading...\n");
    ASSERT_NE(loading, std::string::npos) << whole.out;
    std::string want = whole.out.substr(0, loading + std::string("File loading...\n").size());

    int in[2];
    ASSERT_EQ(pipe(in), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open("/dev/null", O_WRONLY);
        dup2(in[0], 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in[0]);
        close(in[1]);
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    close(in[0]);
    // Some data, and the pipe stays open: psload waits in the copy.
    ASSERT_EQ(write(in[1], "  1,  2,", 8), 8);

    // Wait (a bounded while) for the log to show the listing; it never does
    // when the output sits in a buffer.
    for (int k = 0; k < 200 && testutil::read_file(log).size() < want.size(); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid, SIGTERM);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    close(in[1]);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << "status " << st;
    EXPECT_EQ(testutil::read_file(log), want);
}

INSTANTIATE_TEST_SUITE_P(Builds, RealInterruptedLog, testing::Values(PSLOAD_PATH, PSLOAD32_PATH),
                         [](const testing::TestParamInfo<const char *> &i) {
                             return std::string(i.index == 0 ? "native" : "x86_32");
                         });

} // namespace
