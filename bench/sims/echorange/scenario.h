// echorange-sim scenarios: a text file that sets up the emulated lab PC
// (targets in front of the sensors, faults), lists what Linux processes do
// at which simulated times (load and unload the module, write command
// records to /dev/rtf1, stop and restart the reader of /dev/rtf2, hold a
// FIFO open) and how
// long the run lasts.  The format is described in examples/echorange.scenario.
#ifndef RTLSIM_SCENARIO_H
#define RTLSIM_SCENARIO_H

#include <array>
#include <iosfwd>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "rtlinux/machine.h"

namespace rtlsim {

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

struct RunSummary {
    long values_read = 0;
    long values_dropped = 0;  // puts refused by a full FIFO 2
    long shots = 0;
    long echoes_lost = 0;     // echoes that found IRQ 11 masked
    long interrupts = 0;      // IRQ 11 handler calls
    hrtime end = 0;           // when the run ended
    std::vector<std::string> violations;
};

// Sets a fresh machine up as the scenario says before anything runs: the
// targets, the call cost, the faults present from the start, the board's
// interrupt line (used by a run and by a served machine alike).
// The writer's command records (command, number, period) as the bytes of
// one write() to FIFO 1.
std::vector<unsigned char> record_bytes(const std::vector<std::array<int, 3>> &records);
void set_up_machine(Machine &m, const Scenario &scenario);
// What the action is, for the "# ..." lines.
std::string describe_event(const ScenarioEvent &e);
// Does one of the PC's own actions (the board's targets and stray
// interrupts, a region or IRQ freed by another driver); false, doing
// nothing, for the Linux processes' actions.
bool apply_machine_event(Machine &m, const ScenarioEvent &e);
// Does one scenario action on the machine, the Linux processes' (load,
// unload, write, bytes, open, close, reader stop/start) and the PC's alike;
// returns its result: insmod's, rmmod's, write()'s, open()'s or close()'s,
// 0 for the others.  A run and a served machine both act through it and
// differ only in what they tell about it.
int apply_event(Machine &m, const ScenarioEvent &e, const std::string &module_path);
// "N releases of the thread came while ... (overruns)", for the end of a
// run or a service whose thread's work overran its period.
std::string overruns_text(long overruns);
// The end of a run or a service: the kernel log, then the summary line
// ("--- N values <values_what>, ... ---").
void write_end(std::ostream &out, const Machine &m, long values, const char *values_what);

// Runs the scenario on a fresh machine with the module object at
// module_path, writing the trace (events as "# ..." lines, one line per
// value read from FIFO 2) and then the kernel log to out.  An observer, if
// given, is told everything the machine does (observer.h).
RunSummary run_scenario(const Scenario &scenario, const std::string &module_path,
                        std::ostream &out, MachineObserver *observer = nullptr);

}  // namespace rtlsim

#endif
