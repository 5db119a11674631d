// echorange-sim --serve: the command lines and scenarios it refuses, before
// anything is served (no pipe is made).
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "run.h"

namespace {

using testutil::RunResult;

TEST(ServeCommandLine, Refusals)
{
    testutil::TempDir tmp;
    std::string sc = tmp.write("a.scenario", "target 1 1m\nat 1s reader stop\n");
    std::string plain = tmp.write("b.scenario", "target 1 1m\n");
    const std::vector<std::string> bad[] = {
        {"--serve", tmp.path() + "/rf", sc},                       // the reader is the client
        {"--serve", tmp.path() + "/rf", "--speed", "0", plain},    // no speed
        {"--speed", "2", plain},                                   // not served
        {plain},                                                   // a run needs a duration
    };
    for (const auto &args : bad) {
        std::vector<std::string> argv{"echorange-sim"};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = testutil::run_program(ECHORANGE_SIM, argv);
        EXPECT_EQ(r.exit_code, 2) << testing::PrintToString(args) << r.err;
    }
    struct stat st;
    EXPECT_NE(stat((tmp.path() + "/rf/rtf1").c_str(), &st), 0);
}

}  // namespace
