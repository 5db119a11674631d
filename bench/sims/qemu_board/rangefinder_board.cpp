// rangefinder-board: the bench's range-finder board on the host, behind the
// 16550 UART that QEMU puts at the board's address (serial_board.h).
//
// The board listens on a Unix socket and QEMU connects to it as a client
// (-chardev socket,id=board,path=PATH).  The board is there first, so QEMU
// finds it at start-up with no retries on either side, the board's clock and
// log start when the guest's machine appears, and QEMU closing the
// connection when it ends is the board's signal to write its last line and
// end.  One guest per run.
#include "board_options.h"
#include "boards/serial_board.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using bench::Nanos;

volatile sig_atomic_t g_stop = 0;

void on_stop(int)
{
    g_stop = 1;
}

int fail(const std::string &what)
{
    std::fprintf(stderr, "rangefinder-board: %s\n", what.c_str());
    return 1;
}

std::string errno_text(const std::string &what, const std::string &path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

// Waits for fd to become readable, or `timeout` ns (negative: for ever), with
// SIGINT and SIGTERM let through only here.  1 readable, 0 timeout or signal.
int wait_readable(int fd, Nanos timeout, const sigset_t &during)
{
    pollfd p = {fd, POLLIN, 0};
    timespec ts;
    timespec *tsp = nullptr;
    if (timeout >= 0) {
        ts.tv_sec = static_cast<time_t>(timeout / bench::kSecond);
        ts.tv_nsec = static_cast<long>(timeout % bench::kSecond);
        tsp = &ts;
    }
    int r = ppoll(&p, 1, tsp, &during);
    if (r < 0)
        return 0;
    return r > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    bench::BoardOptions options;
    std::string error;
    int parsed = bench::parse_board_options(argc, argv, options, error);
    if (parsed == 1) {
        std::fputs(bench::kBoardUsage, stdout);
        return 0;
    }
    if (parsed < 0) {
        std::fprintf(stderr, "rangefinder-board: %s\n%s", error.c_str(), bench::kBoardUsage);
        return 2;
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options.socket_path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "rangefinder-board: socket path longer than %zu bytes: %s\n",
                     sizeof address.sun_path - 1, options.socket_path.c_str());
        return 2;
    }
    std::memcpy(address.sun_path, options.socket_path.c_str(), options.socket_path.size() + 1);

    std::ofstream log_file;
    std::ostream *log = &std::cout;
    if (!options.log_path.empty()) {
        log_file.open(options.log_path, std::ios::out | std::ios::trunc);
        if (!log_file)
            return fail(errno_text("cannot write", options.log_path));
        log = &log_file;
    }

    // SIGINT and SIGTERM end the board cleanly; they are taken only while it
    // waits, so a wait never misses one.  A guest that has gone never kills
    // it by SIGPIPE.
    sigset_t stops, during;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &during);
    sigdelset(&during, SIGINT);
    sigdelset(&during, SIGTERM);
    struct sigaction sa{};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Wake for an echo as close to its due time as the kernel can (the
    // default slack of a sleeping process is 50 us).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    // A socket left by an earlier run is replaced; anything else is not ours.
    struct stat st;
    if (lstat(options.socket_path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail(options.socket_path + " exists and is not a socket");
        unlink(options.socket_path.c_str());
    }
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return fail(std::string("socket: ") + std::strerror(errno));
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 1) != 0)
        return fail(errno_text("cannot listen on", options.socket_path));
    if (!options.ready_path.empty()) {
        std::ofstream ready(options.ready_path, std::ios::out | std::ios::trunc);
        ready << "listening on " << options.socket_path << '\n';
        if (!ready) {
            unlink(options.socket_path.c_str());
            return fail(errno_text("cannot write", options.ready_path));
        }
    }

    Nanos accept_wait = options.accept_timeout_s > 0 ? options.accept_timeout_s * bench::kSecond : -1;
    int ready = wait_readable(listener, accept_wait, during);
    int guest = ready ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    close(listener);
    unlink(options.socket_path.c_str());
    if (guest < 0) {
        if (g_stop)
            return 0;
        if (ready)
            return fail(std::string("accept: ") + std::strerror(errno));
        std::fprintf(stderr, "rangefinder-board: no guest connected to %s in %ld s\n", options.socket_path.c_str(),
                     options.accept_timeout_s);
        return 3;
    }

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return static_cast<Nanos>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
    };
    bool gone = false;
    bench::SerialEchoBoard board(options.setup, *log, [&](std::uint8_t byte) {
        if (gone)
            return;
        for (;;) {
            ssize_t n = send(guest, &byte, 1, MSG_NOSIGNAL);
            if (n == 1)
                return;
            if (n < 0 && errno == EINTR)
                continue;
            gone = true;  // the guest has gone; its end is read next
            return;
        }
    });
    board.connected();

    while (!g_stop && !gone) {
        Nanos due = board.next_due();
        Nanos wait = due == bench::kNever ? -1 : std::max<Nanos>(0, due - elapsed());
        if (wait_readable(guest, wait, during)) {
            unsigned char bytes[256];
            ssize_t n = read(guest, bytes, sizeof bytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;  // QEMU has closed the connection
            Nanos now = elapsed();
            for (ssize_t i = 0; i < n; ++i)
                board.byte_from_guest(bytes[i], now);
        }
        board.advance_to(elapsed());
    }
    board.closed(elapsed());
    close(guest);
    if (log_file.is_open()) {
        log_file.close();
        if (log_file.fail())
            return fail("cannot write " + options.log_path);
    }
    return 0;
}
