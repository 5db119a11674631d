// rangectl's actions: shot, start, stop, watch, read (actions.h).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "actions.h"
#include "stop_signal.h"
#include "uss_records.h"

// The range finder's farthest range: 10 m, the last distance of four
// digits before the marker (its echo comes after 58.19 ms, there and
// back).  A period shorter than that flight fires the next shot before a
// far echo is back; the echo is then timed from the later shot.
enum { FARTHEST_RANGE_MM = 10000, FARTHEST_FLIGHT_NS = 58190283 };

void run_init(struct rangectl_run *run, const struct rangectl_settings *settings)
{
    run->settings = settings;
    run->fifos.cmd_path = settings->cmd_fifo;
    run->fifos.data_path = settings->data_fifo;
    run->fifos.cmd_fd = -1;
    run->fifos.data_fd = -1;
    run->fifos.data_is_pipe = 0;
    value_stream_reset(&run->fifos.values);
    run->output_errno = 0;
}

// output pipe ends the run as SIGPIPE would, as in any shell pipeline; any
// other failure is an error of its own, reported on the way out.
int output_flush(int *output_errno)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return 0;
    int e = errno ? errno : EIO;
    if (e == EPIPE) {
        if (!stop_signal)
            stop_signal = SIGPIPE;
    } else if (!*output_errno) {
        *output_errno = e;
    }
    return 1;
}

int output_failure(int output_errno)
{
    std::fprintf(stderr, "rangectl: writing the output: %s\n", std::strerror(output_errno));
    return EXIT_OUTPUT;
}

static int wait_failure(const struct rangectl_settings *s, int r, long long timeout)
{
    if (r == WAIT_TIMEOUT) {
        std::fprintf(stderr, "rangectl: %s: no value for %lld ms: is ranging running?\n", s->data_fifo,
                     timeout);
        return EXIT_NO_ANSWER;
    }
    if (r == WAIT_CLOSED) {
        std::fprintf(stderr, "rangectl: %s: closed at the other end\n", s->data_fifo);
        return EXIT_NO_ANSWER;
    }
    return EXIT_IO;
}

// shot: command 1, then the value that comes.
//
// A single shot puts its distance when its echo comes, and nothing without
// one.  Values of periodic ranging look the same, and a shot amid them is
// worse than ambiguous: the module has one time stamp and one armed
// interrupt for both, so a periodic shot between this shot and its echo
// turns the echo into a wrong distance.  The shot's value is only taken for
// its own when nothing else comes around it:
//   - before: the values left from earlier are dropped until none has come
//     for SHOT_QUIET_MS (longer than the flight of any echo worth waiting
//     for, so that a periodic echo on its way lands first); values that
//     keep coming for SHOT_BUSY_MS are periodic ranging;
//   - after: a periodic shot puts 9999 at once, which a single shot never
//     does (but for a distance of exactly 9999 mm, an echo after 58.19 ms,
//     which is refused too); and any second value up to SHOT_QUIET_MS
//     after the first is one too many.
// Every periodic shot puts a value at once, so a periodic shot that falls
// anywhere from SHOT_QUIET_MS before this one to SHOT_QUIET_MS after its
// value is seen; one further away does not touch this shot.
enum { SHOT_TIMEOUT_MS = 200, SHOT_QUIET_MS = 100, SHOT_BUSY_MS = 1000 };

int shot_run(struct rangectl_run *run)
{
    const struct rangectl_settings *s = run->settings;
    struct rangectl_fifos *f = &run->fifos;
    int status = fifos_open(f);
    if (status != 0)
        return status;
    int value = 0;
    long long timeout = s->timeout >= 0 ? s->timeout : (long long)SHOT_TIMEOUT_MS;
    int r = values_drain(f, SHOT_QUIET_MS, SHOT_BUSY_MS);
    int busy = r == WAIT_BUSY;
    if (r == WAIT_TIMEOUT) {
        status = record_send(f, CMD_SINGLE_SHOT, s->sensor, 0, 0);
        if (status == 0)
            r = value_wait(f, time_now_ms() + timeout, &value);
        if (r == WAIT_VALUE) {
            int other;
            int r2 = value == NO_ECHO ? (int)WAIT_VALUE : value_wait(f, time_now_ms() + SHOT_QUIET_MS, &other);
            busy = r2 == WAIT_VALUE;
            if (r2 == WAIT_SIGNAL || r2 == WAIT_ERROR)
                r = r2;
        }
    }
    fifos_close(f);
    if (status == SEND_STOPPED || r == WAIT_SIGNAL)
        return end_by_signal(stop_signal);
    if (status != 0)
        return status;
    if (busy) {
        std::fprintf(stderr,
                     "rangectl: %s: values keep arriving: periodic ranging is running; stop it (rangectl stop) "
                     "or use watch\n",
                     s->data_fifo);
        return EXIT_RANGING;
    }
    if (r == WAIT_TIMEOUT)
        std::printf(s->raw ? "%d\n" : "no echo\n", NO_ECHO);
    else if (r == WAIT_VALUE && value == OUT_OF_RANGE && !s->raw)
        std::printf("out of range\n");
    else if (r == WAIT_VALUE)
        std::printf("%d\n", value);
    else
        return wait_failure(s, r, timeout);
    if (output_flush(&run->output_errno))
        return stop_signal ? end_by_signal(stop_signal) : output_failure(run->output_errno);
    return r == WAIT_VALUE && value != OUT_OF_RANGE ? EXIT_DONE : EXIT_NO_ECHO;
}

// start, stop: one record each.
int command_run(struct rangectl_run *run, int command)
{
    const struct rangectl_settings *s = run->settings;
    struct rangectl_fifos *f = &run->fifos;
    int status = fifo_open_command(f);
    if (status == 0)
        status = record_send(f, command, s->sensor, command == CMD_START_PERIODIC ? s->period : 0, 0);
    fifos_close(f);
    return status == SEND_STOPPED ? end_by_signal(stop_signal) : status;
}

static int watch_line(struct rangectl_run *run, double seconds, int value, int echoed)
{
    const struct rangectl_settings *s = run->settings;
    if (s->raw)
        std::printf("%.3f %d %d\n", seconds, s->sensor, echoed ? value : NO_ECHO);
    else if (!echoed)
        std::printf("%.3f %d no echo\n", seconds, s->sensor);
    else if (value == OUT_OF_RANGE)
        std::printf("%.3f %d out of range\n", seconds, s->sensor);
    else
        std::printf("%.3f %d %d\n", seconds, s->sensor, value);
    return output_flush(&run->output_errno);
}

// start and watch: a period shorter than the flight to the farthest range
// is allowed (the module takes it), but a far echo then comes back after
// the next shot, which has taken a new time stamp and armed the interrupt
// again: the echo is timed from that shot, and reads short by the range of
// the periods in between, or a shot finds no echo.  Said once, on standard
// error, naming the range the period does cover.
void period_warn(const struct rangectl_settings *s)
{
    long long period_ns = (long long)s->period * 1000000;
    if (period_ns >= FARTHEST_FLIGHT_NS)
        return;
    // The distance whose echo takes one period, there and back (see the
    // module's distance_mm).
    long long covered_mm = (period_ns * 3437 - 1) / 20000000;
    std::fprintf(stderr,
                 "rangectl: warning: a period of %d ms is shorter than the flight to the farthest range "
                 "(%d m, 58.2 ms there and back): a target beyond %lld mm is timed from a later shot and "
                 "reads short, or as no echo\n",
                 s->period, FARTHEST_RANGE_MM / 1000, covered_mm);
}

// watch: command 2, one line per period, command 3 at the end.
//
// Each periodic shot is followed at once by 9999 unless its echo is already
// in, and by the distance when the echo comes, before the next shot.  So a
// 9999 opens a period, a distance closes the open one (or is a period of
// its own when its echo beat the check), and a 9999 that follows an open
// period closes that one as "no echo".  That last verdict waits for the next
// shot: until then the echo may still come.  A distance of exactly 9999 mm
// cannot be told from the marker and reads as "no echo".
int watch_run(struct rangectl_run *run)
{
    const struct rangectl_settings *s = run->settings;
    struct rangectl_fifos *f = &run->fifos;
    int status = fifos_open(f);
    if (status != 0)
        return status;
    // 64 bits on every build: three of the longest periods pass 2^31 ms.
    long long timeout = s->timeout >= 0 ? s->timeout : 3LL * s->period + 200;
    // Ranging that runs already (left by start, or by a client that was
    // killed) is suspended first, and its values, up to a late echo, are
    // dropped; otherwise they could be taken for the first periods.
    int r = WAIT_TIMEOUT;
    status = record_send(f, CMD_SUSPEND_PERIODIC, s->sensor, 0, 0);
    if (status == 0) {
        r = values_drain(f, 50, 1000);
        if (r == WAIT_BUSY)
            r = WAIT_TIMEOUT;  // another client's ranging, started again: ours replaces it
    }
    int done = status != 0 || r != WAIT_TIMEOUT;
    int started = 0;
    if (!done) {
        status = record_send(f, CMD_START_PERIODIC, s->sensor, s->period, 0);
        started = status == 0;
        done = !started;
    }

    long long start = time_now_ms();
    long long open_since = -1;  // arrival of the open period's 9999
    long periods = 0;
    while (!done) {
        int value;
        r = value_wait(f, time_now_ms() + timeout, &value);
        if (r != WAIT_VALUE)
            break;
        long long now = time_now_ms();
        if (value == NO_ECHO) {
            if (open_since >= 0) {
                done = watch_line(run, (open_since - start) / 1000.0, 0, 0);
                ++periods;
            }
            open_since = now;
        } else {
            done = watch_line(run, ((open_since >= 0 ? open_since : now) - start) / 1000.0, value, 1);
            open_since = -1;
            ++periods;
        }
        if (s->count > 0 && periods >= s->count)
            done = 1;
    }

    // However it ended (count reached, signal, closed output, no answer),
    // the ranging it started is suspended before the FIFOs are closed;
    // unless the other end has gone (the server of named pipes stopped), and
    // nobody is there to take the record.
    if (started && r != WAIT_CLOSED) {
        int sent = record_send(f, CMD_SUSPEND_PERIODIC, s->sensor, 0, 1);
        if (status == 0 && sent != SEND_STOPPED)
            status = sent;
    }
    fifos_close(f);
    if (stop_signal)
        return end_by_signal(stop_signal);
    if (run->output_errno)
        return output_failure(run->output_errno);
    if (status != 0)
        return status;
    if (r == WAIT_VALUE)
        return EXIT_DONE;  // COUNT periods
    return wait_failure(s, r, timeout);
}

// read: the values as they come, 9999 included, one per line.  Without -n
// the timeout is the end of what there was to read: done, not a failure.
int read_run(struct rangectl_run *run)
{
    const struct rangectl_settings *s = run->settings;
    struct rangectl_fifos *f = &run->fifos;
    int status = fifo_open_data(f);
    if (status != 0)
        return status;
    long count = 0;
    int r = WAIT_VALUE;
    while (s->count < 0 || count < s->count) {
        int value;
        r = value_wait(f, s->timeout >= 0 ? time_now_ms() + s->timeout : -1, &value);
        if (r != WAIT_VALUE)
            break;
        std::printf("%d\n", value);
        ++count;
        if (output_flush(&run->output_errno))
            break;
    }
    fifos_close(f);
    if (stop_signal)
        return end_by_signal(stop_signal);
    if (run->output_errno)
        return output_failure(run->output_errno);
    if (r == WAIT_TIMEOUT && s->count < 0)
        return EXIT_DONE;
    if (r != WAIT_VALUE)
        return wait_failure(s, r, s->timeout);
    return EXIT_DONE;
}
