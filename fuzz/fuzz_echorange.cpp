// Fuzz target: the byte stream user programs write to the range finder's
// command FIFO, on the emulated lab PC.
//
// Input layout:
//   byte 0      the platform call of the load at which the first write is
//               made (records may arrive while the module is loading)
//   bytes 1-3   targets of sensors 1 to 3, in centimetres (0: no echo)
//   then chunks: LEN (0-63, low 6 bits; bit 6: the reader pauses until the
//               next chunk), WAIT (simulated milliseconds before the chunk),
//               and LEN bytes written to /dev/rtf1 in one write().
// After the last chunk the machine runs a second more and the module is
// unloaded.
//
// Invariants: the module breaks no platform rule at any point (no thread call
// on a null handle, no interrupt unmasked without its handler, no put on a
// destroyed FIFO, no board port written outside its region, board
// acknowledgements in order, ...); it never acts on a record before the load
// is complete; every value on FIFO 2 is 9999 or a distance the board's range
// can give; the unload leaves nothing behind.
#include <dlfcn.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rtlinux/machine.h"
#include "uss_records.h"

namespace {

void fail(const rtlsim::Machine &m, const char *why)
{
    std::fprintf(stderr, "fuzz_echorange: %s\n", why);
    for (const auto &v : m.violations())
        std::fprintf(stderr, "  violation: %s\n", v.c_str());
    for (const auto &l : m.module_leftovers())
        std::fprintf(stderr, "  left over: %s\n", l.c_str());
    std::abort();
}

// The module object stays mapped for the whole fuzzing run: the fuzzer keeps
// reading the coverage counters of every object it has seen, so an object
// unmapped by an unload would take them away under it.  Each emulated insmod
// then finds it already there, and its globals keep what the last load left;
// a kernel loads a module with its data zeroed, so they are zeroed here before
// each load.
void *module_object = nullptr;

void zero_module_globals()
{
    static const struct {
        const char *name;
        std::size_t size;
    } globals[] = {{"msg", 12}, {"data", 4}, {"iflag", 4}, {"s_time", 8}, {"r_time", 8}, {"tasks0", sizeof(void *)}};
    for (const auto &g : globals) {
        void *p = dlsym(module_object, g.name);
        if (!p)
            std::abort();
        std::memset(p, 0, g.size);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    module_object = dlopen(rtlsim::default_module_path().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!module_object) {
        std::fprintf(stderr, "fuzz_echorange: %s\n", dlerror());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 4 || size > 4096)
        return 0;

    zero_module_globals();
    rtlsim::Machine m;
    m.set_port_log(false);
    m.processes().start_reader(2, USS_VALUE_SIZE);
    for (int ch = 0; ch < 3; ++ch)
        if (data[1 + ch] != 0)
            m.pc().board().set_target(ch, bench::EchoBoard::flight_for_mm(10LL * data[1 + ch]));

    std::size_t pos = 4;
    auto next_chunk = [&](std::vector<std::uint8_t> &bytes, unsigned &wait_ms, bool &pause) {
        if (pos + 2 > size)
            return false;
        unsigned len = data[pos] & 0x3F;
        pause = (data[pos] & 0x40) != 0;
        wait_ms = data[pos + 1];
        pos += 2;
        if (len > size - pos)
            len = static_cast<unsigned>(size - pos);
        bytes.assign(data + pos, data + pos + len);
        pos += len;
        return true;
    };

    // The first chunk goes in while the module is loading, at the chosen
    // platform call (if the load makes that many).
    std::vector<std::uint8_t> bytes;
    unsigned wait_ms = 0;
    bool pause = false;
    bool have_first = next_chunk(bytes, wait_ms, pause);
    unsigned calls = 0;
    const unsigned write_at = data[0] % 24;
    bool written_during_load = false;
    if (have_first) {
        m.set_call_hook([&](const char *) {
            if (!written_during_load && calls++ == write_at && m.scheduler().context() == rtlsim::Context::linux_side &&
                !bytes.empty()) {
                written_during_load = true;
                m.processes().write(1, bytes.data(), bytes.size());
            }
        });
    }
    int loaded = m.insmod();
    m.set_call_hook(nullptr);
    if (loaded != 0)
        fail(m, "load failed");
    if (!m.violations().empty())
        fail(m, "rule broken during the load");
    if (have_first && !written_during_load && !bytes.empty())
        m.processes().write(1, bytes.data(), bytes.size());

    while (next_chunk(bytes, wait_ms, pause)) {
        if (pause)
            m.processes().stop_reader();
        else
            m.processes().start_reader(2, USS_VALUE_SIZE);
        rtlsim::run_for(m, static_cast<rtlsim::hrtime>(wait_ms) * rtlsim::kMillisecond);
        if (!bytes.empty())
            m.processes().write(1, bytes.data(), bytes.size());
        if (!m.violations().empty())
            fail(m, "rule broken while running");
    }
    m.processes().start_reader(2, USS_VALUE_SIZE);
    rtlsim::run_for(m, rtlsim::kSecond);
    m.processes().exit(rtlsim::LinuxProcesses::kWriterPid);  // a write still waiting would keep FIFO 1 open
    if (m.rmmod() != 0)
        fail(m, "unload refused");

    if (!m.violations().empty())
        fail(m, "rule broken");
    if (!m.module_leftovers().empty())
        fail(m, "unload left resources behind");
    for (const auto &r : m.processes().received())
        if (int v = uss_value_get(r.bytes.data()); v != 9999 && (v < -369045 || v > 369045))
            fail(m, "value out of range");
    return 0;
}
