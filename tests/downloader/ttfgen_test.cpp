// The TTF generator: exact layout, determinism, the program, and the sample
// configuration it made.
#include "run.h"
#include "ttf_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

TEST(Ttfgen, LayoutsAreExact)
{
    // The first values of series 1 are 0, 160, 0, 92 (the sample file below
    // pins the whole series).
    const struct {
        long long count;
        int per_line;
        bool crlf, final_line_end;
        std::string text;
    } cases[] = {
        {3, 2, true, true, "  0,160,\r\n  0\r\n"},
        {4, 2, false, false, "  0,160,\n  0, 92"},
        {2, 2, false, true, "  0,160\n"},   // a full last line: no empty line after it
        {3, 92, false, true, "  0,160,  0\n"},
        {0, 92, false, true, ""},
    };
    for (const auto &c : cases) {
        ttfgen::Layout l;
        l.count = c.count;
        l.per_line = c.per_line;
        l.crlf = c.crlf;
        l.final_line_end = c.final_line_end;
        EXPECT_EQ(ttfgen::text(l), c.text) << testing::PrintToString(c.text);
    }

    // Long files: every line but the last holds per_line fields with commas.
    for (int per_line : {16, 92}) {
        ttfgen::Layout l;
        l.count = 10 * per_line + 5;
        l.per_line = per_line;
        l.crlf = per_line == 16;
        const std::string eol = l.crlf ? "\r\n" : "\n";
        const std::string t = ttfgen::text(l);
        size_t pos = 0;
        for (int line = 0; line < 10; ++line) {
            size_t end = t.find(eol, pos);
            ASSERT_EQ(end - pos, 4u * per_line) << "line " << line;
            pos = end + eol.size();
        }
        EXPECT_EQ(t.size() - pos, 4u * 5 - 1 + eol.size());
    }
}

TEST(Ttfgen, ContentIsDeterministicAndConfigurationLike)
{
    auto a = ttfgen::values(10000, 5);
    EXPECT_EQ(a, ttfgen::values(10000, 5));
    auto prefix = ttfgen::values(100, 5);
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), a.begin()));
    EXPECT_NE(a, ttfgen::values(10000, 6));
    int ff = 0, zero = 0;
    for (unsigned char c : a) {
        ff += c == 0xFF;
        zero += c == 0;
    }
    EXPECT_GT(ff, 2500);
    EXPECT_GT(zero, 800);
    EXPECT_LT(ff + zero, 8000);
}

TEST(Ttfgen, ProgramWritesTheSameTextAndRejectsBadArguments)
{
    testutil::TempDir dir;
    const std::string out = dir.path() + "/g.ttf";
    auto r = testutil::run_program(TTFGEN_PATH, {"ttfgen", "-n", "1234", "-l", "16", "-r", "-x", "-s", "9", "-o", out});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ttfgen::Layout l;
    l.count = 1234;
    l.per_line = 16;
    l.crlf = true;
    l.final_line_end = false;
    l.series = 9;
    EXPECT_EQ(testutil::read_file(out), ttfgen::text(l));

    r = testutil::run_program(TTFGEN_PATH, {"ttfgen", "-n", "100000"});
    l = ttfgen::Layout();
    l.count = 100000;
    EXPECT_EQ(r.out, ttfgen::text(l));   // written in pieces: the pieces join up

    for (auto bad : {std::vector<std::string>{"ttfgen", "-n", "-1"}, {"ttfgen", "-n", "0"}, {"ttfgen", "-l", "0"},
                     {"ttfgen", "-n", "5x"}, {"ttfgen", "extra"}}) {
        r = testutil::run_program(TTFGEN_PATH, bad);
        EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(bad);
        EXPECT_EQ(r.out, "");
    }
    // A count below 1 is one line, and no file is made.
    r = testutil::run_program(TTFGEN_PATH, {"ttfgen", "-n", "0", "-o", dir.path() + "/empty.ttf"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "ttfgen: bad value count 0\n");
    EXPECT_NE(access((dir.path() + "/empty.ttf").c_str(), F_OK), 0);
}

TEST(Ttfgen, SampleConfigurationIsTheGeneratorsOutput)
{
    ttfgen::Layout l;
    l.count = 4096;
    EXPECT_EQ(testutil::read_file(SAMPLE_TTF), ttfgen::text(l));
}
