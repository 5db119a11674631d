// rangectl: what its pieces share.  The program drives the echorange module
// through its two real-time FIFOs (rangectl.cpp tells how a client must
// use them); its pieces:
//   options.*       the command line, into struct rangectl_settings;
//   value_stream.*  the values of FIFO 2 out of a byte stream without
//                   framing, and its resynchronisation;
//   fifo.*          opening the FIFOs, sending records, waiting for values;
//   stop_signal.*   the signals that end a run, and ending by one;
//   actions.*       shot, start, stop, watch, read;
//   rangectl.cpp    main.
// Plain C style and no libstdc++: the static musl build for the lab PC
// (rangectl32) links these same files.
#ifndef RANGECTL_H
#define RANGECTL_H

// Exit statuses (also in rangectl(1)).
enum {
    EXIT_DONE = 0,
    EXIT_NO_ECHO = 1,    // shot: no echo before the timeout
    EXIT_USAGE = 2,      // bad command line
    EXIT_NO_FIFO = 3,    // a FIFO is missing, not a FIFO, or nobody serves it
    EXIT_BUSY = 4,       // EACCES: open in another process, or no permission
    EXIT_NO_ANSWER = 5,  // no value within the timeout, or the FIFO closed
    EXIT_IO = 6,         // any other failure of open, read or write
    EXIT_RANGING = 7,    // shot: values keep arriving, periodic ranging runs
    EXIT_OUTPUT = 8      // the output could not be written
};

enum action_kind { ACTION_NONE, ACTION_SHOT, ACTION_START, ACTION_STOP, ACTION_WATCH, ACTION_READ };

// The run's settings, from the command line.
struct rangectl_settings {
    char cmd_fifo[4096];
    char data_fifo[4096];
    int action;
    int sensor;
    int period;      // milliseconds
    long long timeout;  // milliseconds; -1: the action's default
    long count;      // -n; -1: none
    int raw;         // --raw: 9999 printed as 9999, not "no echo"
};

// The module puts nothing but the marker 9999 and distances worked out from
// 32-bit intervals of nanoseconds: at most 2^31 - 1 ns, 369045 mm.  An
// interval beyond 32 bits (an interrupt more than 2.147 s after the shot:
// no echo of it, whatever came) is taken as -2^31 ns and gives -369045.
// Nothing else is negative: the shot takes its time stamp with interrupts
// masked, so the echo's stamp always comes after it.
enum { DISTANCE_LIMIT = 369045, OUT_OF_RANGE = -369045 };

// Milliseconds on a clock that does not jump.
long long time_now_ms(void);

#endif
