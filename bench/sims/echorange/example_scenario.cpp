#include "sims/echorange/example_scenario.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace sims::echorange {

std::string example_scenario_path(const std::string &program_path)
{
    // Installed, the program is PREFIX/libexec/labtools/echorange-sim and the
    // examples are in PREFIX/share/doc/labtools/examples (the relative path
    // is the build's, so a package unpacked under another prefix agrees).
    const std::size_t slash = program_path.rfind('/');
    if (slash != std::string::npos) {
        const std::string installed = program_path.substr(0, slash + 1) +
                                      ECHORANGE_SIM_TO_EXAMPLES "/echorange.scenario";
        char real[PATH_MAX];
        if (access(installed.c_str(), R_OK) == 0 && realpath(installed.c_str(), real) != nullptr)
            return real;
    }
    return ECHORANGE_SIM_SOURCE_EXAMPLES "/echorange.scenario";
}

const char *scenario_format_note()
{
    static const std::string note = [] {
        char self[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string program = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
        return "The scenario format is described in " + example_scenario_path(program) + ".\n";
    }();
    return note.c_str();
}

}  // namespace sims::echorange
