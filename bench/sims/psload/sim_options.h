// The bench settings of psload-sim, given as leading --sim-... arguments
// before psload's own command line:
//
//   psload-sim [--sim-OPTION ...] [psload arguments]
//
//   --sim-design=FILE         the design the device accepts, a TTF file
//                             (default: the data file psload is given)
//   --sim-design-raw=FILE     the same, as a file of raw bytes
//   --sim-bits=N              the device checks no design: it needs N
//                             configuration bits, whatever they are
//   --sim-nstatus-delay=US    nCONFIG rising to nSTATUS high (default 10)
//   --sim-init-clocks=N       DCLK cycles after CONF_DONE to user mode (10)
//   --sim-configured          the device starts already configured
//   --sim-fault=F             no-cable, no-device, nstatus-stuck-low,
//                             nstatus-slow, conf-done-never,
//                             error-at-bit:K, conf-done-nstatus-low
//   --sim-lpt=ADDR            where the bench PC's parallel port is (0x378)
//   --sim-unprivileged[=E]    ioperm refused with EPERM (default) or ENOSYS
//   --sim-refuse=PORT[:N]     the kernel never grants these ports
//   --sim-signal=SIG@N        send SIGINT, SIGTERM or SIGHUP (INT, TERM,
//                             HUP) right after the N-th port access
//   --sim-report=FILE         what the device got and how the port was left
//   --sim-received=FILE       the bytes the device received, raw
//   --sim-trace=FILE          every port access and ioperm call
//   --sim-vcd=FILE            the cable's lines and the port's registers
//                             as a waveform (VCD)
//   --sim-vcd-window=FROM:TO  only that part of the run, in microseconds
//                             (or bits:FROM:TO, in configuration bits)
//   --sim-vcd-bits            the registers as one-bit wires (sigrok)
//   --sim-help                this list, on standard output
//
// Numbers are decimal, or hexadecimal with 0x.  The first argument that
// does not begin with --sim- starts psload's command line.
#ifndef BENCH_SIM_OPTIONS_H
#define BENCH_SIM_OPTIONS_H

#include "boards/fpga_bench.h"
#include "sims/psload/cable_waveform.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct SimOptions {
    BenchConfig bench;
    bool bits_given = false;           // --sim-bits: a device that counts bits only
    std::string design_file;           // --sim-design / --sim-design-raw
    bool design_raw = false;
    bool unprivileged = false;
    int refusal_errno = 0;
    std::vector<std::pair<std::uint16_t, unsigned>> refused;
    int signal = 0;                    // 0: none
    std::uint64_t signal_after = 0;    // port accesses before the signal
    std::string report_file;
    std::string received_file;
    std::string trace_file;
    std::string vcd_file;
    WaveWindow vcd_window;
    RegisterWires vcd_registers = RegisterWires::Vectors;
    bool help = false;
};

// nSTATUS delay of the nstatus-slow fault: well past the handshake's polls.
constexpr Micros kSlowNStatusDelay = 1000;

// Parses the leading --sim- arguments of argv[1..argc).  Returns the index
// of the first psload argument, or -1 with a message in error.
int parse_sim_options(int argc, char **argv, SimOptions &options, std::string &error);

// Text of --sim-help.
const char *sim_options_help();


} // namespace bench

#endif
