// portpoke-sim: portpoke on the bench.
//
//   portpoke-sim [bench options] r PORT
//   portpoke-sim [bench options] w PORT VALUE
//
// Bench options come first and all begin with --sim-; they are taken off the
// command line before portpoke sees it, so portpoke's own words keep their
// meaning and its output is what the real tool prints.  The options are the
// table kOptions below, which --sim-help prints.
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
#include "sims/common/front_end.h"

int portpoke_main(int argc, char **argv);

namespace {

const char kProgram[] = "portpoke-sim";

enum Tag { Set, Refuse, Unprivileged, Report, Help, Version };

const bench::OptionDoc kOptions[] = {
    {"--sim-set", "=PORT=WORD", "the board's 16-bit register at PORT holds WORD\n(ports never set read FFFF, the floating bus)", Set},
    {"--sim-refuse", "=FIRST[-LAST]", "the kernel refuses access to these ports", Refuse},
    {"--sim-unprivileged", "", "no CAP_SYS_RAWIO: ioperm fails with EPERM", Unprivileged},
    {"--sim-report", "=FILE", "after the run, write the permission requests, every\nport access and the registers written", Report},
    {"--sim-help", "", "this text", Help},
    {"--sim-version", "", "the version and the source commit", Version},
};

const bench::ProgramDoc kDoc = {
    "Usage: portpoke-sim [--sim-OPTION ...] r PORT | w PORT VALUE\n",
    "Runs portpoke against a simulated board of I/O registers.\n",
    kOptions,
    sizeof kOptions / sizeof kOptions[0],
    "Ports and words are hexadecimal (0x may be left out).\n",
};

struct SimSettings {
    std::string report;
    bool help = false;
    bool version = false;
};

void write_report(std::FILE *f, const bench::IoBus &io, const bench::RegisterBank &bank,
                  const std::vector<std::uint8_t> &before)
{
    for (const auto &c : io.permissions().calls())
        std::fprintf(f, "ioperm 0x%lX %lu %d -> %d%s\n", c.from, c.num, c.turn_on, c.result,
                     c.result ? (c.err == EPERM ? " EPERM" : c.err == EINVAL ? " EINVAL" : " error") : "");
    for (const auto &a : io.trace())
        std::fprintf(f, "%s\n", bench::to_string(a).c_str());
    for (unsigned i = 0; i < bank.size(); ++i) {
        if (bank.get(i) != before[i])
            std::fprintf(f, "register 0x%X = 0x%02X\n", bench::RegisterBoard::kFirstPort + i, bank.get(i));
    }
}

// Applies one bench option; false when its value is not understood.
bool apply(const bench::OptionDoc &option, const std::string &value, bench::IoBus &io, bench::RegisterBank &bank,
           SimSettings &sim)
{
    switch (option.tag) {
    case Set: {
        std::size_t eq = value.find('=');
        std::uint16_t port = 0, word = 0;
        if (eq == std::string::npos || !bench::parse_port(value.substr(0, eq), port) ||
            !bench::parse_port(value.substr(eq + 1), word) || port > 0xFFFE)
            return false;
        bank.set_word(static_cast<unsigned>(port - bench::RegisterBoard::kFirstPort), word);
        return true;
    }
    case Refuse: {
        std::uint16_t first = 0;
        unsigned count = 0;
        if (!bench::parse_port_range(value, first, count))
            return false;
        io.permissions().refuse_range(first, count);
        return true;
    }
    case Unprivileged:
        io.permissions().set_privileged(false, EPERM);
        return true;
    case Report:
        sim.report = value;
        return !value.empty();
    case Help:
        sim.help = true;
        return true;
    case Version:
        sim.version = true;
        return true;
    }
    return false;
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
        const bench::OptionDoc *option = bench::find_option(kDoc, argv[k]);
        if (!option)
            return bench::front_end_error(kProgram, std::string("bad bench option ") + argv[k]);
        std::string value;
        bool given = false;
        if (!bench::option_value(*option, argv[k], value, given) || !apply(*option, value, io, bank, sim))
            return bench::front_end_error(kProgram, std::string("bad bench option ") + argv[k]);
    }
    if (sim.help)
        return bench::print_text(kProgram, bench::help_text(kDoc));
    if (sim.version)
        return bench::print_text(kProgram, bench::version_text(kProgram));

    std::vector<std::uint8_t> before(bank.size());
    for (unsigned i = 0; i < bank.size(); ++i)
        before[i] = bank.get(i);

    // portpoke sees its own program name and its own words only.
    std::vector<char *> args;
    args.push_back(argv[0]);
    for (int i = k; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);

    // The report is written after the run, but a place where it cannot be
    // written is found out now, before portpoke touches a port: a run whose
    // record is lost is refused as a whole, as psload-sim does.
    bench::OutputFile report(sim.report);
    if (!sim.report.empty() && !report.open())
        return bench::front_end_error(kProgram, report.error());

    int rc = portpoke_main(static_cast<int>(args.size() - 1), args.data());
    std::fflush(stdout);
    if (!sim.report.empty()) {
        write_report(report.stream(), io, bank, before);
        if (!report.finish())
            return bench::front_end_error(kProgram, report.error());
    }
    return rc;
}
