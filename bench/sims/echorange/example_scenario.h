// Where the bundled example scenario (echorange.scenario, whose comments
// describe the format) is for the echorange-sim that runs: in the installed
// documentation beside an installed program, else in the source tree it was
// built from.
#ifndef SIMS_ECHORANGE_EXAMPLE_SCENARIO_H
#define SIMS_ECHORANGE_EXAMPLE_SCENARIO_H

#include <string>

namespace sims::echorange {

// The example's path for a program at program_path: the installed copy when
// program_path lies in an installed tree that has it, else the source tree's.
std::string example_scenario_path(const std::string &program_path);

// The help text's note naming that file, for the running program.
const char *scenario_format_note();

}  // namespace sims::echorange

#endif
