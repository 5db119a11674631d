// The signals that end a run of rangectl, and the clock (stop_signal.h).
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "rangectl.h"
#include "stop_signal.h"

volatile sig_atomic_t stop_signal = 0;
volatile sig_atomic_t stop_signals = 0;
int wake_pipe[2] = {-1, -1};
volatile int stop_signal_cmd_fd = -1;

static void on_stop_signal(int sig)
{
    int saved = errno;
    stop_signal = sig;
    ++stop_signals;
    // A command write waiting for room in FIFO 1 returns with EINTR; one
    // that is just about to begin would still wait, so the FIFO stops
    // waiting altogether: the write returns at once (EAGAIN) and sees the
    // signal.  fcntl() may be called here.
    int cmd_fd = stop_signal_cmd_fd;
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
long long time_now_ms(void)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) == 0)
        return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    struct timeval tv;
    gettimeofday(&tv, 0);
    return (long long)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

// Ends the process the way the signal that stopped it would have, now that
// the FIFOs are closed: a shell sees "interrupted", not "done".  kill(), not
// raise(): a static C library may raise() with tkill, which Linux 2.4.18
// lacks.  Should the signal not end the process, the status says the same.
int end_by_signal(int sig)
{
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, 0);
    kill(getpid(), sig);
    return 128 + sig;
}

int signals_catch(void)
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
