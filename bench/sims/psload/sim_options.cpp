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
        o.nstatus = SimOptions::NStatusChoice::Value;
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

enum Tag {
    Design, DesignRaw, Bits, NStatusDelay, InitClocks, Configured, Fault, Lpt, Unprivileged, Refuse, Signal,
    Report, Received, Trace, Vcd, VcdWindow, VcdBits, Help, Version, Profile, AccessNs, CableSettle
};

// The bench options: their names, values and help, and nothing else lists
// them (the manual page and the README are checked against this table).
const OptionDoc kOptions[] = {
    {"--sim-design", "=FILE", "the design the device accepts, a TTF file\n(default: psload's data file)", Design},
    {"--sim-design-raw", "=FILE", "the same, as raw bytes", DesignRaw},
    {"--sim-bits", "=N", "the device checks no design, needs N bits", Bits},
    {"--sim-profile", "=P", "the device's timing limits: A (the lab's era, default),\nB or C (see psload-sim(1))", Profile},
    {"--sim-nstatus-delay", "=US", "nCONFIG rising to nSTATUS high: microseconds, or worst\nor best of the profile's range (default 10; worst\nwith --sim-profile)", NStatusDelay},
    {"--sim-init-clocks", "=N", "DCLK cycles after CONF_DONE to user mode (default:\nthe profile's, 10 for A)", InitClocks},
    {"--sim-access-ns", "=NS[:DELAY]", "one parallel-port access and one delay-port write\ntake NS and DELAY ns (default 1000:1000; NS alone: both)", AccessNs},
    {"--sim-cable-settle", "=NS", "DATA0 and DCLK take NS ns to settle on the cable\n(default 0)", CableSettle},
    {"--sim-configured", "", "the device starts already configured", Configured},
    {"--sim-fault", "=F",
     "no-cable, no-device, nstatus-stuck-low, nstatus-slow,\nconf-done-never, error-at-bit:K, conf-done-nstatus-low",
     Fault},
    {"--sim-lpt", "=PORT", "the bench PC's parallel port base (default 0x378)", Lpt},
    {"--sim-unprivileged", "[=E]", "ioperm refused with EPERM (default) or ENOSYS", Unprivileged},
    {"--sim-refuse", "=FIRST[-LAST]", "ports the kernel never grants", Refuse},
    {"--sim-signal", "=SIG@N", "SIGINT, SIGTERM or SIGHUP (INT, TERM, HUP) after\nthe N-th port access", Signal},
    {"--sim-report", "=FILE", "write what the device got and the port's end state", Report},
    {"--sim-received", "=FILE", "write the bytes the device received", Received},
    {"--sim-trace", "=FILE", "write every port access and ioperm call", Trace},
    {"--sim-vcd", "=FILE", "write the cable's lines and the port's registers (VCD)", Vcd},
    {"--sim-vcd-window", "=FROM:TO", "only that part, in microseconds (bits:FROM:TO: in bits)", VcdWindow},
    {"--sim-vcd-bits", "", "the registers as one-bit wires (for sigrok/PulseView)", VcdBits},
    {"--sim-help", "", "this text", Help},
    {"--sim-version", "", "the version and the source commit", Version},
};

const ProgramDoc kDoc = {
    "Usage: psload-sim [--sim-OPTION ...] [psload arguments]\n",
    "Runs psload against the simulated FPGA bench.\n",
    kOptions,
    sizeof kOptions / sizeof kOptions[0],
    "Bench options may stand anywhere before the data file, among psload's own;\n"
    "a data file whose name begins with --sim- is given as ./--sim-...\n"
    "Ports are hexadecimal (0x may be left out); other numbers are decimal,\n"
    "or hexadecimal with 0x.\n",
};

bool apply(const OptionDoc &option, const std::string &value, bool given, SimOptions &o, std::string &why)
{
    unsigned long long n = 0;
    switch (option.tag) {
    case Profile: {
        TimingProfile p;
        if (!find_timing_profile(value, p)) {
            why = std::string("no such profile (") + timing_profile_names() + ")";
            return false;
        }
        o.profile = value;
        o.profile_given = true;
        return true;
    }
    case AccessNs: {
        std::size_t colon = value.find(':');
        unsigned long long port = 0, delay = 0;
        bool ok = parse_number(value.substr(0, colon), kMaxNanos, port) && port > 0;
        if (ok)
            delay = port;
        if (ok && colon != std::string::npos)
            ok = parse_number(value.substr(colon + 1), kMaxNanos, delay) && delay > 0;
        if (!ok) {
            why = "nanoseconds from 1 to 1000000000, NS or NS:DELAY";
            return false;
        }
        o.bench.port_access_ns = static_cast<Nanos>(port);
        o.bench.delay_write_ns = static_cast<Nanos>(delay);
        o.access_given = true;
        return true;
    }
    case CableSettle:
        if (!parse_number(value, kMaxNanos, n)) {
            why = "nanoseconds from 0 to 1000000000";
            return false;
        }
        o.bench.cable_settle_ns = static_cast<Nanos>(n);
        o.settle_given = true;
        return true;
    case Help:
        o.help = true;
        return true;
    case Version:
        o.version = true;
        return true;
    case VcdBits:
        o.vcd_registers = RegisterWires::Bits;
        return true;
    case Configured:
        o.bench.fpga.start_configured = true;
        return true;
    case Unprivileged:
        o.unprivileged = true;
        if (!given || value == "EPERM")
            o.refusal_errno = EPERM;
        else if (value == "ENOSYS")
            o.refusal_errno = ENOSYS;
        else
            return false;
        return true;
    case Bits:
        if (!parse_number(value, ~0ULL, n))
            return false;
        o.bench.fpga.config_bits = n;
        o.bits_given = true;
        return true;
    case NStatusDelay:
        if (value == "worst" || value == "best") {
            o.nstatus = value == "worst" ? SimOptions::NStatusChoice::Worst : SimOptions::NStatusChoice::Best;
            return true;
        }
        if (!parse_number(value, 1ULL << 40, n))
            return false;
        o.bench.fpga.nstatus_delay = n;
        o.nstatus = SimOptions::NStatusChoice::Value;
        return true;
    case InitClocks:
        if (!parse_number(value, 1000000, n))
            return false;
        o.bench.fpga.init_clocks = static_cast<unsigned>(n);
        o.init_clocks_given = true;
        return true;
    case Fault:
        return parse_fault(value, o);
    case Lpt: {
        // The port and the two above it: the data, status and control
        // registers.
        std::uint16_t port = 0;
        if (!parse_port(value, port) || port > 0xFFFD)
            return false;
        o.bench.lpt_base = port;
        return true;
    }
    case Refuse: {
        std::uint16_t first = 0;
        unsigned count = 0;
        if (!parse_port_range(value, first, count))
            return false;
        o.refused.emplace_back(first, count);
        return true;
    }
    case Signal:
        return parse_signal(value, o);
    case Design:
    case DesignRaw:
        if (value.empty())
            return false;
        o.design_file = value;
        o.design_raw = option.tag == DesignRaw;
        return true;
    case Report:
    case Received:
    case Trace:
    case Vcd: {
        if (value.empty())
            return false;
        std::string &file = option.tag == Report     ? o.report_file
                            : option.tag == Received ? o.received_file
                            : option.tag == Trace    ? o.trace_file
                                                     : o.vcd_file;
        file = value;
        return true;
    }
    case VcdWindow:
        o.vcd_window_given = true;
        return parse_wave_window(value, o.vcd_window);
    }
    return false;
}

// False with the reason in error: "bad bench option WORD", and after a
// colon what the option takes, where that is worth saying.
bool parse_one(const std::string &word, SimOptions &o, std::string &error)
{
    const OptionDoc *option = find_option(kDoc, word);
    std::string value;
    bool given = false;
    std::string why;
    if (option && option_value(*option, word, value, given) && apply(*option, value, given, o, why))
        return true;
    error = "bad bench option " + word;
    if (!why.empty())
        error += ": " + why;
    return false;
}

bool is_sim_option(const char *word)
{
    return std::strncmp(word, "--sim-", 6) == 0;
}

// Whether psload reads the argument after the option word as its value:
// -d, -p and -w, and -m when its third character is d or f.
bool takes_value(const char *word)
{
    switch (word[1]) {
    case 'd':
    case 'p':
    case 'w':
        return true;
    case 'm':
        return word[2] == 'd' || word[2] == 'f';
    default:
        return false;
    }
}

} // namespace

int parse_sim_options(int argc, char **argv, SimOptions &options, std::string &error)
{
    int k = 1;
    for (; k < argc && is_sim_option(argv[k]); ++k) {
        if (!parse_one(argv[k], options, error))
            return -1;
    }
    return k;
}

bool split_sim_command_line(int argc, char **argv, SimOptions &options, std::vector<char *> &psload_args,
                            std::string &error)
{
    psload_args.assign(1, argv[0]);
    int k = 1;
    // psload's option loop, as far as it tells options from their values
    // and from the data file.
    while (k < argc) {
        char *word = argv[k];
        if (is_sim_option(word)) {
            if (!parse_one(word, options, error))
                return false;
            ++k;
            continue;
        }
        if (word[0] != '-')
            break;
        psload_args.push_back(word);
        ++k;
        if (takes_value(word) && k < argc)
            psload_args.push_back(argv[k++]);
    }
    for (; k < argc; ++k)
        psload_args.push_back(argv[k]);
    return true;
}

bool check_sim_options(const SimOptions &options, std::string &error)
{
    if (options.bits_given && !options.design_file.empty()) {
        error = "--sim-bits and --sim-design exclude each other";
        return false;
    }
    // A window of nothing: the waveform it would cut is not written.
    if (options.vcd_window_given && options.vcd_file.empty()) {
        error = "--sim-vcd-window needs --sim-vcd=FILE";
        return false;
    }
    return true;
}

void resolve_timing(SimOptions &o)
{
    TimingProfile p;
    find_timing_profile(o.profile, p);
    FpgaConfig &f = o.bench.fpga;
    f.timing = p;
    switch (o.nstatus) {
    case SimOptions::NStatusChoice::Worst:
        f.nstatus_delay = static_cast<Micros>(p.nstatus_max / kMicrosecond);
        break;
    case SimOptions::NStatusChoice::Best:
        f.nstatus_delay = static_cast<Micros>(p.nstatus_min / kMicrosecond);
        break;
    case SimOptions::NStatusChoice::Default:
        // The bench's nSTATUS has risen 10 us after nCONFIG since before it
        // had profiles, later than A's latest: unnamed, profile A keeps it,
        // so that runs without a timing option stay as they were.
        if (o.profile_given)
            f.nstatus_delay = static_cast<Micros>(p.nstatus_max / kMicrosecond);
        break;
    case SimOptions::NStatusChoice::Value:
        break;
    }
    if (!o.init_clocks_given)
        f.init_clocks = p.closing_clocks > 0 ? static_cast<unsigned>(p.closing_clocks) : 0;
    f.user_mode_delay = p.known(p.user_mode_max) ? p.user_mode_max : 0;
    // Every edge psload makes on DCLK or DATA0 is a register write, one
    // access after the write before it: with a cable that settles at once
    // and an access at least as long as each edge limit (two for the
    // period), no edge can break one, and only the report's timing section
    // needs the values.
    const Nanos access = o.bench.port_access_ns;
    const bool edges_may_break = o.bench.cable_settle_ns > 0 || access < p.tdsu_min || access < p.tdh_min ||
                                 access < p.tch_min || access < p.tcl_min || 2 * access < p.min_period();
    f.check_edges = o.timing_report() || edges_may_break;
}

const ProgramDoc &sim_options_doc()
{
    return kDoc;
}

std::string sim_options_help()
{
    return help_text(kDoc);
}

} // namespace bench
