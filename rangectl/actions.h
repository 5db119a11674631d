// rangectl's actions.  Each opens what it needs, does its work, closes the
// FIFOs and returns the exit status (or ends the process by the signal that
// stopped it).
#ifndef RANGECTL_ACTIONS_H
#define RANGECTL_ACTIONS_H

#include "fifo.h"
#include "rangectl.h"

// One run of an action: its settings, its FIFOs, and why the output could
// not be written (a full disk, a closed descriptor), or 0.  A closed output
// pipe is not counted there: it stops the run as SIGPIPE.
struct rangectl_run {
    const struct rangectl_settings *settings;
    struct rangectl_fifos fifos;
    int output_errno;
};

void run_init(struct rangectl_run *run, const struct rangectl_settings *settings);

int shot_run(struct rangectl_run *run);
int command_run(struct rangectl_run *run, int command);  // start, stop
int watch_run(struct rangectl_run *run);
int read_run(struct rangectl_run *run);

// start and watch: the warning for a period shorter than the farthest
// echo's flight.
void period_warn(const struct rangectl_settings *settings);

// Flushes standard output: 0, or 1 with *output_errno set (or the stop
// signal SIGPIPE) when it could not be written.
int output_flush(int *output_errno);
int output_failure(int output_errno);

#endif
