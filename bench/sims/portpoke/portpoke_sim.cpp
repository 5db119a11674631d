// portpoke-sim: portpoke on the bench.
//
//   portpoke-sim [bench options] r PORT
//   portpoke-sim [bench options] w PORT VALUE
//
// Bench options come first and all begin with --sim-; they are taken off the
// command line before portpoke sees it, so portpoke's own words keep their
// meaning and its output is what the real tool prints.
//
//   --sim-set=PORT=WORD      the board's 16-bit register at PORT holds WORD
//                            (hex; ports never set read FFFF, the floating bus)
//   --sim-refuse=FIRST-LAST  the kernel refuses access to these ports (hex)
//   --sim-unprivileged       the process lacks CAP_SYS_RAWIO: ioperm fails
//                            with EPERM
//   --sim-report=FILE        after the run, write the permission requests,
//                            every port access and the registers written
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "boards/register_board.h"
#include "bus/io_bus.h"
#include "seams/portio_sim.h"

int portpoke_main(int argc, char **argv);

namespace {

struct SimSettings {
    std::string report;
};

bool parse_hex(const char *text, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 16);
    if (end == text || errno != 0)
        return false;
    *out = v;
    return true;
}

[[noreturn]] void sim_usage(const char *why)
{
    std::fprintf(stderr, "portpoke-sim: %s\n", why);
    std::fprintf(stderr,
                 "usage: portpoke-sim [--sim-set=PORT=WORD]... [--sim-refuse=FIRST-LAST]... [--sim-unprivileged]\n"
                 "                    [--sim-report=FILE] r PORT | w PORT VALUE\n");
    std::exit(2);
}

void write_report(const std::string &path, const bench::IoBus &io, const bench::RegisterBank &bank,
                  const std::vector<std::uint8_t> &before)
{
    std::FILE *f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "portpoke-sim: cannot write %s\n", path.c_str());
        return;
    }
    for (const auto &c : io.permissions().calls())
        std::fprintf(f, "ioperm 0x%lX %lu %d -> %d%s\n", c.from, c.num, c.turn_on, c.result,
                     c.result ? (c.err == EPERM ? " EPERM" : c.err == EINVAL ? " EINVAL" : " error") : "");
    for (const auto &a : io.trace())
        std::fprintf(f, "%s\n", bench::to_string(a).c_str());
    for (unsigned i = 0; i < bank.size(); ++i) {
        if (bank.get(i) != before[i])
            std::fprintf(f, "register 0x%X = 0x%02X\n", bench::RegisterBoard::kFirstPort + i, bank.get(i));
    }
    std::fclose(f);
}

} // namespace

int main(int argc, char **argv)
{
    // The bench PC's bus, behind the port seam until the process ends
    // (portpoke may end it with exit()).
    static bench::IoBus io;
    bench::portio_register(&bench::kIoBusPortOps, &io);
    io.set_tracing(true);

    static bench::RegisterBoard board(io);
    bench::RegisterBank &bank = board.bank();

    SimSettings sim;
    int k = 1;
    for (; k < argc && std::strncmp(argv[k], "--sim-", 6) == 0; ++k) {
        std::string opt = argv[k];
        if (opt == "--sim-unprivileged") {
            io.permissions().set_privileged(false, EPERM);
            continue;
        }
        std::string::size_type eq_at = opt.find('=');
        if (eq_at == std::string::npos)
            sim_usage(("missing =VALUE after " + opt).c_str());
        const char *val = argv[k] + eq_at + 1;
        opt.resize(eq_at);
        if (opt == "--sim-set") {
            const char *eq = std::strchr(val, '=');
            unsigned long port = 0, word = 0;
            if (!eq || !parse_hex(std::string(val, eq).c_str(), &port) || !parse_hex(eq + 1, &word) ||
                port > 0xFFFE || word > 0xFFFF)
                sim_usage("--sim-set takes PORT=WORD in hex");
            bank.set_word(static_cast<unsigned>(port) - bench::RegisterBoard::kFirstPort,
                          static_cast<std::uint16_t>(word));
        } else if (opt == "--sim-refuse") {
            const char *dash = std::strchr(val, '-');
            unsigned long first = 0, last = 0;
            if (!dash || !parse_hex(std::string(val, dash).c_str(), &first) || !parse_hex(dash + 1, &last) ||
                first > last || last > 0xFFFF)
                sim_usage("--sim-refuse takes FIRST-LAST in hex");
            io.permissions().refuse_range(static_cast<std::uint16_t>(first), static_cast<unsigned>(last - first + 1));
        } else if (opt == "--sim-report") {
            sim.report = val;
        } else {
            sim_usage(("unknown bench option " + opt).c_str());
        }
    }

    std::vector<std::uint8_t> before(bank.size());
    for (unsigned i = 0; i < bank.size(); ++i)
        before[i] = bank.get(i);

    // portpoke sees its own program name and its own words only.
    std::vector<char *> args;
    args.push_back(argv[0]);
    for (int i = k; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);

    int rc = portpoke_main(static_cast<int>(args.size() - 1), args.data());
    std::fflush(stdout);
    if (!sim.report.empty())
        write_report(sim.report, io, bank, before);
    return rc;
}
