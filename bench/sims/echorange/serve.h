// The emulated lab PC serving the range-finder module to real programs.
//
// The module is loaded on a Machine whose simulated time is paced to the wall
// clock (times a speed factor), and the Linux side of its two FIFOs is made
// of two named pipes, DIR/rtf1 and DIR/rtf2, which a client opens and uses as
// it would /dev/rtf1 and /dev/rtf2 on the lab PC:
//   - what a client writes to DIR/rtf1 reaches the module as a write() on
//     RT-FIFO 1, so its handler runs;
//   - the values the module puts on RT-FIFO 2 are handed on to DIR/rtf2.
// The scenario sets up the machine (targets, faults, call cost) and may act
// at given simulated times as in a scenario run; the reader of FIFO 2 is the
// client, so it has no reader actions.  The service runs until it is stopped
// (SIGINT, SIGTERM, SIGHUP) or, when the scenario gives one, until its
// duration has passed; then the module is unloaded.
//
// How the RT-FIFO's rules map onto pipes:
//   - A client's write() of up to PIPE_BUF bytes lands in a pipe whole, and
//     the service hands what one read() of the pipe returns to the module as
//     one write on RT-FIFO 1, whole records or not: the module's handler
//     takes a short piece with its rtf_get as on the lab PC.  A pipe keeps
//     no write boundaries: two writes that come in quick succession can
//     reach the module as one, so a record split over two writes may happen
//     to work here that the real FIFO loses.
//   - An RT-FIFO takes one Linux opener at a time (-EACCES for others); a
//     named pipe takes any number, and nothing lets the service refuse an
//     open of it (a mode would not stop root, and comes too late).  So two
//     clients can share a pipe: two readers of DIR/rtf2 each get some of
//     the values, each believing them its own.  The service watches the
//     pipes' opens (inotify) and, by /proc, logs a line when a second
//     process holds one.
//   - The service holds both pipes open for reading and writing, so a
//     client's non-blocking open succeeds at any time, values put while no
//     client reads wait in DIR/rtf2, and a client sees end of file / EPIPE
//     only when the service has gone.  Values wait in the pipe (4 KiB where
//     the pipe size can be set) and then in RT-FIFO 2, so up to about twice
//     the real FIFO's 4000 bytes are kept before the module's puts fail.
//   - The pipes exist while the module is loaded: a client finds no DIR/rtf1
//     before the load and after the unload, much as /dev/rtf1 gives ENODEV
//     on the lab PC when the module is not loaded.
#ifndef SIMS_ECHORANGE_SERVE_H
#define SIMS_ECHORANGE_SERVE_H

#include <iosfwd>
#include <string>

#include "rtlinux/observer.h"
#include "sims/echorange/scenario_run.h"

namespace sims::echorange {

struct ServeOptions {
    std::string dir;        // where rtf1 and rtf2 are made
    double speed = 1.0;     // simulated seconds per wall-clock second
    bool bytewise = false;  // hand values to DIR/rtf2 a byte at a time, each once the last was read
};

// Serves the module at module_path until stopped, writing a log to out: the
// scenario's actions, every write that arrives on DIR/rtf1 (decoded into
// records), every value handed on to DIR/rtf2, and at the end the ranging
// thread's state, the kernel log and a summary.  An observer, if given, is
// told everything the machine does (observer.h), as in a scenario run; *end,
// if given, is set to the simulated time the service ended at.  Returns the
// exit status: 0; 1 when the module broke a platform rule or could not be
// loaded; 2 when the pipes could not be made.
int serve_scenario(const Scenario &scenario, const std::string &module_path, const ServeOptions &options,
                   std::ostream &out, rtlsim::MachineObserver *observer = nullptr, hrtime *end = nullptr);

}  // namespace sims::echorange

#endif
