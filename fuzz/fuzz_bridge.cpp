// Fuzz target: the option strings of the QEMU bridge (LABTOOLS_PPBRIDGE_OPTIONS
// and LABTOOLS_PPBRIDGE_OPTIONS_N), which QEMU's environment hands it.
//
// The input is split at NUL bytes: the first part is LABTOOLS_PPBRIDGE_OPTIONS,
// each further part sets LABTOOLS_PPBRIDGE_OPTIONS_N with N its first byte
// (0: none) and the words the rest.  The run happens in a folder of its own
// holding a TTF design, a raw one and a sub-folder, and inputs holding a '/'
// are passed over, so that a --sim-design names only what is there (never
// /dev/zero or a FIFO, which would not end).
//
// Invariants: a refusal names the variable and says why; accepted settings
// hold no option that only a simulated process can have, never both
// --sim-bits and a design, and a design's bit count is that of its bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "fuzz_words.h"
#include "ppdev_bridge.h"

namespace {

[[noreturn]] void fail(const char *why, const std::string &detail = "")
{
    std::fprintf(stderr, "fuzz_bridge: %s %s\n", why, detail.c_str());
    std::abort();
}

void put(const char *name, const char *text)
{
    FILE *f = std::fopen(name, "wb");
    if (!f || std::fputs(text, f) < 0 || std::fclose(f) != 0)
        fail("cannot write", name);
}

void check(const bench::SimOptions &o)
{
    if (o.unprivileged || o.refusal_errno != 0 || !o.refused.empty() || o.signal != 0 || o.help)
        fail("a process option got through");
    if (o.bits_given && !o.design_file.empty())
        fail("--sim-bits together with a design");
    if (!o.design_file.empty() && o.bench.fpga.config_bits != 8ULL * o.bench.fpga.design.size())
        fail("the design's bits are not its bytes'");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/tmp/fuzz_bridge.XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        fail("no folder of its own");
    put("d.ttf", "255, 0, 17, 3");
    put("d.raw", "\x55\xaa");
    put("e.ttf", "");
    if (mkdir("sub", 0700) != 0)
        fail("no sub-folder");
    static std::string folder = dir;
    std::atexit([] {
        for (const char *name : {"d.ttf", "d.raw", "e.ttf"})
            unlink(name);
        rmdir("sub");
        rmdir(folder.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (std::memchr(data, '/', size))
        return 0;
    std::vector<std::string> parts = split_words(data, size, 8);
    std::map<std::string, std::string> env;
    env[bench::kBridgeOptionsVar] = parts[0];
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (!parts[i].empty() && parts[i][0] != 0)
            env[bench::kBridgeSessionVarPrefix + std::to_string(static_cast<unsigned char>(parts[i][0]))] =
                parts[i].substr(1);

    bench::BridgeSettings settings;
    std::string error;
    bool ok = bench::bridge_settings_from(
        [&](const char *name) -> const char * {
            auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        },
        settings, error);
    if (!ok) {
        bool named = false;
        for (const auto &v : env)
            named = named || (error.compare(0, v.first.size() + 2, v.first + ": ") == 0 &&
                              error.size() > v.first.size() + 10);
        if (!named)
            fail("a refusal that names no variable or gives no reason:", error);
        return 0;
    }
    check(settings.defaults);
    for (const auto &s : settings.sessions) {
        if (s.first < 1 || s.first > 255)
            fail("a session out of range");
        check(s.second);
    }
    return 0;
}
