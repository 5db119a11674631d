// The signals that end a run of rangectl (SIGINT, SIGTERM, SIGHUP; SIGPIPE
// for a closed output pipe).  The handler only records the signal and wakes
// the main loop through a pipe; the main loop suspends ranging and closes
// the FIFOs, then ends the process by the same signal.  What a signal
// handler touches has to be at file scope: these are rangectl's only
// globals.
#ifndef RANGECTL_STOP_SIGNAL_H
#define RANGECTL_STOP_SIGNAL_H

#include <csignal>

// The signal that asked the program to end, or 0.
extern volatile sig_atomic_t stop_signal;
extern volatile sig_atomic_t stop_signals;  // how many have come
// Written by the handler, read by the waits in poll(): the signal's wake-up.
extern int wake_pipe[2];
// The command FIFO while it is open (-1 otherwise): a signal makes its
// writes stop waiting.
extern volatile int stop_signal_cmd_fd;

// Sets the handler up for the stop signals, and ignores SIGPIPE; non-zero
// when the wake-up pipe could not be made (errno says why).
int signals_catch(void);

// Ends the process the way the signal sig would have; returns the status
// that says the same, should the signal not end it.
int end_by_signal(int sig);

#endif
