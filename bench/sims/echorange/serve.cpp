// The emulated lab PC serving the range-finder module through named pipes.
#include "sims/echorange/serve.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "uss_records.h"

namespace rtlsim {

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_stop(int sig)
{
    stop_signal = sig;
}

const char *signal_name(int sig)
{
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    }
    return "a signal";
}

hrtime wall_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<hrtime>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

// What one write on RT-FIFO 1 carries, in the scenario trace's words:
// "write C N P ; C N P" for whole records, "write N bytes" otherwise.
std::string write_text(const unsigned char *p, size_t n)
{
    std::ostringstream s;
    s << "write";
    if (n == 0 || n % USS_RECORD_SIZE != 0) {
        s << ' ' << n << " bytes";
        return s.str();
    }
    for (size_t i = 0; i < n; i += USS_RECORD_SIZE) {
        uss_msg_struct r = uss_record_get(p + i);
        s << (i ? " ;" : "") << ' ' << r.command << ' ' << r.number << ' ' << r.period;
    }
    return s.str();
}

// A named pipe this service made, known by device and inode: at the end only
// that object is unlinked, not whatever has since been put at its path.
struct OwnPipe {
    int fd = -1;  // the service's end (read and write)
    dev_t dev = 0;
    ino_t ino = 0;
};

struct Service {
    const Scenario &sc;
    const std::string &module_path;
    const ServeOptions &opt;
    std::ostream &out;
    Machine m;
    std::string path1, path2;
    OwnPipe pipe1, pipe2;  // DIR/rtf1 and DIR/rtf2
    int dir_lock = -1;  // DIR, open and flock()ed while this service may own its pipes
    // Opens of the pipes, watched (inotify) to tell when a second process
    // holds one (an RT-FIFO would have refused it); -1 where none can be.
    int opens = -1;
    int watch1 = -1, watch2 = -1;
    bool shared1 = false, shared2 = false;  // told already, until fewer hold it
    hrtime wall0 = 0;
    std::deque<unsigned char> pieces;  // bytewise: bytes not yet handed on
    long values = 0;

    Service(const Scenario &s, const std::string &mp, const ServeOptions &o, std::ostream &os)
        : sc(s), module_path(mp), opt(o), out(os)
    {
    }
    ~Service()
    {
        if (opens >= 0)
            close(opens);
        if (dir_lock >= 0)
            close(dir_lock);  // gives DIR up
    }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    void note(const std::string &text)
    {
        out << format_time(m.now()) << " # " << text << std::endl;
    }
};

// Simulated time that corresponds to the wall clock now.
hrtime sim_target(const Service &s)
{
    double t = static_cast<double>(wall_now() - s.wall0) * s.opt.speed;
    return t >= 9e18 ? kNever - 1 : static_cast<hrtime>(t);
}

// A named pipe at path, made afresh (one left by an earlier service is
// replaced: DIR's lock says no live service has it), opened for reading and
// writing without blocking.
int pipe_make(const std::string &path, OwnPipe &own)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            std::cerr << "echorange-sim: " << path << " exists and is not a named pipe\n";
            return -1;
        }
        unlink(path.c_str());
    }
    if (mkfifo(path.c_str(), 0666) != 0) {
        std::cerr << "echorange-sim: cannot make " << path << ": " << std::strerror(errno) << '\n';
        return -1;
    }
    // O_RDWR on a FIFO never waits for the other side (Linux), and keeps
    // the pipe alive while clients come and go.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::cerr << "echorange-sim: cannot open " << path << ": " << std::strerror(errno) << '\n';
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        std::cerr << "echorange-sim: " << path << " was replaced while being made\n";
        close(fd);
        return -1;
    }
    own.fd = fd;
    own.dev = st.st_dev;
    own.ino = st.st_ino;
    return fd;
}

// Closes the service's end of a pipe and unlinks the pipe, if what is at
// path is still the pipe this service made.
void pipe_remove(Service &s, OwnPipe &own, const std::string &path)
{
    if (own.fd < 0)
        return;
    close(own.fd);
    own.fd = -1;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISFIFO(st.st_mode) && st.st_dev == own.dev && st.st_ino == own.ino)
        unlink(path.c_str());
    else
        s.note(path + " is no longer the pipe made here: left in place");
}

// Takes DIR for this service: an exclusive flock() on the directory itself.
// The kernel drops the lock when the process ends however it ends, so a
// killed service leaves nothing that blocks the next one, and no file is
// left in DIR.  Returns 0, or the exit status to end with.
int dir_take(Service &s)
{
    if (s.dir_lock >= 0)
        return 0;  // held since an earlier load
    const std::string &dir = s.opt.dir;
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        std::cerr << "echorange-sim: cannot make " << dir << ": " << std::strerror(errno) << '\n';
        return 2;
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        std::cerr << "echorange-sim: cannot open " << dir << ": " << std::strerror(errno) << '\n';
        return 2;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            std::cerr << "echorange-sim: " << dir << " is served by another echorange-sim\n";
        else
            std::cerr << "echorange-sim: cannot lock " << dir << ": " << std::strerror(errno) << '\n';
        close(fd);
        return 2;
    }
    s.dir_lock = fd;
    return 0;
}

// The processes other than this one that hold the pipe own open, by /proc;
// only those whose file descriptors this user may look at.
int pipe_holders(const OwnPipe &own)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return 0;
    int holders = 0;
    const pid_t self = getpid();
    while (dirent *e = readdir(proc)) {
        char *end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self)
            continue;
        std::string fds = std::string("/proc/") + e->d_name + "/fd";
        DIR *d = opendir(fds.c_str());
        if (!d)
            continue;
        bool holds = false;
        while (dirent *f = readdir(d)) {
            struct stat st;
            if (f->d_name[0] != '.' && stat((fds + '/' + f->d_name).c_str(), &st) == 0 && st.st_dev == own.dev &&
                st.st_ino == own.ino)
                holds = true;
        }
        closedir(d);
        holders += holds ? 1 : 0;
    }
    closedir(proc);
    return holders;
}

// Looks at the opens and closes of the pipes since the last look: when a
// second process holds one, the log says so, once until fewer hold it.
void openers_check(Service &s)
{
    if (s.opens < 0)
        return;
    alignas(inotify_event) char buf[4096];
    bool look1 = false, look2 = false;
    for (;;) {
        ssize_t n = read(s.opens, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(buf + i);
            look1 = look1 || ev->wd == s.watch1 || (ev->mask & IN_Q_OVERFLOW);
            look2 = look2 || ev->wd == s.watch2 || (ev->mask & IN_Q_OVERFLOW);
            i += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    auto look = [&](bool changed, const OwnPipe &own, const std::string &path, bool &shared) {
        if (!changed || own.fd < 0)
            return;
        int holders = pipe_holders(own);
        if (holders >= 2 && !shared)
            s.note(path + ": held by " + std::to_string(holders) +
                   " processes at once; the lab PC refuses all but the first (EACCES), here they share it");
        shared = holders >= 2;
    };
    look(look1, s.pipe1, s.path1, s.shared1);
    look(look2, s.pipe2, s.path2, s.shared2);
}

// Watches the pipes' opens and closes (after the service's own opens).
void openers_watch(Service &s)
{
    if (s.opens < 0)
        s.opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (s.opens < 0)
        return;
    s.watch1 = inotify_add_watch(s.opens, s.path1.c_str(), IN_OPEN | IN_CLOSE);
    s.watch2 = inotify_add_watch(s.opens, s.path2.c_str(), IN_OPEN | IN_CLOSE);
    s.shared1 = s.shared2 = false;
}

int pipes_open(Service &s)
{
    if (int st = dir_take(s))
        return st;
    pipe_make(s.path1, s.pipe1);
    if (s.pipe1.fd >= 0)
        pipe_make(s.path2, s.pipe2);
    if (s.pipe2.fd < 0)
        return 2;
    // The size of RT-FIFO 2 is 4000 bytes; a pipe takes whole pages.
    fcntl(s.pipe2.fd, F_SETPIPE_SZ, 4096);
    openers_watch(s);
    return 0;
}

void pipes_close(Service &s)
{
    pipe_remove(s, s.pipe1, s.path1);
    pipe_remove(s, s.pipe2, s.path2);
    s.pieces.clear();
}

void value_noted(Service &s, const unsigned char *p)
{
    s.out << format_time(s.m.now()) << ' ' << uss_value_get(p) << std::endl;
    ++s.values;
}

// Moves the values the module has put on RT-FIFO 2 into DIR/rtf2, as far as
// the pipe has room; the rest waits in RT-FIFO 2.
void values_hand_on(Service &s)
{
    if (s.pipe2.fd < 0 || !s.m.fifos().exists(2))
        return;
    unsigned char buf[4096];
    if (s.opt.bytewise) {
        if (s.pieces.empty()) {
            int n = s.m.linux_read(2, buf, USS_VALUE_SIZE);
            if (n == USS_VALUE_SIZE) {
                value_noted(s, buf);
                s.pieces.assign(buf, buf + USS_VALUE_SIZE);
            }
        }
        // One byte at a time, and the next only once the reader has taken
        // the last: every read() gets a single byte.
        int queued = 0;
        if (!s.pieces.empty() && ioctl(s.pipe2.fd, FIONREAD, &queued) == 0 && queued == 0) {
            unsigned char b = s.pieces.front();
            if (write(s.pipe2.fd, &b, 1) == 1)
                s.pieces.pop_front();
        }
        return;
    }
    int size = fcntl(s.pipe2.fd, F_GETPIPE_SZ);
    int queued = 0;
    if (size <= 0 || ioctl(s.pipe2.fd, FIONREAD, &queued) != 0)
        return;
    size_t room = static_cast<size_t>(size > queued ? size - queued : 0);
    if (room > sizeof buf)
        room = sizeof buf;
    room -= room % USS_VALUE_SIZE;
    if (room == 0)
        return;
    int n = s.m.linux_read(2, buf, room);
    if (n <= 0)
        return;
    ssize_t w = write(s.pipe2.fd, buf, static_cast<size_t>(n));
    if (w != n)
        s.note("DIR/rtf2: " + std::to_string(n - (w < 0 ? 0 : w)) + " bytes lost");
    for (int i = 0; i + USS_VALUE_SIZE <= n; i += USS_VALUE_SIZE)
        value_noted(s, buf + i);
}

// Lets simulated time run to t.  A thread whose work overruns every period
// keeps the Linux side from running (machine.h); here it is stopped when it
// passes t, so that the service still sees its clients and its signals, and
// goes on at the next step.
void run_to(Service &s, hrtime t)
{
    s.m.set_end(t);
    s.m.run_until(t);
}

// Lets simulated time catch up with the wall clock (at most to `limit`).
void time_catch_up(Service &s, hrtime limit)
{
    hrtime t = sim_target(s);
    if (t > limit)
        t = limit;
    run_to(s, t);
    values_hand_on(s);
}

// What waits in DIR/rtf1 reaches the module as writes on RT-FIFO 1, at the
// simulated time that corresponds to its arrival: what one read() of the
// pipe returns is one write, whatever it holds, as a client's write() is on
// the lab PC, and the module's handler decides what to make of a piece that
// is not a whole record (its rtf_get takes the short piece, so later
// records stay whole).  A read takes at most the whole records that one
// write to RT-FIFO 1 takes whole, so that a long write of whole records is
// handed on in whole records.
void commands_take(Service &s, hrtime limit)
{
    unsigned char buf[USS_RECORDS_PER_WRITE * USS_RECORD_SIZE];
    while (s.pipe1.fd >= 0) {
        ssize_t n = read(s.pipe1.fd, buf, sizeof buf);
        if (n <= 0)
            return;
        time_catch_up(s, limit);
        size_t got = static_cast<size_t>(n);
        if (got % USS_RECORD_SIZE == 0) {
            for (size_t i = 0; i < got; i += USS_RECORD_SIZE)
                s.note(write_text(buf + i, USS_RECORD_SIZE));
        } else {
            s.note(write_text(buf, got));
        }
        int rc = s.m.linux_write(1, buf, got);
        if (rc == Machine::kWriteWaits)
            s.note("the write waits for room in RT-FIFO 1");
        else if (rc < 0)
            s.note("write failed: " + std::to_string(rc));
        values_hand_on(s);
    }
}

// One action of the scenario; returns 0, or the exit status to end with.
int event_apply(Service &s, const ScenarioEvent &e, hrtime limit)
{
    Machine &m = s.m;
    switch (e.kind) {
    case ScenarioEvent::Kind::load: {
        int rc = apply_event(m, e, s.module_path);
        std::string text = "insmod: " + std::to_string(rc);
        if (!m.loader_error().empty())
            text += " (" + m.loader_error() + ')';
        s.note(text);
        if (rc != 0)
            return 1;  // nothing to serve
        if (int st = pipes_open(s))
            return st;
        s.note("serving " + s.path1 + " and " + s.path2);
        return 0;
    }
    case ScenarioEvent::Kind::unload:
        if (!m.module_loaded())
            return 0;
        commands_take(s, limit);
        s.note("rmmod");
        pipes_close(s);
        if (int rc = apply_event(m, e, s.module_path))
            s.note("rmmod refused: " + std::to_string(rc));
        return 0;
    case ScenarioEvent::Kind::write:
    case ScenarioEvent::Kind::bytes: {
        std::vector<unsigned char> bytes =
            e.kind == ScenarioEvent::Kind::write ? Machine::encode_records(e.records) : e.raw;
        s.note(write_text(bytes.data(), bytes.size()) + " (from the scenario)");
        int rc = apply_event(m, e, s.module_path);
        if (rc < 0)
            s.note("write failed: " + std::to_string(rc));
        return 0;
    }
    case ScenarioEvent::Kind::irq:
    case ScenarioEvent::Kind::target:
    case ScenarioEvent::Kind::clear_region:
    case ScenarioEvent::Kind::clear_irq:
        s.note(describe_event(e));
        apply_event(m, e, s.module_path);
        return 0;
    case ScenarioEvent::Kind::open:
    case ScenarioEvent::Kind::close: {
        // Another Linux process takes or gives back an RT-FIFO; while it
        // holds one, the service's own writes or reads on it are refused.
        bool open = e.kind == ScenarioEvent::Kind::open;
        s.note(std::string(open ? "open" : "close") + " /dev/rtf" + std::to_string(e.fifo) + " (process " +
               std::to_string(e.pid) + ')');
        int rc = apply_event(m, e, s.module_path);
        if (rc != 0)
            s.note(std::string(open ? "open" : "close") + " failed: " + std::to_string(rc));
        return 0;
    }
    case ScenarioEvent::Kind::reader_stop:
    case ScenarioEvent::Kind::reader_start:
        return 0;  // refused before the start
    }
    return 0;
}

}  // namespace

int serve_scenario(const Scenario &sc, const std::string &module_path, const ServeOptions &opt,
                   std::ostream &out)
{
    for (const auto &e : sc.events) {
        if (e.kind == ScenarioEvent::Kind::reader_stop || e.kind == ScenarioEvent::Kind::reader_start) {
            std::cerr << "echorange-sim: line " << e.line
                      << ": a served machine has no reader actions: its reader is the client\n";
            return 2;
        }
    }

    Service s(sc, module_path, opt, out);
    s.path1 = opt.dir + "/rtf1";
    s.path2 = opt.dir + "/rtf2";
    // Before anything is loaded or logged: a DIR that another service holds
    // is refused outright.
    if (int st = dir_take(s))
        return st;

    stop_signal = 0;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Machine &m = s.m;
    m.set_port_log(false);
    set_up_machine(m, sc);
    // The client reads FIFO 2 (through DIR/rtf2), not the machine's reader.
    m.set_reader(false);

    const hrtime limit = sc.duration >= 0 ? sc.duration : kNever - 1;
    s.wall0 = wall_now();
    size_t next = 0;
    int status = 0;
    for (;;) {
        hrtime target = sim_target(s);
        if (target > limit)
            target = limit;
        while (status == 0 && next < sc.events.size() && sc.events[next].time <= target) {
            run_to(s, sc.events[next].time);
            values_hand_on(s);
            status = event_apply(s, sc.events[next++], limit);
        }
        run_to(s, target);
        values_hand_on(s);
        if (status != 0 || stop_signal || target >= limit)
            break;
        pollfd p[2] = {{s.pipe1.fd, POLLIN, 0}, {s.opens, POLLIN, 0}};
        if (poll(p, 2, 1) > 0) {
            if (p[1].revents & POLLIN)
                openers_check(s);
            if (p[0].revents & POLLIN)
                commands_take(s, limit);
        }
    }

    // What a client wrote before the stop still reaches the module (a
    // client that suspends ranging as it ends, just before the service is
    // stopped).
    commands_take(s, limit);
    if (stop_signal)
        s.note(std::string("stopped by ") + signal_name(stop_signal));
    else if (status == 0)
        s.note("end of run");
    if (m.overruns() > 0)
        s.note(overruns_text(m.overruns()));
    if (m.module_loaded()) {
        s.note(std::string("ranging thread: ") + thread_state_word(m.thread_state()));
        s.note("rmmod");
        if (int rc = m.rmmod())
            s.note("rmmod refused: " + std::to_string(rc));
    }
    pipes_close(s);

    write_end(out, m, s.values, "handed on");
    if (!m.violations().empty()) {
        std::cerr << "echorange-sim: the module broke platform rules:\n";
        for (const auto &v : m.violations())
            std::cerr << "  " << v << '\n';
        if (status == 0)
            status = 1;
    }
    return status;
}

}  // namespace rtlsim
