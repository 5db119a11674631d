// portpoke, black box: the simulated tool for every path, the real one for
// the refusal this machine's kernel gives.
#include <gtest/gtest.h>

#include <sys/io.h>

#include <sstream>
#include <string>
#include <vector>

#include "run.h"

using testutil::RunResult;
using testutil::TempDir;

namespace {

const char kFirstArg[] = "First argument must be 'r' or 'w'.\n";
const char kWriteRefused[] = "I/O Port Error, Check port I/O address.\n";

struct SimRun {
    RunResult r;
    std::vector<std::string> perms;     // "ioperm 0x378 2 1 -> 0"
    std::vector<std::string> accesses;  // "<time> in16 0x378 0xFF"
    std::vector<std::string> written;   // "register 0x378 = 0x34"
};

// Runs portpoke-sim with bench options, then portpoke's own words (argv[0]
// is "portpoke", as a user would type it).
SimRun sim(const std::vector<std::string> &bench, const std::vector<std::string> &words)
{
    TempDir dir;
    std::string report = dir.path() + "/report";
    std::vector<std::string> argv{"portpoke"};
    argv.insert(argv.end(), bench.begin(), bench.end());
    argv.push_back("--sim-report=" + report);
    argv.insert(argv.end(), words.begin(), words.end());
    SimRun s;
    s.r = testutil::run_program(PORTPOKE_SIM, argv);
    std::istringstream in(testutil::read_file(report));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ioperm", 0) == 0)
            s.perms.push_back(line);
        else if (line.rfind("register", 0) == 0)
            s.written.push_back(line);
        else
            s.accesses.push_back(line);
    }
    return s;
}

void expect_untouched(const SimRun &s)
{
    EXPECT_TRUE(s.perms.empty()) << s.perms.front();
    EXPECT_TRUE(s.accesses.empty()) << s.accesses.front();
    EXPECT_TRUE(s.written.empty());
}

} // namespace

TEST(PortpokeCommandLine, WrongWordCountsEndSilentlyWith255)
{
    const std::vector<std::vector<std::string>> cases = {
        {},                          // nothing after the program name
        {"r", "378", "1", "2"},      // four words
        {"w", "378", "1", "2"},      // w with three numbers: five words in all
        {"r"},                       // r alone
        {"r", "378", "1"},           // r with two numbers
        {"w", "378"},                // w with one number
        {"w"},
        {"x", "1", "2", "3"},        // the count test comes before the first word is looked at
    };
    for (const auto &words : cases) {
        SimRun s = sim({}, words);
        std::string shown;
        for (const auto &w : words)
            shown += w + " ";
        SCOPED_TRACE(shown);
        EXPECT_EQ(s.r.exit_code, 255);
        EXPECT_EQ(s.r.out, "");
        EXPECT_EQ(s.r.err, "");
        expect_untouched(s);
    }
}

TEST(PortpokeCommandLine, FirstWordMustBeginWithLowerCaseROrW)
{
    const std::vector<std::vector<std::string>> cases = {
        {"x", "378"}, {"R", "378"}, {"W", "378", "1"}, {"", "378"}, {""}, {"x"}, {"Read", "378"}, {"-r", "378"},
    };
    for (const auto &words : cases) {
        SimRun s = sim({}, words);
        SCOPED_TRACE("first word [" + words[0] + "]");
        EXPECT_EQ(s.r.exit_code, 255);
        EXPECT_EQ(s.r.out, kFirstArg);
        EXPECT_EQ(s.r.err, "");
        expect_untouched(s);
    }
}

TEST(PortpokeCommandLine, OnlyTheFirstCharacterChoosesTheOperation)
{
    for (const char *op : {"r", "read", "rx"}) {
        SimRun s = sim({"--sim-set=378=1234"}, {op, "378"});
        SCOPED_TRACE(op);
        EXPECT_EQ(s.r.exit_code, 0);
        EXPECT_EQ(s.r.out, "1234\n");
        EXPECT_EQ(s.r.err, "");
    }
    for (const char *op : {"w", "write", "wq"}) {
        SimRun s = sim({}, {op, "378", "ABCD"});
        SCOPED_TRACE(op);
        EXPECT_EQ(s.r.exit_code, 0);
        EXPECT_EQ(s.r.out, "");
        EXPECT_EQ(s.r.err, "");
        EXPECT_EQ(s.written, (std::vector<std::string>{"register 0x378 = 0xCD", "register 0x379 = 0xAB"}));
    }
}

TEST(PortpokeRead, PrintsFourUpperCaseDigitsAfterOneWordAccess)
{
    struct Case {
        const char *reg;
        const char *expect;
    } cases[] = {{"378=00FF", "00FF\n"}, {"378=0", "0000\n"}, {"378=beef", "BEEF\n"}, {"378=a", "000A\n"}};
    for (const auto &c : cases) {
        SimRun s = sim({std::string("--sim-set=") + c.reg}, {"r", "378"});
        SCOPED_TRACE(c.reg);
        EXPECT_EQ(s.r.exit_code, 0);
        EXPECT_EQ(s.r.out, c.expect);
        EXPECT_EQ(s.r.err, "");
        EXPECT_EQ(s.perms, std::vector<std::string>{"ioperm 0x378 2 1 -> 0"});
        ASSERT_EQ(s.accesses.size(), 1u);
        EXPECT_NE(s.accesses[0].find("in16 0x378 "), std::string::npos) << s.accesses[0];
        EXPECT_TRUE(s.written.empty());
    }
}

TEST(PortpokeNumbers, PortWordsAreHexadecimalWithPrefixBlanksAndTrailingText)
{
    for (const char *word : {"378", "0x378", "0X378", " 378", "378zz", "0378"}) {
        SimRun s = sim({"--sim-set=378=5AA5"}, {"r", word});
        SCOPED_TRACE(std::string("[") + word + "]");
        EXPECT_EQ(s.r.exit_code, 0);
        EXPECT_EQ(s.r.out, "5AA5\n");
        EXPECT_EQ(s.perms, std::vector<std::string>{"ioperm 0x378 2 1 -> 0"});
        ASSERT_EQ(s.accesses.size(), 1u);
    }
    // 300 is port 0x300, not 300 decimal.
    SimRun s = sim({"--sim-set=300=0102"}, {"r", "300"});
    EXPECT_EQ(s.r.out, "0102\n");
    EXPECT_EQ(s.perms, std::vector<std::string>{"ioperm 0x300 2 1 -> 0"});
}

TEST(PortpokeNumbers, WrittenValueKeepsItsLowSixteenBits)
{
    struct Case {
        const char *value;
        const char *lo;
        const char *hi;
    } cases[] = {{"12345", "0x45", "0x23"}, {"-1", "0xFF", "0xFF"}, {"0x00ff", "0xFF", "0x00"}, {"7", "0x07", "0x00"}};
    for (const auto &c : cases) {
        // Start from a register that differs in both bytes, so both writes show.
        SimRun s = sim({"--sim-set=2F8=5A5A"}, {"w", "2f8", c.value});
        SCOPED_TRACE(c.value);
        EXPECT_EQ(s.r.exit_code, 0);
        EXPECT_EQ(s.r.out, "");
        EXPECT_EQ(s.r.err, "");
        EXPECT_EQ(s.perms, std::vector<std::string>{"ioperm 0x2F8 2 1 -> 0"});
        ASSERT_EQ(s.accesses.size(), 1u);
        EXPECT_NE(s.accesses[0].find("out16 0x2F8 "), std::string::npos) << s.accesses[0];
        std::vector<std::string> expect;
        if (std::string(c.lo) != "0x5A")
            expect.push_back(std::string("register 0x2F8 = ") + c.lo);
        if (std::string(c.hi) != "0x5A")
            expect.push_back(std::string("register 0x2F9 = ") + c.hi);
        EXPECT_EQ(s.written, expect);
    }
}

TEST(PortpokeNumbers, WordsWithoutANumberAreRefusedBeforeAnyPortRequest)
{
    const std::vector<std::vector<std::string>> cases = {
        {"r", "zz"}, {"r", ""}, {"r", " "}, {"r", "-"}, {"w", "xyz", "1"}, {"w", "378", "q"}, {"w", "378", ""},
        // A prefix without digits is no number either: not port or value 0.
        {"w", "0x", "5"}, {"w", "378", "0X"}, {"r", "0xg"}, {"r", "-0x"}, {"w", " 0x-5", "1"},
    };
    for (const auto &words : cases) {
        SimRun s = sim({}, words);
        SCOPED_TRACE(words[0] + " [" + words[1] + "] " + (words.size() > 2 ? "[" + words[2] + "]" : ""));
        EXPECT_EQ(s.r.exit_code, 255);
        EXPECT_EQ(s.r.out, "");
        EXPECT_EQ(s.r.err, "");
        expect_untouched(s);
    }
}

TEST(PortpokeNumbers, ZeroAndPrefixedZeroAreNumbers)
{
    for (const char *word : {"0", "0x0", "-0", "00x5", "0x0x5"}) {
        SimRun s = sim({}, {"r", word});
        SCOPED_TRACE(word);
        EXPECT_EQ(s.r.exit_code, 0);
        EXPECT_EQ(s.perms, std::vector<std::string>{"ioperm 0x0 2 1 -> 0"});
    }
}

// A report that cannot be written is found out before the run: portpoke
// never runs, so the read prints no word (it used to print FFFF, then
// fail on the report).
TEST(PortpokeSimReport, UnwritableReportRefusesTheRunBeforeAnyAccess)
{
    TempDir dir;
    for (const std::vector<std::string> &words : {std::vector<std::string>{"r", "300"}, {"w", "300", "1"}}) {
        SCOPED_TRACE(words[0]);
        std::vector<std::string> argv{"portpoke", "--sim-report=" + dir.path() + "/none/r.txt"};
        argv.insert(argv.end(), words.begin(), words.end());
        RunResult r = testutil::run_program(PORTPOKE_SIM, argv);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(dir.path() + "/none/r.txt"), std::string::npos) << r.err;
    }
}

// On the lab PC a number beyond 32 bits saturates at FFFFFFFF (with or
// without a minus sign) instead of wrapping, so a mistyped nine-digit port
// is refused rather than landing on a real port, and a long value writes
// FFFF.  Leading zeros are not "beyond": the number counts, not the digits.
TEST(PortpokeNumbers, ValuesBeyondThirtyTwoBitsSaturate)
{
    struct Case {
        const char *value;
        const char *lo;
        const char *hi;
    } cases[] = {
        {"123456789", "0xFF", "0xFF"},       // would wrap to 6789
        {"100000000", "0xFF", "0xFF"},       // 2^32: would wrap to 0000
        {"0x10000ABCD", "0xFF", "0xFF"},     // would wrap to ABCD
        {"FFFFFFFF0000", "0xFF", "0xFF"},
        {"-100000000", "0xFF", "0xFF"},      // saturates, and is not negated
        {"-123456789A", "0xFF", "0xFF"},
        {"FFFFFFFF", "0xFF", "0xFF"},        // 2^32 - 1: the largest number, exact
        {"-FFFFFFFF", "0x01", "0x00"},       // fits: negated modulo 2^32
        {"-FFFF0000", "0x00", "0x00"},       // 0x00010000: low half 0
        {"00000000000000ABCD", "0xCD", "0xAB"},
    };
    for (const auto &c : cases) {
        SimRun s = sim({"--sim-set=2F8=5A5A"}, {"w", "2F8", c.value});
        SCOPED_TRACE(c.value);
        EXPECT_EQ(s.r.exit_code, 0);
        EXPECT_EQ(s.r.out, "");
        EXPECT_EQ(s.r.err, "");
        EXPECT_EQ(s.perms, std::vector<std::string>{"ioperm 0x2F8 2 1 -> 0"});
        EXPECT_EQ(s.written, (std::vector<std::string>{std::string("register 0x2F8 = ") + c.lo,
                                                      std::string("register 0x2F9 = ") + c.hi}));
    }
}

TEST(PortpokeNumbers, PortsBeyondThirtyTwoBitsAreRefusedNotWrapped)
{
    // Each of these wraps to port 0x378 (or a port next to it) with a 64-bit
    // conversion; on the lab PC the port is FFFFFFFF and ioperm refuses it.
    for (const char *word : {"100000378", "0x100000378", "FFFFFFFF00000378", "-100000378", "1000000000000000378"}) {
        SimRun r = sim({"--sim-set=378=ABCD"}, {"r", word});
        SCOPED_TRACE(word);
        EXPECT_EQ(r.r.exit_code, 255);
        EXPECT_EQ(r.r.out, "");
        EXPECT_EQ(r.r.err, "I/O Port Error, Check port I/O address FFFFFFFF.\n");
        EXPECT_EQ(r.perms, std::vector<std::string>{"ioperm 0xFFFFFFFF 2 1 -> -1 EINVAL"});
        EXPECT_TRUE(r.accesses.empty());

        SimRun w = sim({"--sim-set=378=ABCD"}, {"w", word, "1"});
        EXPECT_EQ(w.r.exit_code, 255);
        EXPECT_EQ(w.r.err, kWriteRefused);
        EXPECT_EQ(w.perms, std::vector<std::string>{"ioperm 0xFFFFFFFF 2 1 -> -1 EINVAL"});
        EXPECT_TRUE(w.accesses.empty());
        EXPECT_TRUE(w.written.empty());
    }
    // A negated number that fits is a port like any other: -FFFFFC88 is 0x378.
    for (const char *word : {"-FFFFFC88", "00000000000000000378"}) {
        SimRun s = sim({"--sim-set=378=ABCD"}, {"r", word});
        SCOPED_TRACE(word);
        EXPECT_EQ(s.r.exit_code, 0);
        EXPECT_EQ(s.r.out, "ABCD\n");
        EXPECT_EQ(s.perms, std::vector<std::string>{"ioperm 0x378 2 1 -> 0"});
    }
}

TEST(PortpokeRefusal, ReadNamesThePortWriteDoesNot)
{
    SimRun r = sim({"--sim-unprivileged"}, {"r", "378"});
    EXPECT_EQ(r.r.exit_code, 255);
    EXPECT_EQ(r.r.out, "");
    EXPECT_EQ(r.r.err, "I/O Port Error, Check port I/O address 378.\n");
    EXPECT_TRUE(r.accesses.empty());

    // Lower-case and zero-padded words are shown as the number, upper case.
    SimRun lower = sim({"--sim-unprivileged"}, {"r", "003f8"});
    EXPECT_EQ(lower.r.err, "I/O Port Error, Check port I/O address 3F8.\n");
    EXPECT_TRUE(lower.accesses.empty());

    SimRun w = sim({"--sim-unprivileged"}, {"w", "378", "1"});
    EXPECT_EQ(w.r.exit_code, 255);
    EXPECT_EQ(w.r.out, "");
    EXPECT_EQ(w.r.err, kWriteRefused);
    EXPECT_TRUE(w.accesses.empty());
    EXPECT_TRUE(w.written.empty());
}

TEST(PortpokeRefusal, RangesTheKernelWillNotGrant)
{
    // A refused range, the last port (a word access would run past 0xFFFF)
    // and a port number past the I/O space all end in the refusal row.
    SimRun refused = sim({"--sim-refuse=3F8-3FF"}, {"r", "3FF"});
    EXPECT_EQ(refused.r.exit_code, 255);
    EXPECT_EQ(refused.r.err, "I/O Port Error, Check port I/O address 3FF.\n");
    EXPECT_TRUE(refused.accesses.empty());

    SimRun last = sim({}, {"r", "FFFF"});
    EXPECT_EQ(last.r.err, "I/O Port Error, Check port I/O address FFFF.\n");
    EXPECT_TRUE(last.accesses.empty());

    SimRun beyond = sim({}, {"w", "12378", "1"});
    EXPECT_EQ(beyond.r.exit_code, 255);
    EXPECT_EQ(beyond.r.err, kWriteRefused);
    EXPECT_EQ(beyond.perms, std::vector<std::string>{"ioperm 0x12378 2 1 -> -1 EINVAL"});
    EXPECT_TRUE(beyond.accesses.empty());

    SimRun negative = sim({}, {"r", "-1"});
    EXPECT_EQ(negative.r.err, "I/O Port Error, Check port I/O address FFFFFFFF.\n");
    EXPECT_TRUE(negative.accesses.empty());
}

// The real programs, on this machine.  Where the kernel would grant port
// access (a privileged run on real hardware) the test does not poke the port.
class RealPortpoke : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        if (std::string(GetParam()) != PORTPOKE_REAL) {
            std::string why = testutil::i386_skip_reason(GetParam());
            if (!why.empty())
                GTEST_SKIP() << why;
        }
        if (ioperm(0x378, 2, 1) == 0) {
            ioperm(0x378, 2, 0);
            GTEST_SKIP() << "this machine grants port access; not touching real hardware";
        }
    }

    // The native build as it is; the 32-bit one natively or under qemu-i386.
    RunResult run(const std::vector<std::string> &argv) const
    {
        return std::string(GetParam()) == PORTPOKE_REAL ? testutil::run_program(GetParam(), argv)
                                                        : testutil::run_i386(GetParam(), argv);
    }
};

TEST_P(RealPortpoke, RefusedPortAccessIsReportedWith255)
{
    RunResult r = run({"portpoke", "r", "378"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "I/O Port Error, Check port I/O address 378.\n");

    RunResult w = run({"portpoke", "w", "378", "1"});
    EXPECT_EQ(w.signal, 0);
    EXPECT_EQ(w.exit_code, 255);
    EXPECT_EQ(w.out, "");
    EXPECT_EQ(w.err, kWriteRefused);

    RunResult bad = run({"portpoke", "q", "378"});
    EXPECT_EQ(bad.exit_code, 255);
    EXPECT_EQ(bad.out, kFirstArg);
}

// The read refusal names the port as converted: every build of the program
// converts numbers beyond 32 bits as the lab PC does.
TEST_P(RealPortpoke, PortNumbersBeyondThirtyTwoBitsSaturate)
{
    const std::pair<const char *, const char *> cases[] = {
        {"100000378", "FFFFFFFF"}, {"123456789", "FFFFFFFF"},  {"-123456789A", "FFFFFFFF"},
        {"FFFFFFFF", "FFFFFFFF"},  {"-FFFFFC88", "378"},       {"0000000000000003F8", "3F8"},
        {"-1", "FFFFFFFF"},        {"0x1FFFFFFFFFFFFFFFF", "FFFFFFFF"},
    };
    for (const auto &c : cases) {
        RunResult r = run({"portpoke", "r", c.first});
        SCOPED_TRACE(c.first);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("I/O Port Error, Check port I/O address ") + c.second + ".\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, RealPortpoke, ::testing::Values(PORTPOKE_REAL, PORTPOKE_REAL32),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(i.index == 0 ? "native" : "x86_32");
                         });
