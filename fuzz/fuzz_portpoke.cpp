// Fuzz target: portpoke's command line.
//
// The input is split at NUL bytes into the words after the program name.
// Whatever the words, the tool must make at most one port access, never touch
// a port it was not granted, and only ever touch the port it was granted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_words.h"
#include "bus/io_bus.h"
#include "devices/pc/register_bank.h"
#include "seams/portio_sim.h"

int portpoke_main(int argc, char **argv);

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // portpoke prints its results; the fuzzer has no use for them.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A board of registers on the ISA range; the rest of the space floats.
    static bench::RegisterBank bank(0x400, 0x5A);
    bench::IoBus io;
    bench::PortioConnection seam(io);
    io.permissions().set_violation_policy(bench::ViolationPolicy::Record);
    io.set_tracing(true);
    io.map(0, 0x400, bank);
    // Part of the space is refused, as a kernel may refuse it.
    io.permissions().refuse_range(0xF000, 0x1000);

    std::vector<std::string> words = split_words(data, size, 8, {"portpoke"});
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    int rc = portpoke_main(static_cast<int>(words.size()), argv.data());

    if (rc != 0 && rc != -1)
        std::abort();
    if (!io.permissions().violations().empty())
        std::abort();
    const auto &trace = io.trace();
    if (trace.size() > 1)
        std::abort();
    if (rc == 0 && trace.size() != 1)
        std::abort();
    if (!trace.empty()) {
        // The one access must be a word access at a port granted by the
        // one permission request of the run, made with count 2.
        const auto &calls = io.permissions().calls();
        if (calls.size() != 1 || calls[0].result != 0 || calls[0].num != 2 || calls[0].from != trace[0].port ||
            trace[0].width != 16)
            std::abort();
    }
    return 0;
}
