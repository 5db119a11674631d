// Fuzz target: portpoke-sim's command line, bench options and portpoke's own
// words, the whole program run on the bench.
//
// The input is split at NUL bytes into the words after the program name.
// exit() is diverted back here (a bench option not understood ends the
// program with status 2).  The run happens in a folder of its own, and inputs
// holding a '/' are passed over, so that a --sim-report writes only there;
// the report is removed after the run.
//
// Invariants: a bench option not understood ends the run with status 2
// (through exit() or returned) before any port is touched; otherwise portpoke's own status comes back,
// or 2 when the report it asked for could not be written;
// a run makes at most one port access and breaks no rule of the bus (the
// bus checks every access against the permissions granted, so a port the
// kernel refused is never touched).
#include <unistd.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus/io_bus.h"
#include "fuzz_exit.h"
#include "fuzz_words.h"
#include "seams/portio_sim.h"

int portpoke_sim_main(int argc, char **argv);

// A bench option not understood ends the program through exit(), which
// here jumps back over main's frames without their destructors; what they
// held would show as leaks that the real program, which ends there, never
// has.  The run's allocations are kept out of the leak check (the
// sanitizer's own switches, when it is there).
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

namespace {

[[noreturn]] void fail(const char *why)
{
    std::fprintf(stderr, "fuzz_portpoke_sim: %s\n", why);
    std::abort();
}

// portpoke-sim's bus lives in its main (a static: the program runs once);
// the port seam says where it is, once the program has run.
bench::IoBus *registered_bus()
{
    if (bench::portio_registered_ops() != &bench::kIoBusPortOps)
        return nullptr;
    return static_cast<bench::IoBus *>(bench::portio_registered_context());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/tmp/fuzz_portpoke_sim.XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        fail("no folder of its own");
    static std::string folder = dir;
    std::atexit([] { rmdir(folder.c_str()); });  // the reports are gone by then
    if (!std::freopen("/dev/null", "w", stdout))
        fail("no /dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (std::memchr(data, '/', size))
        return 0;
    std::vector<std::string> words = split_words(data, size, 12, {"portpoke-sim"});
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    // Each input starts with the permissions and the trace of a fresh run
    // (the register board keeps what earlier inputs wrote, as a real board
    // would between two runs of portpoke).
    if (bench::IoBus *bus = registered_bus()) {
        bus->permissions().reset();
        bus->clear_trace();
    }
    exit_code = -1000;
    exit_armed = true;
    volatile int rc = -1000;
    if (__lsan_disable)
        __lsan_disable();
    if (setjmp(exit_env) == 0)
        rc = portpoke_sim_main(static_cast<int>(words.size()), argv.data());
    if (__lsan_enable)
        __lsan_enable();
    exit_armed = false;
    std::fflush(stderr);

    bench::IoBus *bus = registered_bus();
    if (!bus)
        fail("no bus behind the port seam");
    const auto &trace = bus->trace();
    if (rc == -1000 && exit_code != 2)
        fail("ended with a status other than 2");
    bool report_asked = false;
    for (const auto &w : words)
        report_asked = report_asked || w.rfind("--sim-report=", 0) == 0;
    if (rc == -1000 || rc == 2) {
        // Status 2 after portpoke ran: only a report that could not be
        // written says so.
        if (!trace.empty() && !(rc == 2 && report_asked))
            fail("a port touched before the bench options were understood");
    } else if (rc != 0 && rc != -1) {
        fail("a status portpoke does not give");
    }
    if (!bus->permissions().violations().empty())
        fail("rule of the bus broken");
    if (trace.size() > 1)
        fail("more than one port access");

    for (const auto &w : words)
        if (w.rfind("--sim-report=", 0) == 0 && w.size() > 13)
            std::remove(w.c_str() + 13);
    return 0;
}
