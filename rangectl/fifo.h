// rangectl's two FIFOs: /dev/rtf1 for command records, /dev/rtf2 for
// values, or the named pipes of a served emulation in their place.
#ifndef RANGECTL_FIFO_H
#define RANGECTL_FIFO_H

#include "rangectl.h"
#include "value_stream.h"

struct rangectl_fifos {
    const char *cmd_path;
    const char *data_path;
    int cmd_fd;        // -1 while closed
    int data_fd;       // -1 while closed
    int data_is_pipe;  // FIFO 2 is a named pipe (a served emulation), not an RT-FIFO
    struct value_stream values;  // what FIFO 2 gave that makes no value yet
};

// What value_wait and values_drain return.
enum wait_result { WAIT_VALUE, WAIT_TIMEOUT, WAIT_SIGNAL, WAIT_CLOSED, WAIT_ERROR, WAIT_BUSY };

// record_send's result when a stop signal ended the sending.
enum { SEND_STOPPED = -1 };

// Each returns 0, or the exit status after saying why on standard error.
int fifo_open_command(struct rangectl_fifos *f);
int fifo_open_data(struct rangectl_fifos *f);
int fifos_open(struct rangectl_fifos *f);  // both, FIFO 2 first
void fifos_close(struct rangectl_fifos *f);

// Skips the rest of a value that a reader before took part of (on open).
void value_cut_skip(struct rangectl_fifos *f);

// One command record in one write(); 0, SEND_STOPPED or the exit status.
// `closing`: the suspend sent on the way out, after the stop signal.
int record_send(struct rangectl_fifos *f, int command, int number, int period, int closing);

// Waits for the next value until deadline (milliseconds on time_now_ms();
// -1 for none) or a stop signal; a wait_result.
int value_wait(struct rangectl_fifos *f, long long deadline, int *value);

// Drops the values left from earlier until none has come for `quiet` ms,
// for at most `most` ms: WAIT_TIMEOUT, WAIT_BUSY, or why neither.
int values_drain(struct rangectl_fifos *f, int quiet, int most);

#endif
