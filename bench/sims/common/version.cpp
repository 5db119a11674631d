// The simulators' version text, apart from the rest of the front end: the
// QEMU bridge shares the option tables but has no version of its own.
#include "sims/common/front_end.h"
#include "source_version.h"

namespace bench {

std::string version_text(const char *program)
{
    return std::string(program) + " (labtools) " + labtools_version + ", source commit " + labtools_commit + "\n";
}

} // namespace bench
