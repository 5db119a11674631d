// The example scenario the help names: the installed copy beside an
// installed program, the source tree's otherwise.
#include <gtest/gtest.h>

#include <filesystem>

#include "run.h"
#include "sims/echorange/example_scenario.h"

TEST(ExampleScenario, InstalledCopyBesideAnInstalledProgramElseTheSources)
{
    testutil::TempDir dir;
    namespace fs = std::filesystem;
    const std::string program = dir.path() + "/usr/libexec/labtools/echorange-sim";
    fs::create_directories(dir.path() + "/usr/libexec/labtools");
    // No installed documentation: the source tree's file, which is there.
    EXPECT_EQ(sims::echorange::example_scenario_path(program), EXAMPLE_SCENARIO);

    fs::create_directories(dir.path() + "/usr/share/doc/labtools/examples");
    dir.write("usr/share/doc/labtools/examples/echorange.scenario", "duration 1ms\n");
    EXPECT_EQ(sims::echorange::example_scenario_path(program),
              fs::canonical(dir.path() + "/usr/share/doc/labtools/examples/echorange.scenario").string());
    // A program elsewhere in that tree is no installed one.
    fs::create_directories(dir.path() + "/usr/bin");
    EXPECT_EQ(sims::echorange::example_scenario_path(dir.path() + "/usr/bin/echorange-sim"), EXAMPLE_SCENARIO);
}

TEST(ExampleScenario, TheBuildTreesHelpNamesTheSourcesFile)
{
    auto r = testutil::run_program(ECHORANGE_SIM, {"echorange-sim", "--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(std::string("The scenario format is described in ") + EXAMPLE_SCENARIO + ".\n"),
              std::string::npos)
        << r.out;
}
