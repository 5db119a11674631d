// The emulated lab PC serving the range-finder module through named pipes.
#include "sims/echorange/serve.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "sims/echorange/serve_pipes.h"
#include "uss_records.h"

namespace sims::echorange {

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

// One service: the machine, its pipes, the pacing, and its log, which is
// also how it reports the scenario's actions.
struct Service : ScenarioReporter {
    const Scenario &sc;
    const std::string &module_path;
    const ServeOptions &opt;
    std::ostream &out;
    Machine m;
    ServedPipes pipes;
    hrtime wall0 = 0;
    hrtime limit = 0;  // the end of the service: its duration, or never
    std::deque<unsigned char> pieces;  // bytewise: bytes not yet handed on
    long values = 0;
    int status = 0;  // the exit status a scenario action ended the service with, or 0

    Service(const Scenario &s, const std::string &mp, const ServeOptions &o, std::ostream &os)
        : sc(s), module_path(mp), opt(o), out(os), pipes(o.dir, [this](const std::string &t) { note(t); })
    {
    }

    void note(const std::string &text)
    {
        out << format_time(m.now()) << " # " << text << std::endl;
    }

    void pipes_close()
    {
        pipes.close();
        pieces.clear();
    }

    // The scenario's actions, as the service tells them.
    void action(Machine &, const ScenarioEvent &e) override { note(describe_event(e)); }
    void loaded(Machine &m, int rc) override;
    bool unloading(Machine &m, const ScenarioEvent &e) override;
    void unloaded(Machine &, int rc) override
    {
        if (rc != 0)
            note("rmmod refused: " + std::to_string(rc));
    }
    void writing(Machine &, const ScenarioEvent &, const std::vector<unsigned char> &bytes) override
    {
        note(write_text(bytes.data(), bytes.size()) + " (from the scenario)");
    }
    void written(Machine &, int rc) override
    {
        if (rc < 0)
            note("write failed: " + std::to_string(rc));
    }
    void fifo_done(Machine &, const ScenarioEvent &e, int rc) override
    {
        // Another Linux process takes or gives back an RT-FIFO; while it
        // holds one, the service's own writes or reads on it are refused.
        if (rc != 0)
            note(std::string(e.kind == ScenarioEvent::Kind::open ? "open" : "close") + " failed: " +
                 std::to_string(rc));
    }
};

// Simulated time that corresponds to the wall clock now.
hrtime sim_target(const Service &s)
{
    double t = static_cast<double>(wall_now() - s.wall0) * s.opt.speed;
    return t >= 9e18 ? kNever - 1 : static_cast<hrtime>(t);
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
    if (s.pipes.value_fd() < 0 || !s.m.fifos().exists(2))
        return;
    unsigned char buf[4096];
    if (s.opt.bytewise) {
        if (s.pieces.empty()) {
            int n = s.m.processes().read(2, buf, USS_VALUE_SIZE);
            if (n == USS_VALUE_SIZE) {
                value_noted(s, buf);
                s.pieces.assign(buf, buf + USS_VALUE_SIZE);
            }
        }
        // One byte at a time, and the next only once the reader has taken
        // the last: every read() gets a single byte.
        int queued = 0;
        if (!s.pieces.empty() && ioctl(s.pipes.value_fd(), FIONREAD, &queued) == 0 && queued == 0) {
            unsigned char b = s.pieces.front();
            if (write(s.pipes.value_fd(), &b, 1) == 1)
                s.pieces.pop_front();
        }
        return;
    }
    int size = fcntl(s.pipes.value_fd(), F_GETPIPE_SZ);
    int queued = 0;
    if (size <= 0 || ioctl(s.pipes.value_fd(), FIONREAD, &queued) != 0)
        return;
    size_t room = static_cast<size_t>(size > queued ? size - queued : 0);
    if (room > sizeof buf)
        room = sizeof buf;
    room -= room % USS_VALUE_SIZE;
    if (room == 0)
        return;
    int n = s.m.processes().read(2, buf, room);
    if (n <= 0)
        return;
    ssize_t w = write(s.pipes.value_fd(), buf, static_cast<size_t>(n));
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
    while (s.pipes.command_fd() >= 0) {
        ssize_t n = read(s.pipes.command_fd(), buf, sizeof buf);
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
        int rc = s.m.processes().write(1, buf, got);
        if (rc == LinuxProcesses::kWriteWaits)
            s.note("the write waits for room in RT-FIFO 1");
        else if (rc < 0)
            s.note("write failed: " + std::to_string(rc));
        values_hand_on(s);
    }
}

void Service::loaded(Machine &, int rc)
{
    note(insmod_text(m, rc));
    if (rc != 0) {
        status = 1;  // nothing to serve
        return;
    }
    status = pipes.open();
    if (status == 0)
        note("serving " + pipes.command_path() + " and " + pipes.value_path());
}

bool Service::unloading(Machine &, const ScenarioEvent &)
{
    if (!m.module_loaded())
        return false;
    commands_take(*this, limit);
    note("rmmod");
    pipes_close();
    return true;
}

}  // namespace

int serve_scenario(const Scenario &sc, const std::string &module_path, const ServeOptions &opt,
                   std::ostream &out, rtlsim::MachineObserver *observer, hrtime *end)
{
    for (const auto &e : sc.events) {
        if (e.kind == ScenarioEvent::Kind::reader_stop || e.kind == ScenarioEvent::Kind::reader_start) {
            std::cerr << "echorange-sim: line " << e.line
                      << ": a served machine has no reader actions: its reader is the client\n";
            return 2;
        }
    }

    Service s(sc, module_path, opt, out);
    // Before anything is loaded or logged: a DIR that another service holds
    // is refused outright.
    if (int st = s.pipes.take_dir())
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
    m.set_observer(observer);
    set_up_machine(m, sc);
    // The client reads FIFO 2 (through DIR/rtf2), not the machine's reader.
    m.processes().stop_reader();

    const hrtime limit = sc.duration >= 0 ? sc.duration : kNever - 1;
    s.limit = limit;
    s.wall0 = wall_now();
    size_t next = 0;
    int &status = s.status;
    for (;;) {
        hrtime target = sim_target(s);
        if (target > limit)
            target = limit;
        while (status == 0 && next < sc.events.size() && sc.events[next].time <= target) {
            run_to(s, sc.events[next].time);
            values_hand_on(s);
            apply_event(m, sc.events[next++], module_path, &s);
        }
        run_to(s, target);
        values_hand_on(s);
        if (status != 0 || stop_signal || target >= limit)
            break;
        pollfd p[2] = {{s.pipes.command_fd(), POLLIN, 0}, {s.pipes.opens_fd(), POLLIN, 0}};
        if (poll(p, 2, 1) > 0) {
            if (p[1].revents & POLLIN)
                s.pipes.openers_check();
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
    if (m.scheduler().overruns() > 0)
        s.note(overruns_text(m.scheduler().overruns()));
    if (m.module_loaded()) {
        s.note(std::string("ranging thread: ") + thread_state_word(m.scheduler().thread_state()));
        s.note("rmmod");
        if (int rc = m.rmmod())
            s.note("rmmod refused: " + std::to_string(rc));
    }
    s.pipes_close();

    if (end)
        *end = m.now();
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

}  // namespace sims::echorange
