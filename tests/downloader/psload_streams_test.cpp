// Data files that are not regular files: a pipe (standard input by path), a
// named FIFO, a character device, a directory.  A stream must give the same
// messages, exit status and device bytes as the same data in a regular file,
// in both read modes; a directory and a stream over the size bound are files
// that cannot be opened.  On the bench, and with the real programs as far as
// this machine lets them run (the load phase; port access is refused here).
#include "run.h"
#include "ttf_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testutil::RunResult;

// The limit psload puts on a stream it copies.
const long kStreamLimit = 32L * 1024 * 1024;

using testutil::report_value;

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// How the data reaches the program.
enum class Way { Regular, Pipe, Fifo };

const char *way_name(Way w)
{
    return w == Way::Regular ? "regular file" : w == Way::Pipe ? "pipe (/dev/stdin)" : "named FIFO";
}

// Runs program (through the i386 runner when runner is not empty) with args
// and then the data file, given the way asked for.  The data come from the
// regular file data; in the program's output the name it was given is
// replaced by "DATA", so that the three ways can be compared.
RunResult run_with_data(const std::string &runner, const std::string &program, const std::vector<std::string> &args,
                        const std::string &data, Way way, const std::string &dir)
{
    // $1 data, $2 FIFO path, then the command; the last word of the command
    // is the data file's name.
    std::string script;
    std::string name;
    switch (way) {
    case Way::Regular:
        script = "shift 2; exec \"$@\"";
        name = data;
        break;
    case Way::Pipe:
        script = "d=$1; shift 2; cat \"$d\" | \"$@\"";
        name = "/dev/stdin";
        break;
    case Way::Fifo:
        script = "d=$1; f=$2; shift 2; rm -f \"$f\"; mkfifo \"$f\" || exit 99; cat \"$d\" > \"$f\" & \"$@\"; s=$?; wait; "
                 "exit $s";
        name = dir + "/fifo";
        break;
    }
    std::vector<std::string> argv = {"sh", "-c", script, "sh", data, dir + "/fifo"};
    if (!runner.empty()) {
        argv.push_back("bash");
        argv.push_back(runner);
    }
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(name);
    RunResult r = testutil::run_program("/bin/sh", argv);
    r.out = replaced(r.out, name, "DATA");
    r.err = replaced(r.err, name, "DATA");
    return r;
}

class PsloadStreams : public testing::Test {
protected:
    std::string path(const std::string &name) const { return dir.path() + "/" + name; }
    std::string ttf(long long count, bool crlf, unsigned series)
    {
        ttfgen::Layout l;
        l.count = count;
        l.crlf = crlf;
        l.series = series;
        return dir.write("data.ttf", ttfgen::text(l));
    }
    testutil::TempDir dir;
};

TEST_F(PsloadStreams, PipeAndFifoConfigureLikeTheRegularFileInBothReadModes)
{
    struct Data {
        long long count;
        bool crlf;
    } datas[] = {{1000, false}, {93, true}, {5, false}};
    for (const auto &d : datas) {
        std::string data = ttf(d.count, d.crlf, 5);
        std::vector<unsigned char> bytes = ttfgen::values(d.count, 5);
        std::string want_bytes(bytes.begin(), bytes.end());
        for (const char *mode : {"0", "1"}) {
            RunResult want;
            std::string want_got;
            std::string want_report;
            for (Way way : {Way::Regular, Way::Pipe, Way::Fifo}) {
                SCOPED_TRACE(std::string(way_name(way)) + ", -mf " + mode + ", " + std::to_string(d.count) +
                             " values");
                RunResult r = run_with_data("", PSLOAD_SIM_PATH,
                                            {"--sim-received=" + path("got"), "--sim-report=" + path("report"), "-v",
                                             "-b", "-mf", mode},
                                            data, way, dir.path());
                std::string got = testutil::read_file(path("got"));
                std::string report = testutil::read_file(path("report"));
                EXPECT_EQ(r.exit_code, 0);
                EXPECT_EQ(r.err, "");
                EXPECT_EQ(report_value(report, "device_state"), "user-mode");
                EXPECT_TRUE(got == want_bytes) << "the device did not get the file's bytes";
                if (way == Way::Regular) {
                    want = r;
                    want_got = got;
                    want_report = report;
                    EXPECT_NE(r.out.find("  Include " + std::to_string(d.count) + " byte data.\n"), std::string::npos)
                        << r.out;
                    continue;
                }
                EXPECT_EQ(r.out, want.out);
                EXPECT_EQ(r.exit_code, want.exit_code);
                EXPECT_TRUE(got == want_got) << "device bytes differ";
                EXPECT_EQ(report_value(report, "expected_bits"), report_value(want_report, "expected_bits"));
                EXPECT_EQ(report_value(report, "received_bits"), report_value(want_report, "received_bits"));
            }
        }
    }
}

TEST_F(PsloadStreams, EmptyPipeIsLoadedAsAnEmptyFile)
{
    std::string data = dir.write("empty.ttf", "");
    for (const char *mode : {"0", "1"}) {
        SCOPED_TRACE(std::string("-mf ") + mode);
        RunResult file = run_with_data("", PSLOAD_SIM_PATH,
                                       {"--sim-received=" + path("got"), "--sim-report=" + path("report"), "-v", "-mf",
                                        mode},
                                       data, Way::Regular, dir.path());
        std::string file_got = testutil::read_file(path("got"));
        std::string file_report = testutil::read_file(path("report"));
        RunResult pipe = run_with_data("", PSLOAD_SIM_PATH,
                                       {"--sim-received=" + path("got"), "--sim-report=" + path("report"), "-v", "-mf",
                                        mode},
                                       data, Way::Pipe, dir.path());
        EXPECT_NE(file.out.find("  Include 1 byte data.\n"), std::string::npos) << file.out;
        EXPECT_EQ(pipe.out, file.out);
        EXPECT_EQ(pipe.err, file.err);
        EXPECT_EQ(pipe.exit_code, file.exit_code);
        EXPECT_TRUE(testutil::read_file(path("got")) == file_got);
        EXPECT_EQ(report_value(testutil::read_file(path("report")), "device_state"),
                  report_value(file_report, "device_state"));
    }
}

// Everything psload -v prints for a file that cannot be opened, DATA for the
// name: the parameter listing, then the load's first line; the error.
void expect_unopenable(const RunResult &r)
{
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_EQ(r.err, "Error: Can't open DATA for reading\n");
    size_t listing = r.out.find("  Input file name           : DATA \n");
    EXPECT_NE(listing, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - std::string("File loading...\n").size()), "File loading...\n") << r.out;
    EXPECT_EQ(r.out.find("File(DATA)"), std::string::npos) << r.out;
}

TEST_F(PsloadStreams, DirectoryIsAFileThatCannotBeOpened)
{
    for (const char *mode : {"0", "1"}) {
        SCOPED_TRACE(std::string("-mf ") + mode);
        RunResult r = run_with_data("", PSLOAD_SIM_PATH, {"--sim-trace=" + path("trace"), "-v", "-mf", mode},
                                    dir.path(), Way::Regular, dir.path());
        expect_unopenable(r);
        EXPECT_EQ(testutil::read_file(path("trace")), "") << "no port may be asked for or touched";
    }
}

// A stream of exactly the limit is a data file (of blank lines and one
// value); one byte more is not, and psload stops reading there: /dev/zero
// never ends.
TEST_F(PsloadStreams, StreamsAreCopiedUpToThirtyTwoMegabytes)
{
    std::string at_limit = "{ head -c " + std::to_string(kStreamLimit - 3) +
                           " /dev/zero | tr '\\0' '\\n'; printf '  7'; } | \"$0\" --sim-received=\"$1\" -v /dev/stdin";
    RunResult r = testutil::run_program("/bin/sh", {"sh", "-c", at_limit, PSLOAD_SIM_PATH, path("got")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("  Include 1 byte data.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Download Success.\n"), std::string::npos) << r.out;
    EXPECT_EQ(testutil::read_file(path("got")), "\x07");

    std::string over = "head -c " + std::to_string(kStreamLimit + 1) +
                       " /dev/zero | tr '\\0' '\\n' | \"$0\" -v /dev/stdin";
    r = testutil::run_program("/bin/sh", {"sh", "-c", over, PSLOAD_SIM_PATH});
    r.out = replaced(r.out, "/dev/stdin", "DATA");
    r.err = replaced(r.err, "/dev/stdin", "DATA");
    expect_unopenable(r);

    // /dev/zero, to the real program (no bench reading it first).  A psload
    // that read it to its end would never stop: cut short.
    r = testutil::run_program("/bin/sh", {"sh", "-c", "exec timeout 120 \"$0\" -v -mf 1 /dev/zero", PSLOAD_PATH});
    r.out = replaced(r.out, "/dev/zero", "DATA");
    r.err = replaced(r.err, "/dev/zero", "DATA");
    expect_unopenable(r);
}

// The real programs.  Port access is refused on the machines we test on, so
// what they show is the load: the same messages for a pipe as for the file.
class RealPsloadStreams : public PsloadStreams, public testing::WithParamInterface<const char *> {
protected:
    void SetUp() override
    {
        program = GetParam();
        if (program.empty())
            GTEST_SKIP() << "no 32-bit build";
        if (program != PSLOAD_PATH) {
            std::string why = testutil::i386_skip_reason(program);
            if (!why.empty())
                GTEST_SKIP() << why;
            runner = RUN_I386;
        }
    }
    std::string program;
    std::string runner;
};

TEST_P(RealPsloadStreams, PipeLoadsLikeTheRegularFile)
{
    std::string data = ttf(300, true, 9);
    for (const char *mode : {"0", "1"}) {
        RunResult file = run_with_data(runner, program, {"-v", "-mf", mode}, data, Way::Regular, dir.path());
        EXPECT_NE(file.out.find("  Include 300 byte data.\n"), std::string::npos) << file.out;
        for (Way way : {Way::Pipe, Way::Fifo}) {
            SCOPED_TRACE(std::string(way_name(way)) + ", -mf " + mode);
            RunResult r = run_with_data(runner, program, {"-v", "-mf", mode}, data, way, dir.path());
            EXPECT_EQ(r.signal, 0);
            EXPECT_EQ(r.exit_code, file.exit_code);
            EXPECT_EQ(r.out, file.out);
            EXPECT_EQ(r.err, file.err);
        }
    }
    RunResult d = run_with_data(runner, program, {"-v"}, dir.path(), Way::Regular, dir.path());
    expect_unopenable(d);
}

INSTANTIATE_TEST_SUITE_P(Builds, RealPsloadStreams, testing::Values(PSLOAD_PATH, PSLOAD32_PATH),
                         [](const testing::TestParamInfo<const char *> &i) {
                             return std::string(i.index == 0 ? "native" : "x86_32");
                         });

} // namespace
