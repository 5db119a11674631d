// The lab PC's static musl builds against the x86-64 glibc builds: the same
// command line must give the same bytes on both streams and the same exit
// status, whatever the C library does differently (number conversion,
// stdio buffering, error texts).  On this kind of machine the kernel refuses
// port access, so the runs end in the refusal paths; a machine that grants
// it is skipped (a test never drives real hardware).
#include "run.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <sys/io.h>
#include <vector>

namespace {

struct Case {
    const char *name;
    const char *native;   // the x86-64 program
    const char *labpc;    // its static i386 build
    std::vector<std::string> args;
};

class SameOutput : public testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        std::string why = testutil::i386_skip_reason(GetParam().labpc);
        if (!why.empty())
            GTEST_SKIP() << why;
        if (ioperm(0x378, 3, 1) == 0) {
            ioperm(0x378, 3, 0);
            GTEST_SKIP() << "this machine grants port access: not running the real programs here";
        }
    }
    testutil::TempDir dir;
};

// Names in the arguments that stand for files made here.
std::string expand(const std::string &arg, const testutil::TempDir &dir)
{
    if (arg == "SAMPLE")
        return SAMPLE_TTF;
    if (arg == "SMALL")
        return dir.write("small.ttf", "  1,  2,  3\r\n");
    if (arg == "BAD")
        return dir.write("bad.ttf", "  1,  7 ,  3\n");
    if (arg == "DIR")
        return dir.path();
    if (arg == "MISSING")
        return dir.path() + "/missing.ttf";
    return arg;
}

TEST_P(SameOutput, OnBothStreamsAndInTheExitStatus)
{
    const Case &c = GetParam();
    std::vector<std::string> argv = {c.name};
    for (const auto &a : c.args)
        argv.push_back(expand(a, dir));
    testutil::RunResult native = testutil::run_program(c.native, argv);
    testutil::RunResult labpc = testutil::run_i386(c.labpc, argv);
    EXPECT_EQ(labpc.out, native.out);
    EXPECT_EQ(labpc.err, native.err);
    EXPECT_EQ(labpc.exit_code, native.exit_code);
    EXPECT_EQ(labpc.signal, native.signal);
}

// Test names from the command lines: "psload_v_mf_1_SAMPLE".
std::string case_name(const testing::TestParamInfo<Case> &info)
{
    std::string n = info.param.name;
    for (const auto &a : info.param.args) {
        n += "_";
        for (char ch : a)
            n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : 'x';
    }
    return n + "_" + std::to_string(info.index);
}

#define PSLOAD(...) Case{"psload", NATIVE_PSLOAD, LABPC_PSLOAD, {__VA_ARGS__}}
#define PORTPOKE(...) Case{"portpoke", NATIVE_PORTPOKE, LABPC_PORTPOKE, {__VA_ARGS__}}

INSTANTIATE_TEST_SUITE_P(
    Psload, SameOutput,
    testing::Values(PSLOAD(), PSLOAD("-h"), PSLOAD("-x", "SAMPLE"), PSLOAD("-w"), PSLOAD("-w", "12abc", "SAMPLE"),
                    PSLOAD("-v", "-w", "99999999999", "-p", "-3", "SAMPLE"), PSLOAD("-v", "-p", " 2", "SAMPLE"),
                    PSLOAD("MISSING"), PSLOAD("-v", "SAMPLE"), PSLOAD("-v", "-b", "SAMPLE"),
                    PSLOAD("-v", "-mf", "1", "SAMPLE"), PSLOAD("-v", "-mf", "7", "SAMPLE"),
                    PSLOAD("-v", "-md", "1", "SAMPLE"), PSLOAD("-v", "-md", "2", "SAMPLE"), PSLOAD("-v", "SMALL"),
                    PSLOAD("-v", "BAD"), PSLOAD("-v", "-mf", "1", "SMALL"), PSLOAD("-v", "DIR"),
                    PSLOAD("-v", "/dev/null")),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Portpoke, SameOutput,
    testing::Values(PORTPOKE(), PORTPOKE("r"), PORTPOKE("r", "378"), PORTPOKE("w", "378", "12ab"),
                    PORTPOKE("x", "378"), PORTPOKE("r", "zz"), PORTPOKE("r", "0x"), PORTPOKE("r", "0xg"),
                    PORTPOKE("w", "378", "0x"), PORTPOKE("r", "  -1"), PORTPOKE("r", "100000378"),
                    PORTPOKE("w", "378", "123456789"), PORTPOKE("read", "3f8junk"), PORTPOKE("w", "378", "1", "2")),
    case_name);

} // namespace
