// Running an echorange-sim scenario on the emulated lab PC.
//
// Two runners do a scenario's actions: run_scenario here, on a machine in
// simulated time from start to end, and serve_scenario (serve.h), on a
// machine paced to the wall clock whose FIFOs real programs use.  Both do
// each action through apply_event and tell about it through a
// ScenarioReporter of their own: they differ only in what they say.
#ifndef SIMS_ECHORANGE_SCENARIO_RUN_H
#define SIMS_ECHORANGE_SCENARIO_RUN_H

#include <iosfwd>
#include <string>
#include <vector>

#include "rtlinux/observer.h"
#include "sims/echorange/scenario.h"

namespace sims::echorange {

// What a runner tells about the actions it has the machine do.
class ScenarioReporter {
public:
    virtual ~ScenarioReporter() = default;
    // Before any action but a load, an unload or a write: one of the PC's
    // own (the board's, another driver's), a FIFO's open or close, the
    // reader's stop or start.
    virtual void action(Machine &m, const ScenarioEvent &e) = 0;
    // insmod's result (the loader's reason in m.loader_error()).
    virtual void loaded(Machine &m, int result) = 0;
    // Before rmmod; false leaves it undone.
    virtual bool unloading(Machine &m, const ScenarioEvent &e) = 0;
    virtual void unloaded(Machine &m, int result) = 0;
    // A write or bytes action: the bytes before they go to /dev/rtf1,
    // write()'s result after.
    virtual void writing(Machine &m, const ScenarioEvent &e, const std::vector<unsigned char> &bytes) = 0;
    virtual void written(Machine &m, int result) = 0;
    // open()'s or close()'s result.
    virtual void fifo_done(Machine &m, const ScenarioEvent &e, int result) = 0;
};

// Sets a fresh machine up as the scenario says before anything runs: the
// targets, the call cost, the faults present from the start, the board's
// interrupt line (used by a run and by a served machine alike).
void set_up_machine(Machine &m, const Scenario &scenario);
// Whether e is one of the PC's own actions (the board's targets and stray
// interrupts, a region or IRQ freed by another driver) rather than a Linux
// process's.
bool machine_event(const ScenarioEvent &e);
// Does one scenario action on the machine, the Linux processes' (load,
// unload, write, bytes, open, close, reader stop/start) and the PC's alike,
// telling the reporter (if any) about it; returns its result: insmod's,
// rmmod's, write()'s, open()'s or close()'s, 0 for the others.
int apply_event(Machine &m, const ScenarioEvent &e, const std::string &module_path,
                ScenarioReporter *reporter = nullptr);

// "insmod: RESULT [(loader error)]".
std::string insmod_text(const Machine &m, int result);
// "N releases of the thread came while ... (overruns)", for the end of a
// run or a service whose thread's work overran its period.
std::string overruns_text(long overruns);
// The end of a run or a service: the kernel log, then the summary line
// ("--- N values <values_what>, ... ---").
void write_end(std::ostream &out, const Machine &m, long values, const char *values_what);

struct RunSummary {
    long values_read = 0;
    long values_dropped = 0;  // puts refused by a full FIFO 2
    long shots = 0;
    long echoes_lost = 0;     // echoes that found IRQ 11 masked
    long interrupts = 0;      // IRQ 11 handler calls
    hrtime end = 0;           // when the run ended
    std::vector<std::string> violations;
};

// Runs the scenario on a fresh machine with the module object at
// module_path, writing the trace (events as "# ..." lines, one line per
// value read from FIFO 2) and then the kernel log to out.  An observer, if
// given, is told everything the machine does (observer.h).
RunSummary run_scenario(const Scenario &scenario, const std::string &module_path, std::ostream &out,
                        rtlsim::MachineObserver *observer = nullptr);

}  // namespace sims::echorange

#endif
