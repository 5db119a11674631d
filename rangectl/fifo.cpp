// rangectl's FIFOs: opening them, sending records, waiting for values
// (fifo.h).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fifo.h"
#include "stop_signal.h"
#include "uss_records.h"


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
int fifo_open_command(struct rangectl_fifos *f)
{
    int status = 0;
    f->cmd_fd = fifo_open(f->cmd_path, O_WRONLY, &status);
    if (f->cmd_fd < 0)
        return status;
    stop_signal_cmd_fd = f->cmd_fd;
    int fl = fcntl(f->cmd_fd, F_GETFL);
    if (fl != -1)
        fcntl(f->cmd_fd, F_SETFL, fl & ~O_NONBLOCK);
    return 0;
}

// The module puts each value whole (rtf_put copies its 4 bytes at once), so
// what waits in FIFO 2 is a multiple of 4 bytes unless a reader before took
// part of a value; then the rest of that value comes first, and it is
// skipped.  FIONREAD tells how much waits, on an RT-FIFO and on a pipe.
// On a pipe, under 4 bytes are left alone: the server's --bytewise mode
// hands values on a byte at a time, and one byte waiting there may be the
// start of a value.  (What slips through is caught by value_take.)
void value_cut_skip(struct rangectl_fifos *f)
{
    int queued = 0;
    if (ioctl(f->data_fd, FIONREAD, &queued) != 0 || queued % 4 == 0 || (f->data_is_pipe && queued < 4))
        return;
    unsigned char rest[3];
    ssize_t n = read(f->data_fd, rest, (size_t)(queued % 4));
    if (n > 0)
        std::fprintf(stderr,
                     "rangectl: %s: out of step: the last %d bytes of a value that a reader before took part of "
                     "are skipped\n",
                     f->data_path, (int)n);
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
int fifo_open_data(struct rangectl_fifos *f)
{
    int status = 0;
    f->data_fd = fifo_open(f->data_path, O_RDONLY, &status);
    value_stream_reset(&f->values);
    if (f->data_fd < 0)
        return status;
    struct stat st;
    f->data_is_pipe = fstat(f->data_fd, &st) == 0 && S_ISFIFO(st.st_mode);
    value_cut_skip(f);
    if (f->data_is_pipe) {
        ssize_t n;
        while ((n = read(f->data_fd, f->values.bytes, sizeof f->values.bytes)) < 0 && errno == EINTR) {
        }
        if (n == 0) {
            std::fprintf(stderr, "rangectl: %s: nobody serves this FIFO (no module or server at its other end)\n",
                         f->data_path);
            close(f->data_fd);
            f->data_fd = -1;
            return EXIT_NO_FIFO;
        }
        if (n > 0)
            f->values.have = (int)n;
    }
    return 0;
}

void fifos_close(struct rangectl_fifos *f)
{
    if (f->cmd_fd >= 0)
        close(f->cmd_fd);
    if (f->data_fd >= 0)
        close(f->data_fd);
    f->cmd_fd = f->data_fd = -1;
    stop_signal_cmd_fd = -1;
}

// Both FIFOs, the values' first (so that nothing the module puts in answer
// is missed); none when either cannot be opened.
int fifos_open(struct rangectl_fifos *f)
{
    int status = fifo_open_data(f);
    if (status == 0)
        status = fifo_open_command(f);
    if (status != 0)
        fifos_close(f);
    return status;
}


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
int record_send(struct rangectl_fifos *f, int command, int number, int period, int closing)
{
    unsigned char rec[USS_RECORD_SIZE];
    uss_record_put(rec, command, number, period);
    sig_atomic_t signals_before = stop_signals;
    long long give_up = -1;
    size_t done = 0;
    while (done < sizeof rec) {
        if (closing ? stop_signals != signals_before : stop_signal != 0)
            return SEND_STOPPED;
        ssize_t n = write(f->cmd_fd, rec + done, sizeof rec - done);
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
                             f->cmd_path, command);
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
            std::fprintf(stderr, "rangectl: %s: closed at the other end\n", f->cmd_path);
            return EXIT_NO_ANSWER;
        }
        std::fprintf(stderr, "rangectl: %s: writing command %d: %s\n", f->cmd_path, command,
                     n < 0 ? std::strerror(e) : "nothing written");
        return EXIT_IO;
    }
    return 0;
}
// to stop.  Bytes of a value are kept across calls.
int value_wait(struct rangectl_fifos *f, long long deadline, int *value)
{
    for (;;) {
        if (value_take(&f->values, f->data_path, value))
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
        if (f->data_is_pipe && (slice < 0 || slice > 1000))
            slice = 1000;
        struct pollfd p[2] = {{f->data_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
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
        ssize_t n = read(f->data_fd, f->values.bytes + f->values.have, (size_t)value_stream_room(&f->values));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            std::fprintf(stderr, "rangectl: %s: %s\n", f->data_path, std::strerror(errno));
            return WAIT_ERROR;
        }
        if (n == 0) {
            // An RT-FIFO read without waiting returns 0 when it is empty; a
            // named pipe returns 0 when nobody has it open for writing.
            if (f->data_is_pipe || (p[0].revents & (POLLHUP | POLLERR)))
                return WAIT_CLOSED;
            continue;
        }
        f->values.have += (int)n;
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
int values_drain(struct rangectl_fifos *f, int quiet, int most)
{
    int value;
    int r;
    long long end = time_now_ms() + most;
    while ((r = value_wait(f, time_now_ms() + quiet, &value)) == WAIT_VALUE) {
        if (time_now_ms() >= end) {
            value_stream_reset(&f->values);
            return WAIT_BUSY;
        }
    }
    if (r == WAIT_TIMEOUT && f->values.have > 0)
        r = value_wait(f, time_now_ms() + 100, &value);
    if (r == WAIT_VALUE || r == WAIT_TIMEOUT) {
        value_stream_reset(&f->values);
        return WAIT_TIMEOUT;
    }
    return r;
}

// Flushes one line of output; 1 when it could not be written.  A closed
// output pipe ends the run as SIGPIPE would, as in any shell pipeline; any
