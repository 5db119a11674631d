// echorange-sim: runs the echorange module on the emulated lab PC through a
// scenario and prints what a user process reads from /dev/rtf2, with the
// simulated time, and then the kernel log.
//
//   echorange-sim [--module OBJECT] SCENARIO
//
// Exit status: 0; 1 when the module broke a platform rule during the run
// (listed on standard error); 2 for a bad command line or scenario.
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sims/echorange/scenario.h"

namespace {

const char kUsage[] =
    "usage: echorange-sim [--module OBJECT] SCENARIO\n"
    "Runs the echorange module on the emulated lab PC through SCENARIO and prints\n"
    "every value read from /dev/rtf2 with its simulated time, then the kernel log.\n"
    "The scenario format is described in examples/echorange.scenario.\n";

}  // namespace

int main(int argc, char **argv)
{
    std::string module = rtlsim::Machine::default_module_path();
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            std::cout << kUsage;
            return 0;
        }
        if (!std::strcmp(argv[i], "--module") && i + 1 < argc) {
            module = argv[++i];
        } else if (argv[i][0] == '-' || !path.empty()) {
            std::cerr << kUsage;
            return 2;
        } else {
            path = argv[i];
        }
    }
    if (path.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    std::ifstream in(path);
    if (!in) {
        std::cerr << "echorange-sim: cannot open " << path << '\n';
        return 2;
    }
    std::stringstream text;
    text << in.rdbuf();

    rtlsim::Scenario scenario;
    try {
        scenario = rtlsim::parse_scenario(text.str());
    } catch (const rtlsim::ScenarioError &e) {
        std::cerr << "echorange-sim: " << path << ": " << e.what() << '\n';
        return 2;
    }
    rtlsim::RunSummary summary = rtlsim::run_scenario(scenario, module, std::cout);
    std::cout.flush();
    if (!summary.violations.empty()) {
        std::cerr << "echorange-sim: the module broke platform rules:\n";
        for (const auto &v : summary.violations)
            std::cerr << "  " << v << '\n';
        return 1;
    }
    return 0;
}
