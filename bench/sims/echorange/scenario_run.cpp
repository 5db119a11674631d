// echorange-sim scenarios: doing their actions, and a run from start to end.
#include "sims/echorange/scenario_run.h"

#include <algorithm>
#include <ostream>

#include "uss_records.h"

namespace sims::echorange {

void set_up_machine(Machine &m, const Scenario &sc)
{
    // The reader process takes each distance from FIFO 2 as it comes.
    m.processes().start_reader(2, USS_VALUE_SIZE);
    m.set_call_cost(sc.call_cost);
    for (const auto &t : sc.targets)
        m.pc().board().set_target(t.first - 1, t.second);
    for (const auto &r : sc.fault_regions)
        m.regions().occupy(r.first, r.second, "other driver");
    if (sc.fault_irq)
        m.irqs().occupy(bench::RangeFinderPc::kBoardIrq);
    m.pc().board().set_line_mode(sc.irq_line);
}

bool machine_event(const ScenarioEvent &e)
{
    using Kind = ScenarioEvent::Kind;
    return e.kind == Kind::irq || e.kind == Kind::target || e.kind == Kind::clear_region ||
           e.kind == Kind::clear_irq;
}

int apply_event(Machine &m, const ScenarioEvent &e, const std::string &module_path, ScenarioReporter *r)
{
    int rc = 0;
    if (r && e.kind != ScenarioEvent::Kind::load && e.kind != ScenarioEvent::Kind::unload &&
        e.kind != ScenarioEvent::Kind::write && e.kind != ScenarioEvent::Kind::bytes)
        r->action(m, e);
    switch (e.kind) {
    case ScenarioEvent::Kind::load:
        rc = m.insmod(module_path);
        if (r)
            r->loaded(m, rc);
        return rc;
    case ScenarioEvent::Kind::unload:
        if (r && !r->unloading(m, e))
            return 0;
        rc = m.rmmod();
        if (r)
            r->unloaded(m, rc);
        return rc;
    case ScenarioEvent::Kind::write:
    case ScenarioEvent::Kind::bytes: {
        std::vector<unsigned char> bytes = event_bytes(e);
        if (r)
            r->writing(m, e, bytes);
        rc = m.processes().write(1, bytes.data(), bytes.size());
        if (r)
            r->written(m, rc);
        return rc;
    }
    case ScenarioEvent::Kind::open:
    case ScenarioEvent::Kind::close:
        rc = e.kind == ScenarioEvent::Kind::open ? m.processes().open(e.fifo, e.pid) : m.processes().close(e.fifo, e.pid);
        if (r)
            r->fifo_done(m, e, rc);
        return rc;
    case ScenarioEvent::Kind::reader_stop:
    case ScenarioEvent::Kind::reader_start:
        if (e.kind == ScenarioEvent::Kind::reader_start)
            m.processes().start_reader(2, USS_VALUE_SIZE);
        else
            m.processes().stop_reader();
        return 0;
    case ScenarioEvent::Kind::irq:
        m.pc().board().raise_at(m.now());
        return 0;
    case ScenarioEvent::Kind::target:
        if (e.flight < 0)
            m.pc().board().clear_target(e.sensor - 1);
        else
            m.pc().board().set_target(e.sensor - 1, e.flight);
        return 0;
    case ScenarioEvent::Kind::clear_region:
        m.regions().vacate_others();
        return 0;
    case ScenarioEvent::Kind::clear_irq:
        m.irqs().vacate(bench::RangeFinderPc::kBoardIrq);
        return 0;
    }
    return 0;
}

std::string insmod_text(const Machine &m, int rc)
{
    std::string text = "insmod: " + std::to_string(rc);
    if (!m.loader_error().empty())
        text += " (" + m.loader_error() + ')';
    return text;
}

std::string overruns_text(long n)
{
    return std::to_string(n) + (n == 1 ? " release" : " releases") +
           " of the thread came while its work on the last one went on (overruns)";
}

void write_end(std::ostream &out, const Machine &m, long values, const char *values_what)
{
    out << "--- kernel log ---\n" << m.kernel_log();
    if (!m.kernel_log().empty() && m.kernel_log().back() != '\n')
        out << '\n';
    out << "--- " << values << " values " << values_what << ", " << m.fifos().refused(2)
        << " dropped (FIFO 2 full), " << m.pc().board().shots_total() << " shots, " << m.pc().board().echoes_lost()
        << " echoes lost (IRQ 11 masked) ---" << std::endl;
}

namespace {

// A run's "# ..." lines: each action as it is done, and what failed.
class RunLog : public ScenarioReporter {
public:
    explicit RunLog(std::ostream &out) : out_(out) {}

    void action(Machine &m, const ScenarioEvent &e) override { line(m, describe_event(e)); }
    void loaded(Machine &m, int rc) override { line(m, insmod_text(m, rc)); }
    bool unloading(Machine &m, const ScenarioEvent &e) override
    {
        line(m, describe_event(e));
        return true;
    }
    void unloaded(Machine &m, int rc) override
    {
        if (rc != 0)
            line(m, "rmmod: " + std::to_string(rc) + " (" + m.loader_error() + ')');
    }
    void writing(Machine &m, const ScenarioEvent &e, const std::vector<unsigned char> &) override
    {
        line(m, describe_event(e));
    }
    void written(Machine &m, int rc) override
    {
        if (rc == LinuxProcesses::kWriteWaits)
            line(m, "the write waits for room in /dev/rtf1");
        else if (rc < 0)
            line(m, "write failed: " + std::to_string(rc));
    }
    void fifo_done(Machine &m, const ScenarioEvent &e, int rc) override
    {
        if (rc != 0)
            line(m, std::string(e.kind == ScenarioEvent::Kind::open ? "open" : "close") +
                        " failed: " + std::to_string(rc));
    }

    void line(const Machine &m, const std::string &text) { out_ << format_time(m.now()) << " # " << text << '\n'; }

private:
    std::ostream &out_;
};

}  // namespace

RunSummary run_scenario(const Scenario &sc, const std::string &module_path, std::ostream &out,
                        rtlsim::MachineObserver *observer)
{
    RunSummary sum;
    Machine m;
    RunLog log(out);
    m.set_port_log(false);
    m.set_observer(observer);
    set_up_machine(m, sc);
    m.processes().set_reader_sink([&](hrtime t, const unsigned char *bytes, size_t) {
        out << format_time(t) << ' ' << uss_value_get(bytes) << '\n';
        ++sum.values_read;
    });
    m.processes().set_write_observer([&](int, unsigned, int rc) { log.line(m, "the waiting write ends: " + std::to_string(rc)); });
    std::vector<int> pids{LinuxProcesses::kWriterPid, LinuxProcesses::kReaderPid};

    // The run ends at its duration whatever the module does: a thread whose
    // work overruns every period keeps the Linux side (and so every action
    // of the scenario's processes) from running, as on the lab PC, but no
    // further than the end.
    m.set_end(sc.duration);
    for (const auto &e : sc.events) {
        m.run_until(e.time);
        if (m.scheduler().thread_stopped_at_end())
            break;  // the Linux side never got the processor back
        bool fifo_action = e.kind == ScenarioEvent::Kind::open || e.kind == ScenarioEvent::Kind::close;
        if (fifo_action && std::find(pids.begin(), pids.end(), e.pid) == pids.end())
            pids.push_back(e.pid);
        apply_event(m, e, module_path, &log);
    }
    m.run_until(sc.duration);
    if (m.scheduler().overruns() > 0)
        log.line(m, overruns_text(m.scheduler().overruns()));
    if (m.scheduler().thread_stopped_at_end())
        log.line(m, "end of run: the real-time thread was at work, stopped there");
    // The processes end before the module is unloaded: what they hold open
    // is closed, a write that still waits is interrupted.
    for (int pid : pids) {
        bool holds = pid == LinuxProcesses::kWriterPid && m.processes().writes_waiting() > 0;
        for (unsigned fifo = 1; fifo <= 2; ++fifo)
            holds = holds || (m.fifos().open_count(fifo) > 0 && m.fifos().opener(fifo) == pid);
        if (holds) {
            log.line(m, "end of run: process " + std::to_string(pid) + " exits");
            m.processes().exit(pid);
        }
    }
    if (m.module_loaded()) {
        log.line(m, "end of run: rmmod");
        m.rmmod();
    }
    sum.values_dropped = m.fifos().refused(2);
    sum.shots = m.pc().board().shots_total();
    sum.echoes_lost = m.pc().board().echoes_lost();
    sum.violations = m.violations();
    sum.interrupts = m.irqs().delivered();
    sum.end = m.now();
    write_end(out, m, sum.values_read, "read");
    return sum;
}

}  // namespace sims::echorange
