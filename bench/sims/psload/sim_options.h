// The bench settings of psload-sim, given as --sim-... arguments among
// psload's own options, before its data file:
//
//   psload-sim [--sim-OPTION | psload option] ... [data file]
//
// The options, their values and their help are one table (sim_options.cpp),
// printed by --sim-help.
#ifndef BENCH_SIM_OPTIONS_H
#define BENCH_SIM_OPTIONS_H

#include "boards/fpga_bench.h"
#include "sims/common/front_end.h"
#include "sims/psload/cable_waveform.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct SimOptions {
    FpgaBenchConfig bench;
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
    bool vcd_window_given = false;
    WaveWindow vcd_window;
    RegisterWires vcd_registers = RegisterWires::Vectors;
    bool help = false;
    bool version = false;
};

// nSTATUS delay of the nstatus-slow fault: well past the handshake's polls.
constexpr Micros kSlowNStatusDelay = 1000;

// Parses the leading --sim- arguments of argv[1..argc).  Returns the index
// of the first other argument, or -1 with a message in error.
int parse_sim_options(int argc, char **argv, SimOptions &options, std::string &error);

// Takes the --sim- arguments out of psload-sim's command line, wherever
// they stand before the data file.  The arguments are walked as psload's
// option loop walks them: an argument that begins with --sim- where psload
// would look for an option or its data file is a bench option; the value
// of -d, -p, -w, -md or -mf is psload's whatever it says, and the first
// argument that does not begin with "-" (the data file) ends the bench
// options.  psload_args gets argv[0] and psload's words in their order.
// False with a message in error for a bench option not understood.
bool split_sim_command_line(int argc, char **argv, SimOptions &options, std::vector<char *> &psload_args,
                            std::string &error);

// Checks the options that only mean something together; false with a
// message in error.
bool check_sim_options(const SimOptions &options, std::string &error);

// The table of the bench options, for the help and the checks against
// the manual.
const ProgramDoc &sim_options_doc();

// Text of --sim-help.
std::string sim_options_help();

} // namespace bench

#endif
