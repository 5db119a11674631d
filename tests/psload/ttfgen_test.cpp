// The TTF generator: exact layout, determinism, the program, and the sample
// configuration it made.
#include "run.h"
#include "ttf_writer.h"

#include <gtest/gtest.h>

namespace {

// The expected text, written out field by field.
std::string expected_text(const ttfgen::Layout &l)
{
    auto v = ttfgen::values(l.count, l.seed);
    const std::string eol = l.crlf ? "\r\n" : "\n";
    std::string s;
    for (long long k = 0; k < l.count; ++k) {
        char f[8];
        std::snprintf(f, sizeof f, "%3u", static_cast<unsigned>(v[k]));
        s += f;
        if (k + 1 < l.count)
            s += ((k + 1) % l.per_line == 0) ? "," + eol : ",";
    }
    return l.final_line_end && l.count > 0 ? s + eol : s;
}

} // namespace

TEST(Ttfgen, LayoutsAreExact)
{
    for (long long count : {0, 1, 5, 16, 32, 95, 184})
        for (int per_line : {1, 16, 92})
            for (int flags = 0; flags < 4; ++flags) {
                ttfgen::Layout l;
                l.count = count;
                l.per_line = per_line;
                l.crlf = flags & 1;
                l.final_line_end = flags & 2;
                l.seed = static_cast<unsigned>(count);
                EXPECT_EQ(ttfgen::text(l), expected_text(l)) << count << "/" << per_line << "/" << flags;
            }
    // Spot check of the field format itself.
    ttfgen::Layout l;
    l.count = 3;
    l.per_line = 2;
    l.crlf = true;
    auto v = ttfgen::values(3, 1);
    char want[32];
    std::snprintf(want, sizeof want, "%3u,%3u,\r\n%3u\r\n", unsigned(v[0]), unsigned(v[1]), unsigned(v[2]));
    EXPECT_EQ(ttfgen::text(l), want);
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
    l.seed = 9;
    EXPECT_EQ(testutil::read_file(out), ttfgen::text(l));

    r = testutil::run_program(TTFGEN_PATH, {"ttfgen", "-n", "100000"});
    l = ttfgen::Layout();
    l.count = 100000;
    EXPECT_EQ(r.out, ttfgen::text(l));   // written in pieces: the pieces join up

    for (auto bad : {std::vector<std::string>{"ttfgen", "-n", "-1"}, {"ttfgen", "-l", "0"}, {"ttfgen", "-n", "5x"},
                     {"ttfgen", "extra"}}) {
        r = testutil::run_program(TTFGEN_PATH, bad);
        EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(bad);
        EXPECT_EQ(r.out, "");
    }
}

TEST(Ttfgen, SampleConfigurationIsTheGeneratorsOutput)
{
    ttfgen::Layout l;
    l.count = 4096;
    EXPECT_EQ(testutil::read_file(SAMPLE_TTF), ttfgen::text(l));
}
