// Black-box runs of the built psload on the command lines that end before the
// download phase: usage, help, bad options, unopenable data files.  Both
// streams and the exit status are compared byte for byte.
#include "psload_fixture.h"

using testutil::run_program;

namespace {

const std::string kProgram = PSLOAD_PATH;

std::string help_text(const std::string &name)
{
    return "(Help) Usage is " + name + " [options] input_file\n"
           " Options:\n"
           "    -v              Verbose (Default: Off)\n"
           "                      Display information of download process.\n"
           "    -b              Display progress bar (Default: Off)\n"
           "                      Can you see download process.\n"
           "    -p <number>     Parallel port base address (Default: 0 (0x378))\n"
           "                      0: 0x378\n"
           "                      1: 0x278\n"
           "                      2: 0x3BC\n"
           "    -d <number>     Dummy port address (Default: 0 (0x80))\n"
           "                      0: 0x80\n"
           "                      Nothing more yet.\n"
           "    -w <value>      Wait loop counts of DCLK (Default: 0)\n"
           "                      Waiting time rise AND down of DCLK.\n"
           "                      Count 1 is about 1usec.\n"
           "    -mf <number>    File read mode (Default: 0 (File to memory))\n"
           "                      0: File -> Memory -> Parallel port\n"
           "                      1: File -> Parallel port\n"
           "    -md <number>    Port access mode(Default: 0 (Direct access))\n"
           "                      0: Direct access I/O port\n"
           "                      1: Use lp driver to access I/O port\n"
           "                      **Caution** Number 1 is *not* imprimented yet.\n"
           "    -h              Print this message\n"
           " Example :\n"
           "    " + name + " -v -b -p 2 -w 10 -mf 1 hogehoge.ttf\n";
}

struct Case {
    std::vector<std::string> args;   // after the program name
    std::string err;                 // expected standard error, name "psload"
};

void expect_run(const std::vector<std::string> &argv, const std::string &err, const std::string &out = "",
                const std::string &cwd = "")
{
    auto r = run_program(kProgram, argv, cwd);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.exit_code, 8);
}

} // namespace

TEST(PsloadCli, UsageHelpAndBadOptionsEndWithStatus8AndNothingOnStdout)
{
    const std::string usage = usage_text("psload");
    const std::string help = help_text("psload");
    const std::vector<Case> cases = {
        {{}, usage},
        {{"a.ttf", "-v"}, usage},                 // the loop stops at the file name
        {{"", "a.ttf"}, usage},                   // so does an empty argument
        {{"-v"}, usage},                          // no file: no listing either
        {{"-v", "a.ttf", "b.ttf"}, usage},
        {{"-h"}, help},
        {{"-p", "1", "-v", "-h", "-x", "a.ttf"}, help},
        {{"-help", "missing.ttf"}, help},         // only the second character counts
        {{"-p", "3", "a.ttf"}, "Bad option 3\n" + usage},
        {{"-p", "x1", "a.ttf"}, "Bad option x1\n" + usage},
        {{"-d", "1", "a.ttf"}, "Bad option 1\n" + usage},
        {{"-x", "a.ttf"}, "Bad option -x\n" + usage},
        {{"-", "a.ttf"}, "Bad option -\n" + usage},
        {{"-mx", "1", "a.ttf"}, "Bad option -mx\n" + usage},
        {{"-m", "a.ttf"}, "Bad option -m\n" + usage},
        {{"-x", "-h", "a.ttf"}, "Bad option -x\n" + usage},   // options before -h come first
        // A value option given last has no value to read.
        {{"-w"}, "Bad option -w\n" + usage},
        {{"-v", "-p"}, "Bad option -p\n" + usage},
        {{"-d"}, "Bad option -d\n" + usage},
        {{"-mf"}, "Bad option -mf\n" + usage},
        {{"-b", "-md"}, "Bad option -md\n" + usage},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {"psload"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(testing::PrintToString(c.args));
        expect_run(argv, c.err);
    }
}

TEST(PsloadCli, ProgramNameShownAsTypedAndCutTo255Characters)
{
    expect_run({"./tools/../psload"}, usage_text("./tools/../psload"));
    expect_run({"/opt/lab/bin/psload", "-h"}, help_text("/opt/lab/bin/psload"));

    const std::string long_name = "/" + std::string(299, 'n');
    expect_run({long_name}, usage_text(long_name.substr(0, 255)));
}

TEST(PsloadCli, UnopenableFileEndsWithStatus8AfterTheVerboseListing)
{
    expect_run({"psload", "no-such.ttf"}, "Error: Can't open no-such.ttf for reading\n");

    const std::string listing =
        "Parameters:\n"
        "  Program name              : psload \n"
        "  Verbose mode              : ON \n"
        "  Input file name           : /no/such/dir/x.ttf \n"
        "  Parallel port base address: 0x3BC \n"
        "  Dummy port address        : 0x80 \n"
        "  Wait counts               : -5 loops\n"
        "  Progress bar              : ON \n"
        "  File read mode            : Not use memory (File -> FPGA)\n"
        "  I/O port access mode      : Use lp driver\n"
        "File loading...\n";
    expect_run({"psload", "-v", "-b", "-p", "2", "-w", "-5", "-mf", "1", "-md", "1", "/no/such/dir/x.ttf"},
               "Error: Can't open /no/such/dir/x.ttf for reading\n", listing);
}

TEST(PsloadCli, FileNameLongerThan255IsRefusedNotCut)
{
    // A file named like the first 255 characters exists: a cut name would
    // open it.  The name is refused as given instead.
    testutil::TempDir dir;
    const std::string name = std::string(255, 'f') + "-and-more.ttf";
    dir.write(name.substr(0, 255), "  1,  2,  3\n");
    expect_run({"psload", name}, "Error: Can't open " + name + " for reading\n", "", dir.path());
}
