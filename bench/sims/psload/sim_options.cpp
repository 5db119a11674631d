#include "sims/psload/sim_options.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

bool parse_number(const std::string &text, unsigned long long max, unsigned long long &out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

bool parse_fault(const std::string &v, SimOptions &o)
{
    FpgaConfig &f = o.bench.fpga;
    if (v == "none") {
        f.fault = FpgaFault::None;
    } else if (v == "no-cable") {
        o.bench.cable = false;
    } else if (v == "no-device") {
        o.bench.device = false;
    } else if (v == "nstatus-stuck-low") {
        f.fault = FpgaFault::NStatusStuckLow;
    } else if (v == "nstatus-slow") {
        f.nstatus_delay = kSlowNStatusDelay;
    } else if (v == "conf-done-never") {
        f.fault = FpgaFault::ConfDoneNeverRises;
    } else if (v == "conf-done-nstatus-low") {
        f.fault = FpgaFault::ConfDoneWithNStatusLow;
    } else if (v.rfind("error-at-bit:", 0) == 0) {
        unsigned long long k = 0;
        if (!parse_number(v.substr(13), ~0ULL, k))
            return false;
        f.fault = FpgaFault::ErrorAtBit;
        f.error_bit = k;
    } else {
        return false;
    }
    return true;
}

bool parse_signal(const std::string &v, SimOptions &o)
{
    std::size_t at = v.find('@');
    if (at == std::string::npos)
        return false;
    std::string name = v.substr(0, at);
    if (name.rfind("SIG", 0) == 0)
        name = name.substr(3);
    if (name == "INT")
        o.signal = SIGINT;
    else if (name == "TERM")
        o.signal = SIGTERM;
    else if (name == "HUP")
        o.signal = SIGHUP;
    else
        return false;
    unsigned long long n = 0;
    if (!parse_number(v.substr(at + 1), ~0ULL, n) || n == 0)
        return false;
    o.signal_after = n;
    return true;
}

bool parse_one(const std::string &arg, SimOptions &o)
{
    std::string name = arg;
    std::string value;
    bool has_value = false;
    std::size_t eq = arg.find('=');
    if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        has_value = true;
    }
    unsigned long long n = 0;
    if (name == "--sim-help" && !has_value) {
        o.help = true;
    } else if (name == "--sim-vcd-bits" && !has_value) {
        o.vcd_registers = RegisterWires::Bits;
    } else if (name == "--sim-configured" && !has_value) {
        o.bench.fpga.start_configured = true;
    } else if (name == "--sim-unprivileged") {
        o.unprivileged = true;
        if (!has_value || value == "EPERM")
            o.refusal_errno = EPERM;
        else if (value == "ENOSYS")
            o.refusal_errno = ENOSYS;
        else
            return false;
    } else if (!has_value) {
        return false;
    } else if (name == "--sim-bits") {
        if (!parse_number(value, ~0ULL, n))
            return false;
        o.bench.fpga.config_bits = n;
        o.bits_given = true;
    } else if (name == "--sim-nstatus-delay") {
        if (!parse_number(value, 1ULL << 40, n))
            return false;
        o.bench.fpga.nstatus_delay = n;
    } else if (name == "--sim-init-clocks") {
        if (!parse_number(value, 1000000, n))
            return false;
        o.bench.fpga.init_clocks = static_cast<unsigned>(n);
    } else if (name == "--sim-fault") {
        return parse_fault(value, o);
    } else if (name == "--sim-lpt") {
        if (!parse_number(value, 0xFFFD, n))
            return false;
        o.bench.lpt_base = static_cast<std::uint16_t>(n);
    } else if (name == "--sim-refuse") {
        std::size_t colon = value.find(':');
        unsigned long long count = 1;
        if (!parse_number(value.substr(0, colon), 0xFFFF, n))
            return false;
        if (colon != std::string::npos && !parse_number(value.substr(colon + 1), 0x10000 - n, count))
            return false;
        o.refused.emplace_back(static_cast<std::uint16_t>(n), static_cast<unsigned>(count));
    } else if (name == "--sim-signal") {
        return parse_signal(value, o);
    } else if ((name == "--sim-design" || name == "--sim-design-raw") && !value.empty()) {
        o.design_file = value;
        o.design_raw = name == "--sim-design-raw";
    } else if (name == "--sim-report" && !value.empty()) {
        o.report_file = value;
    } else if (name == "--sim-received" && !value.empty()) {
        o.received_file = value;
    } else if (name == "--sim-trace" && !value.empty()) {
        o.trace_file = value;
    } else if (name == "--sim-vcd" && !value.empty()) {
        o.vcd_file = value;
    } else if (name == "--sim-vcd-window") {
        return parse_wave_window(value, o.vcd_window);
    } else {
        return false;
    }
    return true;
}

} // namespace

int parse_sim_options(int argc, char **argv, SimOptions &options, std::string &error)
{
    int k = 1;
    for (; k < argc && std::strncmp(argv[k], "--sim-", 6) == 0; ++k) {
        if (!parse_one(argv[k], options)) {
            error = std::string("bad bench option ") + argv[k];
            return -1;
        }
    }
    return k;
}

const char *sim_options_help()
{
    return "Usage: psload-sim [--sim-OPTION ...] [psload arguments]\n"
           "Runs psload against the simulated FPGA bench.\n"
           "  --sim-design=FILE        the design the device accepts, a TTF file\n"
           "                           (default: psload's data file)\n"
           "  --sim-design-raw=FILE    the same, as raw bytes\n"
           "  --sim-bits=N             the device checks no design, needs N bits\n"
           "  --sim-nstatus-delay=US   nCONFIG rising to nSTATUS high (default 10)\n"
           "  --sim-init-clocks=N      DCLK cycles after CONF_DONE to user mode (default 10)\n"
           "  --sim-configured         the device starts already configured\n"
           "  --sim-fault=F            no-cable, no-device, nstatus-stuck-low, nstatus-slow,\n"
           "                           conf-done-never, error-at-bit:K, conf-done-nstatus-low\n"
           "  --sim-lpt=ADDR           the bench PC's parallel port base (default 0x378)\n"
           "  --sim-unprivileged[=E]   ioperm refused with EPERM (default) or ENOSYS\n"
           "  --sim-refuse=PORT[:N]    ports the kernel never grants\n"
           "  --sim-signal=SIG@N       SIGINT, SIGTERM or SIGHUP (INT, TERM, HUP) after\n"
           "                           the N-th port access\n"
           "  --sim-report=FILE        write what the device got and the port's end state\n"
           "  --sim-received=FILE      write the bytes the device received\n"
           "  --sim-trace=FILE         write every port access and ioperm call\n"
           "  --sim-vcd=FILE           write the cable's lines and the port's registers (VCD)\n"
           "  --sim-vcd-window=FROM:TO only that part, in microseconds (bits:FROM:TO: in bits)\n"
           "  --sim-vcd-bits           the registers as one-bit wires (for sigrok/PulseView)\n"
           "  --sim-help               this text\n";
}

} // namespace bench
