// The command-line parser and the parameter listing, in process.
#include "psload_fixture.h"

#include <climits>

using Options = PsloadTest;

TEST_F(Options, DefaultsAndSilenceWithoutVerbose)
{
    std::strcpy(status.program_name, "kept");
    std::strcpy(status.input_file_name, "old");
    EXPECT_EQ(initialize_defaults(), 0);
    EXPECT_STREQ(status.program_name, "kept");
    EXPECT_STREQ(status.input_file_name, "input_file_name");
    EXPECT_EQ(status.input_file, nullptr);

    testing::internal::CaptureStdout();
    EXPECT_EQ(parse({"psload", "a.ttf"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_STREQ(status.input_file_name, "a.ttf");
    EXPECT_EQ(status.verbose, 0);
    EXPECT_EQ(status.parallel_port_address, 0x378u);
    EXPECT_EQ(status.dummy_port_address, 0x80u);
    EXPECT_EQ(status.wait_count, 0);
    EXPECT_EQ(status.progress_bar, 0);
    EXPECT_EQ(status.file_read_mode, FILE_TO_MEMORY);
    EXPECT_EQ(status.port_access_mode, DIRECT_ACCESS);
}

TEST_F(Options, EachOptionSetsItsField)
{
    struct Case {
        std::vector<std::string> args;
        int download_status::*field;
        int expected;
    };
    const std::vector<Case> cases = {
        {{"-b"}, &download_status::progress_bar, 1},
        {{"-v"}, &download_status::verbose, 1},
        {{"-verbose"}, &download_status::verbose, 1},
        {{"-w", "10"}, &download_status::wait_count, 10},
        {{"-w", "abc"}, &download_status::wait_count, 0},
        {{"-w", "-5"}, &download_status::wait_count, -5},
        {{"-w", "  +12x"}, &download_status::wait_count, 12},
        {{"-w", "99999999999"}, &download_status::wait_count, INT_MAX},
        {{"-w", "-99999999999"}, &download_status::wait_count, INT_MIN},
        {{"-mf", "1"}, &download_status::file_read_mode, FILE_SEQUENTIAL},
        {{"-mf", "7"}, &download_status::file_read_mode, 7},
        {{"-mfile", "1"}, &download_status::file_read_mode, 1},
        {{"-md", "1"}, &download_status::port_access_mode, LP_DRIVER},
        {{"-md", "x"}, &download_status::port_access_mode, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        reset();
        std::vector<std::string> words = {"psload"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        words.push_back("a.ttf");
        testing::internal::CaptureStdout();
        parse(words);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(status.*c.field, c.expected);
        EXPECT_STREQ(status.input_file_name, "a.ttf");
    }
}

TEST_F(Options, PortChoicesLookAtTheFirstCharacterAndTheLastOneWins)
{
    struct Case {
        std::vector<std::string> args;
        unsigned parallel, dummy;
    };
    const std::vector<Case> cases = {
        {{"-p", "1"}, 0x278, 0x80},    {{"-p", "2"}, 0x3BC, 0x80},   {{"-pq", "1x"}, 0x278, 0x80},
        {{"-p", "0x278"}, 0x378, 0x80}, {{"-p", "1", "-p", "2"}, 0x3BC, 0x80}, {{"-d", "0"}, 0x378, 0x80},
    };
    for (const auto &c : cases) {
        reset();
        std::vector<std::string> words = {"psload"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        words.push_back("a.ttf");
        parse(words);
        EXPECT_EQ(status.parallel_port_address, c.parallel) << testing::PrintToString(c.args);
        EXPECT_EQ(status.dummy_port_address, c.dummy) << testing::PrintToString(c.args);
    }
}

TEST_F(Options, VerboseListingExactlyAndWithoutLinesForUnknownModes)
{
    testing::internal::CaptureStdout();
    parse({"./psload", "-v", "-w", "3", "x.ttf"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Parameters:\n"
              "  Program name              : ./psload \n"
              "  Verbose mode              : ON \n"
              "  Input file name           : x.ttf \n"
              "  Parallel port base address: 0x378 \n"
              "  Dummy port address        : 0x80 \n"
              "  Wait counts               : 3 loops\n"
              "  Progress bar              : OFF \n"
              "  File read mode            : Use memory (File -> Mem -> FPGA)\n"
              "  I/O port access mode      : Direct access\n");

    status.verbose = 0;
    status.file_read_mode = 7;
    status.port_access_mode = 2;
    testing::internal::CaptureStdout();
    print_param();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Parameters:\n"
              "  Program name              : ./psload \n"
              "  Verbose mode              : OFF \n"
              "  Input file name           : x.ttf \n"
              "  Parallel port base address: 0x378 \n"
              "  Dummy port address        : 0x80 \n"
              "  Wait counts               : 3 loops\n"
              "  Progress bar              : OFF \n");
}

TEST_F(Options, NamesFitTheirFields)
{
    const std::string file(255, 'a');
    const std::string program(400, 'p');
    parse({program, file});
    EXPECT_EQ(std::string(status.input_file_name), file);
    EXPECT_EQ(std::string(status.program_name), program.substr(0, 255));
}

TEST_F(Options, ExitPaths)
{
    char *no_words[] = {nullptr};
    EXPECT_EXIT(options_parse(0, no_words), testing::ExitedWithCode(8), exactly(usage_text("")));
    EXPECT_EXIT(parse({"psload", "-w", "1", "-mq"}), testing::ExitedWithCode(8),
                exactly("Bad option -mq\n" + usage_text("psload")));
    EXPECT_EXIT(parse({"psload", "-v", std::string(256, 'n')}), testing::ExitedWithCode(8),
                exactly("Error: Can't open " + std::string(256, 'n') + " for reading\n"));
    EXPECT_EXIT(parse({"psload", "-h"}), testing::ExitedWithCode(8), "^\\(Help\\) Usage is psload ");
}
