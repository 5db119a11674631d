// echorange-sim scenarios: a text file that sets up the emulated lab PC
// (targets in front of the sensors, faults), lists what Linux processes do
// at which simulated times (load and unload the module, write command
// records to /dev/rtf1, stop and restart the reader of /dev/rtf2, hold a
// FIFO open) and how
// long the run lasts.  The format is described in examples/echorange.scenario.
//
// This header is the scenario as data, and its parser (scenario_parse.cpp);
// running one is scenario_run.h's, serving the machine serve.h's.
#ifndef SIMS_ECHORANGE_SCENARIO_H
#define SIMS_ECHORANGE_SCENARIO_H

#include <array>
#include <iosfwd>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "rtlinux/machine.h"

namespace sims::echorange {

using rtlsim::hrtime;
using rtlsim::kMicrosecond;
using rtlsim::kMillisecond;
using rtlsim::kNever;
using rtlsim::kSecond;
using rtlsim::LinuxProcesses;
using rtlsim::Machine;

// The largest numbers a scenario takes.  A run, and every time in it, lasts
// at most 60 days of simulated time: more than two of the longest period a
// command record carries (2147483647 ms, about 24.9 days), so that the
// second shot of any periodic command can be seen, and with every time a
// run adds to it (a flight, call costs, a period of the module's) still far
// from the 292 years a count of nanoseconds holds.
constexpr hrtime kMaxTime = 60 * 24 * 3600 * kSecond;
// A target at most 369045 mm away: its echo comes after 2147483271 ns, the
// farthest the module measures (a longer interval does not fit its 32 bits).
constexpr long long kMaxTargetMm = 369045;
// A flight time given as such may be longer, so that intervals beyond 32
// bits can still be staged, but at most a minute.
constexpr hrtime kMaxFlight = 60 * kSecond;
// A platform call costs at most a tenth of the shortest period (1 ms).
constexpr hrtime kMaxCallCost = 100 * kMicrosecond;

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ScenarioEvent {
    enum class Kind {
        load, unload, write, bytes, reader_stop, reader_start, irq, target, open, close,
        clear_region, clear_irq  // the other driver gives its ports / IRQ 11 back
    };
    hrtime time = 0;
    Kind kind = Kind::load;
    std::vector<std::array<int, 3>> records;  // write
    std::vector<unsigned char> raw;           // bytes
    int sensor = 0;                           // target
    hrtime flight = -1;                       // target: -1 for none
    unsigned fifo = 0;                        // open, close
    int pid = 0;                              // open, close
    int line = 0;
};

struct Scenario {
    std::map<int, hrtime> targets;  // sensor number -> flight time
    // Port ranges another driver holds before the load: (first, count).
    std::vector<std::pair<unsigned, unsigned>> fault_regions;
    bool fault_irq = false;
    // How the board drives IRQ 11.
    bench::EchoBoard::LineMode irq_line = bench::EchoBoard::LineMode::pulse;
    hrtime call_cost = 0;
    hrtime duration = -1;
    std::vector<ScenarioEvent> events;  // in time order
};

// Parses a scenario; throws ScenarioError("line N: ...") on a bad line.
// A run needs a duration; a served machine (serve.h) runs until stopped, so
// there it may be left out (duration stays -1).
Scenario parse_scenario(const std::string &text, bool need_duration = true);

// "1.5s", "10ms", "250us", "7ns", "2min", "1h", or a bare 0; at most kMaxTime.
hrtime parse_time(const std::string &word);
// Seconds with nine decimals.
std::string format_time(hrtime t);

// What the action is, for the "# ..." lines: "insmod", "write 1 1 0 ; 3 1 0",
// "target 1 echo after 8727543 ns", ...
std::string describe_event(const ScenarioEvent &e);
// What one write of bytes on RT-FIFO 1 carries, in the same words: "write C
// N P ; C N P" for whole records, "write N bytes" otherwise.
std::string write_text(const unsigned char *bytes, size_t n);
// The bytes a write or bytes action writes to /dev/rtf1: the records as the
// module reads them, or the bytes as given.
std::vector<unsigned char> event_bytes(const ScenarioEvent &e);

}  // namespace sims::echorange

#endif
