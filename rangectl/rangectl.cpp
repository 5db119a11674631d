// rangectl: the range finder from the shell.  It drives the echorange module
// through its two real-time FIFOs: 12-byte command records to /dev/rtf1,
// 4-byte distances in millimetres from /dev/rtf2.
//
//   rangectl [options] shot SENSOR               one shot, its distance
//   rangectl [options] start SENSOR PERIOD_MS    periodic ranging on
//   rangectl [options] stop [SENSOR]             periodic ranging off
//   rangectl [options] watch SENSOR PERIOD_MS    one line per period
//   rangectl [options] read                      raw values, one per line
//
// What the FIFOs ask of a client:
//   - A record must arrive whole: the module's FIFO handler takes 12 bytes
//     at a time from what is there, and a short piece is consumed without
//     effect (and can shift the records after it).  Each record goes out in
//     one write() of 12 bytes; a Linux-side write to an RT-FIFO waits until
//     the whole of it fits.
//   - Values come as a byte stream with no framing: a read() returns what
//     is there, which need not be a whole value.  Bytes are collected until
//     four make a value.  A reader that left in the middle of a value leaves
//     the stream out of step for the next one (see value_take).
//   - Nothing tells a single shot's value from a periodic one: shot only
//     answers when no other values come around its own (see shot_run).
//   - An RT-FIFO takes one Linux process at a time; another one's open()
//     fails with EACCES.  While a FIFO is open the module cannot be
//     unloaded.
//   - Periodic ranging goes on until command 3, whoever started it; values
//     nobody reads fill FIFO 2 (1000 of them) and the rest are lost.  So
//     watch suspends ranging before it ends, however it ends, and also
//     before it starts its own, to drop what an earlier series left.
//   - A periodic shot puts 9999 at once when its echo has not come back
//     yet, and then the distance when the echo comes: 9999 on its own only
//     means "no echo" once the next shot's 9999 follows it.
//
// The pieces are named in rangectl.h; this file is main.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "actions.h"
#include "options.h"
#include "stop_signal.h"
#include "uss_records.h"

// Started with a standard descriptor closed, the program would get a FIFO
// in its place, and its output or messages would go into that FIFO: a
// message in the command FIFO makes commands of its bytes.  Each closed one
// is held by /dev/null, standard output read-only so that writing it still
// fails as on the closed descriptor.
static void standard_descriptors_hold(void)
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int held = open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
        if (held >= 0 && held != fd) {
            dup2(held, fd);
            close(held);
        }
    }
}

int main(int argc, char **argv)
{
    standard_descriptors_hold();
    static struct rangectl_settings settings;
    int status = options_parse(argc, argv, &settings);
    if (status == -1 || status == -2) {
        if (status == -1)
            std::fputs(rangectl_usage_text, stdout);
        else
            std::printf("rangectl %s (commit %s)\n", LABTOOLS_VERSION, LABTOOLS_COMMIT);
        signal(SIGPIPE, SIG_IGN);
        int output_errno = 0;
        return output_flush(&output_errno) ? (output_errno ? output_failure(output_errno) : end_by_signal(SIGPIPE))
                                           : EXIT_DONE;
    }
    if (status != 0)
        return status;
    if (signals_catch() != 0) {
        std::fprintf(stderr, "rangectl: pipe: %s\n", std::strerror(errno));
        return EXIT_IO;
    }
    struct rangectl_run run;
    run_init(&run, &settings);
    switch (settings.action) {
    case ACTION_SHOT: return shot_run(&run);
    case ACTION_START: period_warn(&settings); return command_run(&run, CMD_START_PERIODIC);
    case ACTION_STOP: return command_run(&run, CMD_SUSPEND_PERIODIC);
    case ACTION_WATCH: period_warn(&settings); return watch_run(&run);
    case ACTION_READ: return read_run(&run);
    }
    return EXIT_USAGE;
}
