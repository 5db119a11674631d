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
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "uss_records.h"

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

static rangectl_settings settings;

// The signal that asked the program to end (SIGINT, SIGTERM, SIGHUP; SIGPIPE
// for a closed output pipe), or 0.  The handler only records it and wakes the main loop
// through a pipe; the main loop suspends ranging and closes the FIFOs.
static volatile sig_atomic_t stop_signal = 0;
static volatile sig_atomic_t stop_signals = 0;  // how many have come
static int wake_pipe[2] = {-1, -1};

// Why the output could not be written (a full disk, a closed descriptor), or
// 0.  A closed output pipe is not counted here: it stops the run as SIGPIPE.
static int output_errno = 0;

// The FIFOs as opened, and the bytes read from FIFO 2 that make no whole
// value yet: up to 4, or 8 while the values are out of step (two values'
// worth, to find where one begins).
static int cmd_fd = -1;
static int data_fd = -1;
static unsigned char value_bytes[8];
static int value_have = 0;
static int out_of_step = 0;
static int data_is_pipe = 0;  // FIFO 2 is a named pipe (a served emulation), not an RT-FIFO

// The module puts nothing but the marker 9999 and distances worked out from
// 32-bit intervals of nanoseconds: at most 2^31 - 1 ns, 369045 mm.  An
// interval beyond 32 bits (an interrupt more than 2.147 s after the shot:
// no echo of it, whatever came) is taken as -2^31 ns and gives -369045.
// Nothing else is negative: the shot takes its time stamp with interrupts
// masked, so the echo's stamp always comes after it.
enum { DISTANCE_LIMIT = 369045, OUT_OF_RANGE = -369045 };

// The range finder's farthest range: 10 m, the last distance of four
// digits before the marker (its echo comes after 58.19 ms, there and
// back).  A period shorter than that flight fires the next shot before a
// far echo is back; the echo is then timed from the later shot.
enum { FARTHEST_RANGE_MM = 10000, FARTHEST_FLIGHT_NS = 58190283 };

static const char usage_text[] =
    "usage: rangectl [options] shot SENSOR\n"
    "       rangectl [options] start SENSOR PERIOD_MS\n"
    "       rangectl [options] stop [SENSOR]\n"
    "       rangectl [options] watch SENSOR PERIOD_MS [-n COUNT]\n"
    "       rangectl [options] read [-n COUNT]\n"
    "options:\n"
    "  --fifo-dir DIR     use DIR/rtf1 and DIR/rtf2 (default /dev/rtf1, /dev/rtf2)\n"
    "  --cmd-fifo PATH    the command FIFO (default /dev/rtf1)\n"
    "  --data-fifo PATH   the data FIFO (default /dev/rtf2)\n"
    "  -t MS              timeout: shot 200, watch 3 periods + 200, read none\n"
    "  -n COUNT           watch: end after COUNT periods; read: after COUNT values\n"
    "  --raw              9999 for no echo, -369045 for out of range\n"
    "  -h, --help         this text\n"
    "  --version          the version and the source commit\n"
    "SENSOR 1-256, PERIOD_MS 1-2147483647.  Exit status: 0 done, 1 shot without echo,\n"
    "2 usage, 3 FIFO missing, 4 FIFO busy or not permitted, 5 no answer, 6 I/O error,\n"
    "7 shot refused: periodic ranging is running, 8 output not written.\n";

static void on_stop_signal(int sig)
{
    int saved = errno;
    stop_signal = sig;
    ++stop_signals;
    // A command write waiting for room in FIFO 1 returns with EINTR; one
    // that is just about to begin would still wait, so the FIFO stops
    // waiting altogether: the write returns at once (EAGAIN) and sees the
    // signal.  fcntl() may be called here.
    if (cmd_fd >= 0) {
        int fl = fcntl(cmd_fd, F_GETFL);
        if (fl != -1)
            fcntl(cmd_fd, F_SETFL, fl | O_NONBLOCK);
    }
    char b = 0;
    if (write(wake_pipe[1], &b, 1) < 0) {
        // the pipe is full: the main loop is awake already
    }
    errno = saved;
}

// Milliseconds on a clock that does not jump.  Linux 2.4 has no
// clock_gettime: there the time of day has to do.
static long long time_now_ms(void)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0)
        return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    struct timeval tv;
    gettimeofday(&tv, 0);
    return (long long)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

// A whole decimal word from lo to hi.
static int number_from_word(const char *word, long lo, long hi, long *number)
{
    char *end = 0;
    errno = 0;
    long v = std::strtol(word, &end, 10);
    if (end == word || *end != '\0' || errno == ERANGE || v < lo || v > hi)
        return 1;
    *number = v;
    return 0;
}

static int usage_error(const char *what, const char *word)
{
    if (word)
        std::fprintf(stderr, "rangectl: %s: %s\n", what, word);
    else
        std::fprintf(stderr, "rangectl: %s\n", what);
    std::fputs(usage_text, stderr);
    return EXIT_USAGE;
}

static int path_set(char *dest, const char *dir, const char *name)
{
    int n = name ? std::snprintf(dest, 4096, "%s/%s", dir, name) : std::snprintf(dest, 4096, "%s", dir);
    return n < 0 || n >= 4096;
}

// Fills settings from the command line.  Options may stand before or after
// the action's words.  Returns 0, EXIT_USAGE, -1 for the help text or -2
// for the version.
static int options_parse(int argc, char **argv)
{
    const char *words[4];
    int nwords = 0;

    path_set(settings.cmd_fifo, "/dev/rtf1", 0);
    path_set(settings.data_fifo, "/dev/rtf2", 0);
    settings.action = ACTION_NONE;
    settings.timeout = -1;
    settings.count = -1;
    settings.raw = 0;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : 0;
        long n;
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help"))
            return -1;
        if (!std::strcmp(a, "--version"))
            return -2;
        if (!std::strcmp(a, "--raw")) {
            settings.raw = 1;
        } else if (!std::strcmp(a, "--fifo-dir") || !std::strcmp(a, "--cmd-fifo") ||
                   !std::strcmp(a, "--data-fifo")) {
            if (!value)
                return usage_error("missing value of", a);
            int bad = 0;
            if (!std::strcmp(a, "--fifo-dir"))
                bad = path_set(settings.cmd_fifo, value, "rtf1") | path_set(settings.data_fifo, value, "rtf2");
            else
                bad = path_set(!std::strcmp(a, "--cmd-fifo") ? settings.cmd_fifo : settings.data_fifo, value, 0);
            if (bad)
                return usage_error("path too long", value);
            ++i;
        } else if (!std::strcmp(a, "-t") || !std::strcmp(a, "-n")) {
            if (!value)
                return usage_error("missing value of", a);
            if (number_from_word(value, a[1] == 't' ? 0 : 1, 2147483647L, &n) != 0)
                return usage_error(a[1] == 't' ? "not a timeout in milliseconds" : "not a count", value);
            if (a[1] == 't')
                settings.timeout = n;
            else
                settings.count = n;
            ++i;
        } else if (a[0] == '-' && a[1] != '\0') {
            return usage_error("unknown option", a);
        } else {
            if (nwords == 4)
                return usage_error("too many words", a);
            words[nwords++] = a;
        }
    }

    if (nwords == 0)
        return usage_error("no action given", 0);
    static const struct {
        const char *name;
        int action;
        int min_args, max_args;
    } actions[] = {
        {"shot", ACTION_SHOT, 1, 1},   {"start", ACTION_START, 2, 2}, {"stop", ACTION_STOP, 0, 1},
        {"watch", ACTION_WATCH, 2, 2}, {"read", ACTION_READ, 0, 0},
    };
    for (const auto &act : actions) {
        if (std::strcmp(words[0], act.name) != 0)
            continue;
        int args = nwords - 1;
        if (args < act.min_args || args > act.max_args)
            return usage_error("wrong number of words for", act.name);
        settings.action = act.action;
    }
    if (settings.action == ACTION_NONE)
        return usage_error("unknown action", words[0]);

    // Sensor numbers count from 1; the board takes the low 8 bits of the
    // channel (sensor - 1), so 256 is the last one that means itself.  A stop
    // record names a sensor too: should the period end while the module is
    // still taking the record in, that shot goes to it (sensor 1 by default)
    // rather than to channel 0xFF.
    long n = 1;
    if (nwords > 1 && number_from_word(words[1], 1, 256, &n) != 0)
        return usage_error("not a sensor number (1-256)", words[1]);
    settings.sensor = (int)n;
    // A period of zero or less is passed on to the platform unchecked, with
    // an outcome nobody can vouch for: refused here.
    settings.period = 0;
    if (nwords > 2) {
        if (number_from_word(words[2], 1, 2147483647L, &n) != 0)
            return usage_error("not a period in milliseconds (1-2147483647)", words[2]);
        settings.period = (int)n;
    }
    if (settings.count >= 0 && settings.action != ACTION_WATCH && settings.action != ACTION_READ)
        return usage_error("-n goes with watch and read", 0);
    if (settings.timeout >= 0 && (settings.action == ACTION_START || settings.action == ACTION_STOP))
        return usage_error("-t goes with shot, watch and read", 0);
    return 0;
}

// Opens a FIFO without waiting for its other side; on failure says why and
// returns -1 with *status set.
static int fifo_open(const char *path, int flags, int *status)
{
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        std::fprintf(stderr, "rangectl: %s: not a FIFO (neither an RT-FIFO device nor a named pipe)\n", path);
        *status = EXIT_NO_FIFO;
        return -1;
    }
    int fd = open(path, flags | O_NONBLOCK);
    if (fd >= 0)
        return fd;
    int e = errno;
    switch (e) {
    case ENOENT:
        std::fprintf(stderr, "rangectl: %s: no such FIFO (no RT-FIFO device here; --fifo-dir names another place)\n",
                     path);
        *status = EXIT_NO_FIFO;
        break;
    case ENODEV:
        std::fprintf(stderr, "rangectl: %s: the FIFO does not exist: the echorange module is not loaded\n", path);
        *status = EXIT_NO_FIFO;
        break;
    case ENXIO:
        std::fprintf(stderr, "rangectl: %s: nobody serves this FIFO (no module or server at its other end)\n",
                     path);
        *status = EXIT_NO_FIFO;
        break;
    case EACCES:
        std::fprintf(stderr,
                     "rangectl: %s: access refused: another process has the FIFO open (an RT-FIFO takes "
                     "one process at a time), or you may not open it\n",
                     path);
        *status = EXIT_BUSY;
        break;
    default:
        std::fprintf(stderr, "rangectl: %s: %s\n", path, std::strerror(e));
        *status = EXIT_IO;
        break;
    }
    return -1;
}

// The command FIFO: opened without waiting (a named pipe with nobody at the
// other end is an error, not a wait), then written with waiting writes, as
// an RT-FIFO write waits until the record fits.
static int fifo_open_command(void)
{
    int status = 0;
    cmd_fd = fifo_open(settings.cmd_fifo, O_WRONLY, &status);
    if (cmd_fd < 0)
        return status;
    int fl = fcntl(cmd_fd, F_GETFL);
    if (fl != -1)
        fcntl(cmd_fd, F_SETFL, fl & ~O_NONBLOCK);
    return 0;
}

// The module puts each value whole (rtf_put copies its 4 bytes at once), so
// what waits in FIFO 2 is a multiple of 4 bytes unless a reader before took
// part of a value; then the rest of that value comes first, and it is
// skipped.  FIONREAD tells how much waits, on an RT-FIFO and on a pipe.
// On a pipe, under 4 bytes are left alone: the server's --bytewise mode
// hands values on a byte at a time, and one byte waiting there may be the
// start of a value.  (What slips through is caught by value_take.)
static void value_cut_skip(void)
{
    int queued = 0;
    if (ioctl(data_fd, FIONREAD, &queued) != 0 || queued % 4 == 0 || (data_is_pipe && queued < 4))
        return;
    unsigned char rest[3];
    ssize_t n = read(data_fd, rest, (size_t)(queued % 4));
    if (n > 0)
        std::fprintf(stderr,
                     "rangectl: %s: out of step: the last %d bytes of a value that a reader before took part of "
                     "are skipped\n",
                     settings.data_fifo, (int)n);
}

// The data FIFO stays non-blocking: the main loop waits in poll(), for a
// value or a signal.
//
// A named pipe opens for reading whether or not anybody writes it (those a
// killed server left behind, or an old one that a new server has replaced),
// and poll() would then wait for ever: it tells of the writer's end only
// once a writer has come and gone.  A read without waiting tells at once:
// 0 (end of file) when nobody has the pipe open for writing, EAGAIN when
// somebody has and it is empty.  Bytes it finds are the first of the
// values.  (An RT-FIFO device returns 0 whenever it is empty: not asked.)
static int fifo_open_data(void)
{
    int status = 0;
    data_fd = fifo_open(settings.data_fifo, O_RDONLY, &status);
    value_have = 0;
    out_of_step = 0;
    if (data_fd < 0)
        return status;
    struct stat st;
    data_is_pipe = fstat(data_fd, &st) == 0 && S_ISFIFO(st.st_mode);
    value_cut_skip();
    if (data_is_pipe) {
        ssize_t n;
        while ((n = read(data_fd, value_bytes, sizeof value_bytes)) < 0 && errno == EINTR) {
        }
        if (n == 0) {
            std::fprintf(stderr, "rangectl: %s: nobody serves this FIFO (no module or server at its other end)\n",
                         settings.data_fifo);
            close(data_fd);
            data_fd = -1;
            return EXIT_NO_FIFO;
        }
        if (n > 0)
            value_have = (int)n;
    }
    return 0;
}

static void fifos_close(void)
{
    if (cmd_fd >= 0)
        close(cmd_fd);
    if (data_fd >= 0)
        close(data_fd);
    cmd_fd = data_fd = -1;
}

// Both FIFOs, the values' first (so that nothing the module puts in answer
// is missed); none when either cannot be opened.
static int fifos_open(void)
{
    int status = fifo_open_data();
    if (status == 0)
        status = fifo_open_command();
    if (status != 0)
        fifos_close();
    return status;
}

// record_send's result when a stop signal ended the sending.
enum { SEND_STOPPED = -1 };

// One command record, little endian, in one write(), as an RT-FIFO write
// waits until the whole record fits.  A write that took part of the record
// (which neither an RT-FIFO nor a pipe does for 12 bytes) is completed, so
// that the records after it keep their places.
//
// A stop signal (SIGINT, SIGTERM, SIGHUP) ends the wait: the write returns
// with EINTR, or EAGAIN once the handler has made the FIFO non-blocking, and
// is not begun again.  The suspend that watch sends on its way out
// (`closing`) is sent after the stop signal, waiting for room until another
// signal comes, or for 2 s: a module that takes no commands (a stopped
// server) must not keep the program from ending.
static int record_send(int command, int number, int period, int closing)
{
    unsigned char rec[USS_RECORD_SIZE];
    uss_record_put(rec, command, number, period);
    sig_atomic_t signals_before = stop_signals;
    long long give_up = -1;
    size_t done = 0;
    while (done < sizeof rec) {
        if (closing ? stop_signals != signals_before : stop_signal != 0)
            return SEND_STOPPED;
        ssize_t n = write(cmd_fd, rec + done, sizeof rec - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        int e = n < 0 ? errno : 0;
        if (e == EINTR)
            continue;
        if (e == EAGAIN) {
            if (give_up < 0)
                give_up = time_now_ms() + 2000;
            if (time_now_ms() >= give_up) {
                std::fprintf(stderr, "rangectl: %s: no room for command %d: the module takes no commands\n",
                             settings.cmd_fifo, command);
                return EXIT_NO_ANSWER;
            }
            struct pollfd p = {wake_pipe[0], POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                char b[16];
                while (read(wake_pipe[0], b, sizeof b) > 0) {
                }
            }
            continue;
        }
        if (e == EPIPE) {
            // A named pipe whose server has gone.
            std::fprintf(stderr, "rangectl: %s: closed at the other end\n", settings.cmd_fifo);
            return EXIT_NO_ANSWER;
        }
        std::fprintf(stderr, "rangectl: %s: writing command %d: %s\n", settings.cmd_fifo, command,
                     n < 0 ? std::strerror(e) : "nothing written");
        return EXIT_IO;
    }
    return 0;
}

enum wait_result { WAIT_VALUE, WAIT_TIMEOUT, WAIT_SIGNAL, WAIT_CLOSED, WAIT_ERROR, WAIT_BUSY };

static int value_possible(int v)
{
    return v == OUT_OF_RANGE || (v >= 0 && v <= DISTANCE_LIMIT);
}

static int value_at(const unsigned char *p)
{
    return uss_value_get(p);
}

static void value_bytes_drop(int n)
{
    std::memmove(value_bytes, value_bytes + n, (size_t)(value_have - n));
    value_have -= n;
}

// Takes the next value from the bytes collected: 1 with *value, or 0 when
// more bytes are needed.
//
// Values come without framing, so the first byte a reader finds is taken
// as the start of a value.  That holds while every reader before took
// whole values.  One that left in the middle of a value (dd bs=1 count=2,
// a client killed between two bytes of one) leaves the rest of it to the
// next reader, and each value after would be read across two.  Read that
// way they are nearly always beyond what the module can put, as the high
// bytes of one are then the low bytes of the next: a value outside 0 to
// 369045, other than -369045, says the stream is out of step.  From there
// the bytes are taken one at a time until two possible values follow each
// other (one alone may be chance), and reading goes on from the first of
// them.
static int value_take(int *value)
{
    for (;;) {
        if (!out_of_step) {
            if (value_have < 4)
                return 0;
            int v = value_at(value_bytes);
            if (value_possible(v)) {
                value_bytes_drop(4);
                *value = v;
                return 1;
            }
            std::fprintf(stderr,
                         "rangectl: %s: out of step: %d is no value of the module (a reader before took part "
                         "of one); skipping to the next whole value\n",
                         settings.data_fifo, v);
            out_of_step = 1;
            value_bytes_drop(1);
            continue;
        }
        if (value_have < 8)
            return 0;
        if (value_possible(value_at(value_bytes)) && value_possible(value_at(value_bytes + 4)))
            out_of_step = 0;
        else
            value_bytes_drop(1);
    }
}

// Waits until a whole value has come from the data FIFO, the deadline
// (milliseconds on time_now_ms(); -1 for none) has passed or a signal asks
// to stop.  Bytes of a value are kept across calls.
static int value_wait(long long deadline, int *value)
{
    for (;;) {
        if (value_take(value))
            return WAIT_VALUE;
        if (stop_signal)
            return WAIT_SIGNAL;
        int timeout = -1;
        if (deadline >= 0) {
            long long left = deadline - time_now_ms();
            timeout = left <= 0 ? 0 : left > 1000000 ? 1000000 : (int)left;
        }
        // poll() on a pipe tells that its writer has gone only when one came
        // after the open; a read tells in any case, so a pipe is also read
        // every second.
        int slice = timeout;
        if (data_is_pipe && (slice < 0 || slice > 1000))
            slice = 1000;
        struct pollfd p[2] = {{data_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        int r = poll(p, 2, slice);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "rangectl: poll: %s\n", std::strerror(errno));
            return WAIT_ERROR;
        }
        if (r == 0 && slice == timeout)
            return WAIT_TIMEOUT;
        if (r == 0)
            p[0].revents = POLLIN;
        if (p[1].revents) {
            char b[16];
            while (read(wake_pipe[0], b, sizeof b) > 0) {
            }
            continue;
        }
        if (!p[0].revents)
            continue;
        ssize_t n = read(data_fd, value_bytes + value_have, (size_t)((out_of_step ? 8 : 4) - value_have));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            std::fprintf(stderr, "rangectl: %s: %s\n", settings.data_fifo, std::strerror(errno));
            return WAIT_ERROR;
        }
        if (n == 0) {
            // An RT-FIFO read without waiting returns 0 when it is empty; a
            // named pipe returns 0 when nobody has it open for writing.
            if (data_is_pipe || (p[0].revents & (POLLHUP | POLLERR)))
                return WAIT_CLOSED;
            continue;
        }
        value_have += (int)n;
    }
}

// Values left in FIFO 2 from earlier (ranging left running, a shot nobody
// read) would be taken for answers to this run's command: they are read and
// dropped first.  A value caught half-read is completed and dropped too.
// Values are dropped until none has come for `quiet` milliseconds (an echo
// still on its way, values still being handed on), but for no longer than
// `most` milliseconds in all: ranging that someone else runs with a shorter
// period never goes quiet.  Returns WAIT_TIMEOUT when the FIFO went quiet,
// WAIT_BUSY when the time was up first, or why neither.
static int values_drain(int quiet, int most)
{
    int value;
    int r;
    long long end = time_now_ms() + most;
    while ((r = value_wait(time_now_ms() + quiet, &value)) == WAIT_VALUE) {
        if (time_now_ms() >= end) {
            value_have = 0;
            out_of_step = 0;
            return WAIT_BUSY;
        }
    }
    if (r == WAIT_TIMEOUT && value_have > 0)
        r = value_wait(time_now_ms() + 100, &value);
    if (r == WAIT_VALUE || r == WAIT_TIMEOUT) {
        value_have = 0;
        out_of_step = 0;
        return WAIT_TIMEOUT;
    }
    return r;
}

// Flushes one line of output; 1 when it could not be written.  A closed
// output pipe ends the run as SIGPIPE would, as in any shell pipeline; any
// other failure is an error of its own, reported on the way out.
static int output_flush(void)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return 0;
    int e = errno ? errno : EIO;
    if (e == EPIPE) {
        if (!stop_signal)
            stop_signal = SIGPIPE;
    } else if (!output_errno) {
        output_errno = e;
    }
    return 1;
}

static int output_failure(void)
{
    std::fprintf(stderr, "rangectl: writing the output: %s\n", std::strerror(output_errno));
    return EXIT_OUTPUT;
}

// Ends the process the way the signal that stopped it would have, now that
// the FIFOs are closed: a shell sees "interrupted", not "done".  kill(), not
// raise(): a static C library may raise() with tkill, which Linux 2.4.18
// lacks.  Should the signal not end the process, the status says the same.
static int end_by_signal(int sig)
{
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, 0);
    kill(getpid(), sig);
    return 128 + sig;
}

static int wait_failure(int r, long long timeout)
{
    if (r == WAIT_TIMEOUT) {
        std::fprintf(stderr, "rangectl: %s: no value for %lld ms: is ranging running?\n", settings.data_fifo,
                     timeout);
        return EXIT_NO_ANSWER;
    }
    if (r == WAIT_CLOSED) {
        std::fprintf(stderr, "rangectl: %s: closed at the other end\n", settings.data_fifo);
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

static int shot_run(void)
{
    int status = fifos_open();
    if (status != 0)
        return status;
    int value = 0;
    long long timeout = settings.timeout >= 0 ? settings.timeout : (long long)SHOT_TIMEOUT_MS;
    int r = values_drain(SHOT_QUIET_MS, SHOT_BUSY_MS);
    int busy = r == WAIT_BUSY;
    if (r == WAIT_TIMEOUT) {
        status = record_send(CMD_SINGLE_SHOT, settings.sensor, 0, 0);
        if (status == 0)
            r = value_wait(time_now_ms() + timeout, &value);
        if (r == WAIT_VALUE) {
            int other;
            int r2 = value == NO_ECHO ? (int)WAIT_VALUE : value_wait(time_now_ms() + SHOT_QUIET_MS, &other);
            busy = r2 == WAIT_VALUE;
            if (r2 == WAIT_SIGNAL || r2 == WAIT_ERROR)
                r = r2;
        }
    }
    fifos_close();
    if (status == SEND_STOPPED || r == WAIT_SIGNAL)
        return end_by_signal(stop_signal);
    if (status != 0)
        return status;
    if (busy) {
        std::fprintf(stderr,
                     "rangectl: %s: values keep arriving: periodic ranging is running; stop it (rangectl stop) "
                     "or use watch\n",
                     settings.data_fifo);
        return EXIT_RANGING;
    }
    if (r == WAIT_TIMEOUT)
        std::printf(settings.raw ? "%d\n" : "no echo\n", NO_ECHO);
    else if (r == WAIT_VALUE && value == OUT_OF_RANGE && !settings.raw)
        std::printf("out of range\n");
    else if (r == WAIT_VALUE)
        std::printf("%d\n", value);
    else
        return wait_failure(r, timeout);
    if (output_flush())
        return stop_signal ? end_by_signal(stop_signal) : output_failure();
    return r == WAIT_VALUE && value != OUT_OF_RANGE ? EXIT_DONE : EXIT_NO_ECHO;
}

// start, stop: one record each.
static int command_run(int command)
{
    int status = fifo_open_command();
    if (status == 0)
        status = record_send(command, settings.sensor, command == CMD_START_PERIODIC ? settings.period : 0, 0);
    fifos_close();
    return status == SEND_STOPPED ? end_by_signal(stop_signal) : status;
}

static int watch_line(double seconds, int value, int echoed)
{
    if (settings.raw)
        std::printf("%.3f %d %d\n", seconds, settings.sensor, echoed ? value : NO_ECHO);
    else if (!echoed)
        std::printf("%.3f %d no echo\n", seconds, settings.sensor);
    else if (value == OUT_OF_RANGE)
        std::printf("%.3f %d out of range\n", seconds, settings.sensor);
    else
        std::printf("%.3f %d %d\n", seconds, settings.sensor, value);
    return output_flush();
}

// start and watch: a period shorter than the flight to the farthest range
// is allowed (the module takes it), but a far echo then comes back after
// the next shot, which has taken a new time stamp and armed the interrupt
// again: the echo is timed from that shot, and reads short by the range of
// the periods in between, or a shot finds no echo.  Said once, on standard
// error, naming the range the period does cover.
static void period_warn(void)
{
    long long period_ns = (long long)settings.period * 1000000;
    if (period_ns >= FARTHEST_FLIGHT_NS)
        return;
    // The distance whose echo takes one period, there and back (see the
    // module's distance_mm).
    long long covered_mm = (period_ns * 3437 - 1) / 20000000;
    std::fprintf(stderr,
                 "rangectl: warning: a period of %d ms is shorter than the flight to the farthest range "
                 "(%d m, 58.2 ms there and back): a target beyond %lld mm is timed from a later shot and "
                 "reads short, or as no echo\n",
                 settings.period, FARTHEST_RANGE_MM / 1000, covered_mm);
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
static int watch_run(void)
{
    int status = fifos_open();
    if (status != 0)
        return status;
    // 64 bits on every build: three of the longest periods pass 2^31 ms.
    long long timeout = settings.timeout >= 0 ? settings.timeout : 3LL * settings.period + 200;
    // Ranging that runs already (left by start, or by a client that was
    // killed) is suspended first, and its values, up to a late echo, are
    // dropped; otherwise they could be taken for the first periods.
    int r = WAIT_TIMEOUT;
    status = record_send(CMD_SUSPEND_PERIODIC, settings.sensor, 0, 0);
    if (status == 0) {
        r = values_drain(50, 1000);
        if (r == WAIT_BUSY)
            r = WAIT_TIMEOUT;  // another client's ranging, started again: ours replaces it
    }
    int done = status != 0 || r != WAIT_TIMEOUT;
    int started = 0;
    if (!done) {
        status = record_send(CMD_START_PERIODIC, settings.sensor, settings.period, 0);
        started = status == 0;
        done = !started;
    }

    long long start = time_now_ms();
    long long open_since = -1;  // arrival of the open period's 9999
    long periods = 0;
    while (!done) {
        int value;
        r = value_wait(time_now_ms() + timeout, &value);
        if (r != WAIT_VALUE)
            break;
        long long now = time_now_ms();
        if (value == NO_ECHO) {
            if (open_since >= 0) {
                done = watch_line((open_since - start) / 1000.0, 0, 0);
                ++periods;
            }
            open_since = now;
        } else {
            done = watch_line(((open_since >= 0 ? open_since : now) - start) / 1000.0, value, 1);
            open_since = -1;
            ++periods;
        }
        if (settings.count > 0 && periods >= settings.count)
            done = 1;
    }

    // However it ended (count reached, signal, closed output, no answer),
    // the ranging it started is suspended before the FIFOs are closed;
    // unless the other end has gone (the server of named pipes stopped), and
    // nobody is there to take the record.
    if (started && r != WAIT_CLOSED) {
        int s = record_send(CMD_SUSPEND_PERIODIC, settings.sensor, 0, 1);
        if (status == 0 && s != SEND_STOPPED)
            status = s;
    }
    fifos_close();
    if (stop_signal)
        return end_by_signal(stop_signal);
    if (output_errno)
        return output_failure();
    if (status != 0)
        return status;
    if (r == WAIT_VALUE)
        return EXIT_DONE;  // COUNT periods
    return wait_failure(r, timeout);
}

// read: the values as they come, 9999 included, one per line.  Without -n
// the timeout is the end of what there was to read: done, not a failure.
static int read_run(void)
{
    int status = fifo_open_data();
    if (status != 0)
        return status;
    long count = 0;
    int r = WAIT_VALUE;
    while (settings.count < 0 || count < settings.count) {
        int value;
        r = value_wait(settings.timeout >= 0 ? time_now_ms() + settings.timeout : -1, &value);
        if (r != WAIT_VALUE)
            break;
        std::printf("%d\n", value);
        ++count;
        if (output_flush())
            break;
    }
    fifos_close();
    if (stop_signal)
        return end_by_signal(stop_signal);
    if (output_errno)
        return output_failure();
    if (r == WAIT_TIMEOUT && settings.count < 0)
        return EXIT_DONE;
    if (r != WAIT_VALUE)
        return wait_failure(r, settings.timeout);
    return EXIT_DONE;
}

static int signals_catch(void)
{
    if (pipe(wake_pipe) != 0)
        return 1;
    for (int i = 0; i < 2; ++i) {
        fcntl(wake_pipe[i], F_SETFL, fcntl(wake_pipe[i], F_GETFL) | O_NONBLOCK);
        fcntl(wake_pipe[i], F_SETFD, FD_CLOEXEC);
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a waiting write on the command FIFO returns.
    const int sigs[] = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : sigs)
        sigaction(sig, &sa, 0);
    // A closed output pipe shows as EPIPE from the output (output_flush),
    // a closed command FIFO as EPIPE from its write.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

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
    int status = options_parse(argc, argv);
    if (status == -1 || status == -2) {
        if (status == -1)
            std::fputs(usage_text, stdout);
        else
            std::printf("rangectl %s (commit %s)\n", LABTOOLS_VERSION, LABTOOLS_COMMIT);
        signal(SIGPIPE, SIG_IGN);
        return output_flush() ? (output_errno ? output_failure() : end_by_signal(SIGPIPE)) : EXIT_DONE;
    }
    if (status != 0)
        return status;
    if (signals_catch() != 0) {
        std::fprintf(stderr, "rangectl: pipe: %s\n", std::strerror(errno));
        return EXIT_IO;
    }
    switch (settings.action) {
    case ACTION_SHOT: return shot_run();
    case ACTION_START: period_warn(); return command_run(CMD_START_PERIODIC);
    case ACTION_STOP: return command_run(CMD_SUSPEND_PERIODIC);
    case ACTION_WATCH: period_warn(); return watch_run();
    case ACTION_READ: return read_run();
    }
    return EXIT_USAGE;
}
