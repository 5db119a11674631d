// Fuzz target: rangectl's command line.
//
// The input is split at NUL bytes into words (up to 12) after "rangectl".
// rangectl's own parser takes them, as the program does; nothing is opened
// or sent.
//
// Invariants: the parser ends with the settings of one action, the usage
// error (2), the help text or the version; the settings it accepts are
// within the module's terms: sensor 1-256, a period of 1 ms or more for
// start and watch and none otherwise, -n only with watch and read and at
// least 1, -t not with start and stop, FIFO paths terminated and short of
// the buffer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_words.h"

#include "options.h"

namespace {

void fail(const char *why)
{
    std::fprintf(stderr, "fuzz_rangectl_args: %s\n", why);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> words = split_words(data, size, 13, {"rangectl"});
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    static rangectl_settings settings;
    std::memset(&settings, 0x5a, sizeof settings);

    int r = options_parse(static_cast<int>(words.size()), argv.data(), &settings);
    if (r == -1 || r == -2 || r == EXIT_USAGE)
        return 0;
    if (r != 0)
        fail("parser result is none of 0, 2, help, version");

    const rangectl_settings &s = settings;
    if (s.action < ACTION_SHOT || s.action > ACTION_READ)
        fail("no action");
    if (s.sensor < 1 || s.sensor > 256)
        fail("sensor out of 1-256");
    bool periodic = s.action == ACTION_START || s.action == ACTION_WATCH;
    if (periodic ? s.period < 1 : s.period != 0)
        fail("period");
    if (s.count != -1 && (s.count < 1 || (s.action != ACTION_WATCH && s.action != ACTION_READ)))
        fail("count");
    if (s.timeout < -1 || (s.timeout >= 0 && (s.action == ACTION_START || s.action == ACTION_STOP)))
        fail("timeout");
    if (s.raw != 0 && s.raw != 1)
        fail("raw");
    if (!std::memchr(s.cmd_fifo, 0, sizeof s.cmd_fifo) || !std::memchr(s.data_fifo, 0, sizeof s.data_fifo))
        fail("FIFO path not terminated");
    return 0;
}
