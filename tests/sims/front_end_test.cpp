// The front-end layer the three simulators share: ports and port ranges,
// option values as the table says, the help written from the table, and
// output files whose failures are reported.
#include "sims/common/front_end.h"
#include "sims/psload/sim_options.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using bench::OptionDoc;

TEST(FrontEndPorts, HexWithOrWithout0xUpToFFFF)
{
    struct Case {
        const char *text;
        bool ok;
        unsigned port;
    } cases[] = {
        {"378", true, 0x378}, {"0x378", true, 0x378}, {"0X3bc", true, 0x3BC}, {"ffff", true, 0xFFFF},
        {"0", true, 0},       {"00000378", true, 0x378},
        {"10000", false, 0},  {"", false, 0},       {"0x", false, 0},     {"378zz", false, 0},
        {" 378", false, 0},   {"-1", false, 0},     {"+378", false, 0},   {"123456789", false, 0},
    };
    for (const Case &c : cases) {
        std::uint16_t port = 0xABCD;
        EXPECT_EQ(bench::parse_port(c.text, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(FrontEndPorts, RangeIsFirstOrFirstToLast)
{
    std::uint16_t first = 0;
    unsigned count = 0;
    ASSERT_TRUE(bench::parse_port_range("3F8-3FF", first, count));
    EXPECT_EQ(first, 0x3F8);
    EXPECT_EQ(count, 8u);
    ASSERT_TRUE(bench::parse_port_range("0x80", first, count));
    EXPECT_EQ(first, 0x80);
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(bench::parse_port_range("0-ffff", first, count));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(count, 0x10000u);
    for (const char *bad : {"400-300", "378-", "-378", "378:3", "0x378:3", "1-2-3", "", "378-10000"})
        EXPECT_FALSE(bench::parse_port_range(bad, first, count)) << bad;
}

TEST(FrontEndOptions, ValuesAreTakenAsTheTableShowsThem)
{
    const OptionDoc needed{"--x", "=FILE", "h"};
    const OptionDoc none{"--y", "", "h"};
    const OptionDoc optional{"--z", "[=E]", "h"};
    const OptionDoc next{"--w", " DIR", "h"};
    std::string value;
    bool given = false;
    EXPECT_TRUE(bench::option_value(needed, "--x=a=b", value, given));
    EXPECT_EQ(value, "a=b");
    EXPECT_FALSE(bench::option_value(needed, "--x", value, given));
    EXPECT_TRUE(bench::option_value(none, "--y", value, given));
    EXPECT_FALSE(given);
    EXPECT_FALSE(bench::option_value(none, "--y=1", value, given));
    EXPECT_TRUE(bench::option_value(optional, "--z", value, given));
    EXPECT_FALSE(given);
    EXPECT_TRUE(bench::option_value(optional, "--z=ENOSYS", value, given));
    EXPECT_TRUE(given);
    EXPECT_EQ(value, "ENOSYS");
    EXPECT_TRUE(bench::option_value(next, "--w", value, given));
    EXPECT_FALSE(bench::option_value(next, "--w=d", value, given));
}

TEST(FrontEndOptions, HelpHasOneAlignedLinePerOptionAndIndentedFollowers)
{
    const OptionDoc options[] = {
        {"--a", "=N", "first\nsecond", 0},
        {"--a-very-long-option-name", "=VALUE", "after one blank", 0},
    };
    const bench::ProgramDoc doc = {"Usage: p\n", "About.\n", options, 2, "Notes.\n"};
    EXPECT_EQ(bench::help_text(doc), "Usage: p\n"
                                     "About.\n"
                                     "  --a=N                    first\n"
                                     "                           second\n"
                                     "  --a-very-long-option-name=VALUE after one blank\n"
                                     "Notes.\n");
    EXPECT_EQ(bench::find_option(doc, "--a=5"), &options[0]);
    EXPECT_EQ(bench::find_option(doc, "--a-very-long-option-name"), &options[1]);
    EXPECT_EQ(bench::find_option(doc, "--ab"), nullptr);
    EXPECT_EQ(bench::find_option(doc, "--a-"), nullptr);
}

TEST(FrontEndFiles, OutputFileReportsWhatCouldNotBeWritten)
{
    bench::OutputFile missing("/nonexistent-folder/x/report");
    EXPECT_FALSE(missing.open());
    EXPECT_EQ(missing.error(), "cannot write /nonexistent-folder/x/report: No such file or directory");

    bench::OutputFile full("/dev/full");
    ASSERT_TRUE(full.open());
    std::fputs("expected_bits 8\n", full.stream());
    EXPECT_FALSE(full.finish());
    EXPECT_EQ(full.error(), "cannot write /dev/full: No space left on device");

    bench::OutputFile null("/dev/null");
    ASSERT_TRUE(null.open());
    std::fputs("x\n", null.stream());
    EXPECT_TRUE(null.finish());
    EXPECT_EQ(null.error(), "");

    errno = 0;
    EXPECT_FALSE(bench::write_whole_file("/dev/full", "abc", 3));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(bench::write_whole_file("/nonexistent-folder/r", "abc", 3));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(bench::write_whole_file("/dev/null", "abc", 3));
}

TEST(FrontEndVersion, NamesTheProgramVersionAndCommitOnOneLine)
{
    std::string v = bench::version_text("psload-sim");
    EXPECT_EQ(v.rfind("psload-sim (labtools) ", 0), 0u) << v;
    EXPECT_NE(v.find(", source commit "), std::string::npos) << v;
    EXPECT_EQ(v.find('\n'), v.size() - 1) << v;
    EXPECT_EQ(v.find("source commit \n"), std::string::npos) << v;
}

} // namespace
