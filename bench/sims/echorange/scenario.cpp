// echorange-sim scenarios: parsing and running.
#include "sims/echorange/scenario.h"

#include "boards/rangefinder_map.h"
#include "uss_records.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <ostream>
#include <sstream>

namespace rtlsim {

namespace {

[[noreturn]] void fail(int line, const std::string &what)
{
    throw ScenarioError("line " + std::to_string(line) + ": " + what);
}

std::vector<std::string> split_words(const std::string &s)
{
    std::istringstream in(s);
    std::vector<std::string> words;
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

// A decimal number with an optional fraction, scaled by `unit` exactly.  A
// value too large for 64 bits comes out as kTooLarge, which every bound
// below refuses.
constexpr hrtime kTooLarge = INT64_MAX;

bool scaled_decimal(const std::string &num, hrtime unit, hrtime *out)
{
    if (num.empty())
        return false;
    size_t dot = num.find('.');
    std::string whole = num.substr(0, dot);
    std::string frac = dot == std::string::npos ? "" : num.substr(dot + 1);
    if (whole.empty() && frac.empty())
        return false;
    for (char c : whole + frac)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    hrtime value = 0;
    bool overflow = false;
    for (char c : whole)
        overflow = overflow || __builtin_mul_overflow(value, 10, &value) ||
                   __builtin_add_overflow(value, c - '0', &value);
    overflow = overflow || __builtin_mul_overflow(value, unit, &value);
    hrtime scale = unit;
    for (char c : frac) {
        if (scale % 10 != 0)
            return false;  // finer than a nanosecond / millimetre
        scale /= 10;
        overflow = overflow || __builtin_add_overflow(value, (c - '0') * scale, &value);
    }
    *out = overflow ? kTooLarge : value;
    return true;
}

bool split_unit(const std::string &word, std::string *num, std::string *unit)
{
    size_t i = 0;
    while (i < word.size() && (std::isdigit(static_cast<unsigned char>(word[i])) || word[i] == '.'))
        ++i;
    *num = word.substr(0, i);
    *unit = word.substr(i);
    return !num->empty();
}

int parse_int32(const std::string &word, int line)
{
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(word.c_str(), &end, 0);
    if (word.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        fail(line, "not a 32-bit integer: " + word);
    return static_cast<int>(v);
}

int parse_sensor(const std::string &word, int line)
{
    int s = parse_int32(word, line);
    if (s < 1 || s > 256)
        fail(line, "sensor number out of range 1..256: " + word);
    return s;
}

// Refuses a target farther than the bounds (scenario.h) before it is
// turned into a flight time.
void check_target_bounds(const std::string &word, int line)
{
    std::string num, unit;
    hrtime v;
    if (!split_unit(word, &num, &unit))
        return;
    if ((unit == "mm" && scaled_decimal(num, 1, &v) && v > kMaxTargetMm) ||
        (unit == "m" && scaled_decimal(num, 1000, &v) && v > kMaxTargetMm))
        fail(line, "a distance is at most " + std::to_string(kMaxTargetMm) +
                       "mm (the farthest a 32-bit interval measures): " + word);
    if (unit == "ns" && scaled_decimal(num, 1, &v) && v > kMaxFlight)
        fail(line, "an echo's flight time is at most " + format_time(kMaxFlight) + " s: " + word);
}

// A target: "<n>mm", "<x>m", "<n>ns" (the echo's flight time) or "none".
hrtime parse_target(const std::string &word, int line)
{
    if (word == "none")
        return -1;
    check_target_bounds(word, line);
    std::string num, unit;
    hrtime v;
    if (split_unit(word, &num, &unit)) {
        if (unit == "mm" && scaled_decimal(num, 1, &v))
            return bench::EchoBoard::flight_for_mm(v);
        if (unit == "m" && scaled_decimal(num, 1000, &v))
            return bench::EchoBoard::flight_for_mm(v);
        if (unit == "ns" && scaled_decimal(num, 1, &v))
            return v;
    }
    fail(line, "not a distance (e.g. 1500mm, 1.5m, 8727543ns, none): " + word);
}

std::vector<unsigned char> parse_bytes(const std::vector<std::string> &words, size_t from, int line)
{
    std::vector<unsigned char> raw;
    for (size_t i = from; i < words.size(); ++i) {
        char *end = nullptr;
        unsigned long v = std::strtoul(words[i].c_str(), &end, 16);
        if (*end != '\0' || v > 0xff || words[i].size() > 2)
            fail(line, "not a hex byte: " + words[i]);
        raw.push_back(static_cast<unsigned char>(v));
    }
    if (raw.empty())
        fail(line, "bytes: no bytes");
    return raw;
}

std::vector<std::array<int, 3>> parse_records(const std::string &rest, int line)
{
    std::vector<std::array<int, 3>> records;
    std::string text = rest;
    std::replace(text.begin(), text.end(), ';', '\n');
    std::istringstream in(text);
    std::string one;
    while (std::getline(in, one)) {
        auto w = split_words(one);
        if (w.size() != 3)
            fail(line, "a record is three integers: command number period");
        records.push_back({parse_int32(w[0], line), parse_int32(w[1], line), parse_int32(w[2], line)});
    }
    if (records.empty())
        fail(line, "write: no record");
    return records;
}

// "0x131" or "0x130-0x133": the ports another driver holds.
std::pair<unsigned, unsigned> parse_ports(const std::string &word, int line)
{
    auto port = [&](const std::string &p) {
        char *end = nullptr;
        unsigned long v = std::strtoul(p.c_str(), &end, 0);
        if (p.empty() || *end != '\0' || v > 0xffff)
            fail(line, "not a port (e.g. 0x131, 0x130-0x133): " + word);
        return static_cast<unsigned>(v);
    };
    size_t dash = word.find('-');
    unsigned first = port(word.substr(0, dash));
    unsigned last = dash == std::string::npos ? first : port(word.substr(dash + 1));
    if (last < first)
        fail(line, "a port range goes upwards: " + word);
    return {first, last - first + 1};
}

}  // namespace

std::string describe_event(const ScenarioEvent &e)
{
    std::ostringstream s;
    switch (e.kind) {
    case ScenarioEvent::Kind::clear_region: return "the other driver releases its ports";
    case ScenarioEvent::Kind::clear_irq: return "the other driver frees IRQ 11";
    case ScenarioEvent::Kind::load: return "insmod";
    case ScenarioEvent::Kind::unload: return "rmmod";
    case ScenarioEvent::Kind::reader_stop: return "reader stops";
    case ScenarioEvent::Kind::reader_start: return "reader starts";
    case ScenarioEvent::Kind::irq: return "the board raises IRQ 11";
    case ScenarioEvent::Kind::write:
        s << "write";
        for (size_t i = 0; i < e.records.size(); ++i)
            s << (i ? " ;" : "") << ' ' << e.records[i][0] << ' ' << e.records[i][1] << ' '
              << e.records[i][2];
        return s.str();
    case ScenarioEvent::Kind::bytes:
        s << "write " << e.raw.size() << " bytes";
        return s.str();
    case ScenarioEvent::Kind::open:
    case ScenarioEvent::Kind::close:
        s << (e.kind == ScenarioEvent::Kind::open ? "open" : "close") << " /dev/rtf" << e.fifo
          << " (process " << e.pid << ')';
        return s.str();
    case ScenarioEvent::Kind::target:
        s << "target " << e.sensor << ' ';
        if (e.flight < 0)
            s << "none";
        else
            s << "echo after " << e.flight << " ns";
        return s.str();
    }
    return "?";
}

namespace {

// A time without bounds (kTooLarge beyond 64 bits); false if it is none.
bool time_value(const std::string &word, hrtime *out)
{
    if (word == "0") {
        *out = 0;
        return true;
    }
    std::string num, unit;
    static const std::pair<const char *, hrtime> units[] = {
        {"ns", 1},       {"us", kMicrosecond},    {"ms", kMillisecond},
        {"s", kSecond},  {"min", 60 * kSecond},   {"h", 3600 * kSecond},
    };
    if (split_unit(word, &num, &unit)) {
        for (const auto &u : units) {
            hrtime v;
            if (unit == u.first && scaled_decimal(num, u.second, &v)) {
                *out = v;
                return true;
            }
        }
    }
    return false;
}

const char kNotATime[] = "not a time (e.g. 0, 250us, 10ms, 1.5s, 2min, 1h): ";

}  // namespace

hrtime parse_time(const std::string &word)
{
    hrtime v;
    if (!time_value(word, &v))
        throw ScenarioError(kNotATime + word);
    if (v > kMaxTime)
        throw ScenarioError("a time is at most 60 days (1440h) of simulated time: " + word);
    return v;
}

std::string format_time(hrtime t)
{
    char buf[48];
    const char *sign = t < 0 ? "-" : "";
    unsigned long long a = t < 0 ? 0ull - static_cast<unsigned long long>(t) : static_cast<unsigned long long>(t);
    std::snprintf(buf, sizeof buf, "%s%llu.%09llu", sign, a / 1000000000ull, a % 1000000000ull);
    return buf;
}

Scenario parse_scenario(const std::string &text, bool need_duration)
{
    Scenario sc;
    std::istringstream in(text);
    std::string raw_line;
    int line = 0;
    bool has_load = false;
    while (std::getline(in, raw_line)) {
        ++line;
        std::string l = raw_line.substr(0, raw_line.find('#'));
        auto w = split_words(l);
        if (w.empty())
            continue;
        auto time_at = [&](const std::string &word) {
            try {
                return parse_time(word);
            } catch (const ScenarioError &e) {
                fail(line, e.what());
            }
        };
        if (w[0] == "target") {
            if (w.size() != 3)
                fail(line, "target SENSOR DISTANCE");
            int s = parse_sensor(w[1], line);
            hrtime f = parse_target(w[2], line);
            if (f < 0)
                sc.targets.erase(s);
            else
                sc.targets[s] = f;
        } else if (w[0] == "fault") {
            if (w.size() == 2 && w[1] == "irq")
                sc.fault_irq = true;
            else if (w.size() >= 2 && w.size() <= 3 && w[1] == "region")
                // Without ports: one port in the middle of the board's.
                sc.fault_regions.push_back(w.size() == 3 ? parse_ports(w[2], line)
                                                         : std::make_pair(bench::rangefinder_map::kBase + 1u, 1u));
            else
                fail(line, "fault region [PORT | FIRST-LAST] | fault irq");
        } else if (w[0] == "irq-line") {
            if (w.size() != 2 || (w[1] != "pulse" && w[1] != "held"))
                fail(line, "irq-line pulse | irq-line held");
            sc.irq_line = w[1] == "held" ? bench::EchoBoard::LineMode::held : bench::EchoBoard::LineMode::pulse;
        } else if (w[0] == "call-cost") {
            if (w.size() != 2)
                fail(line, "call-cost TIME");
            if (!time_value(w[1], &sc.call_cost))
                fail(line, kNotATime + w[1]);
            if (sc.call_cost > kMaxCallCost)
                fail(line, "a call costs at most 100us (a tenth of the shortest period, 1 ms): " + w[1]);
        } else if (w[0] == "duration") {
            if (w.size() != 2)
                fail(line, "duration TIME");
            sc.duration = time_at(w[1]);
        } else if (w[0] == "at") {
            if (w.size() < 3)
                fail(line, "at TIME ACTION");
            ScenarioEvent e;
            e.line = line;
            e.time = time_at(w[1]);
            const std::string &a = w[2];
            if (a == "load" && w.size() == 3) {
                e.kind = ScenarioEvent::Kind::load;
                has_load = true;
            } else if (a == "unload" && w.size() == 3) {
                e.kind = ScenarioEvent::Kind::unload;
            } else if (a == "irq" && w.size() == 3) {
                e.kind = ScenarioEvent::Kind::irq;
            } else if (a == "reader" && w.size() == 4 && (w[3] == "stop" || w[3] == "start")) {
                e.kind = w[3] == "stop" ? ScenarioEvent::Kind::reader_stop
                                        : ScenarioEvent::Kind::reader_start;
            } else if (a == "write") {
                e.kind = ScenarioEvent::Kind::write;
                size_t pos = l.find("write");
                e.records = parse_records(l.substr(pos + 5), line);
            } else if (a == "bytes") {
                e.kind = ScenarioEvent::Kind::bytes;
                e.raw = parse_bytes(w, 3, line);
            } else if ((a == "open" || a == "close") && (w.size() == 4 || w.size() == 5)) {
                e.kind = a == "open" ? ScenarioEvent::Kind::open : ScenarioEvent::Kind::close;
                int fifo = parse_int32(w[3], line);
                if (fifo != 1 && fifo != 2)
                    fail(line, "the module's FIFOs are 1 and 2: " + w[3]);
                e.fifo = static_cast<unsigned>(fifo);
                // By default the writer holds /dev/rtf1, the reader /dev/rtf2.
                e.pid = fifo == 1 ? LinuxProcesses::kWriterPid : LinuxProcesses::kReaderPid;
                if (w.size() == 5) {
                    e.pid = parse_int32(w[4], line);
                    if (e.pid < 1)
                        fail(line, "a process number is 1 or more: " + w[4]);
                }
            } else if (a == "fault" && w.size() == 5 && w[3] == "clear" && (w[4] == "region" || w[4] == "irq")) {
                e.kind = w[4] == "region" ? ScenarioEvent::Kind::clear_region : ScenarioEvent::Kind::clear_irq;
            } else if (a == "target" && w.size() == 5) {
                e.kind = ScenarioEvent::Kind::target;
                e.sensor = parse_sensor(w[3], line);
                e.flight = parse_target(w[4], line);
            } else {
                fail(line, "unknown action: " + l.substr(l.find(a)));
            }
            sc.events.push_back(e);
        } else {
            fail(line, "unknown directive: " + w[0]);
        }
    }
    if (sc.duration < 0 && need_duration)
        throw ScenarioError("no duration given");
    std::stable_sort(sc.events.begin(), sc.events.end(),
                     [](const ScenarioEvent &a, const ScenarioEvent &b) { return a.time < b.time; });
    for (const auto &e : sc.events)
        if (sc.duration >= 0 && e.time > sc.duration)
            fail(e.line, "event after the end of the run (duration " + format_time(sc.duration) + " s)");
    if (!has_load) {
        ScenarioEvent load;
        load.kind = ScenarioEvent::Kind::load;
        sc.events.insert(sc.events.begin(), load);
    }
    return sc;
}

std::vector<unsigned char> record_bytes(const std::vector<std::array<int, 3>> &records)
{
    std::vector<unsigned char> bytes(records.size() * USS_RECORD_SIZE);
    for (size_t i = 0; i < records.size(); ++i)
        uss_record_put(&bytes[i * USS_RECORD_SIZE], records[i][0], records[i][1], records[i][2]);
    return bytes;
}

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

// A scenario action on the board and the rest of the PC (irq, target, fault
// clear): done, and true; false for the Linux processes' actions.
bool apply_machine_event(Machine &m, const ScenarioEvent &e)
{
    switch (e.kind) {
    case ScenarioEvent::Kind::irq:
        m.pc().board().raise_at(m.now());
        return true;
    case ScenarioEvent::Kind::target:
        if (e.flight < 0)
            m.pc().board().clear_target(e.sensor - 1);
        else
            m.pc().board().set_target(e.sensor - 1, e.flight);
        return true;
    case ScenarioEvent::Kind::clear_region:
        m.regions().vacate_others();
        return true;
    case ScenarioEvent::Kind::clear_irq:
        m.irqs().vacate(bench::RangeFinderPc::kBoardIrq);
        return true;
    default:
        return false;
    }
}

int apply_event(Machine &m, const ScenarioEvent &e, const std::string &module_path)
{
    if (apply_machine_event(m, e))
        return 0;
    switch (e.kind) {
    case ScenarioEvent::Kind::load:
        return m.insmod(module_path);
    case ScenarioEvent::Kind::unload:
        return m.rmmod();
    case ScenarioEvent::Kind::write:
    {
        std::vector<unsigned char> bytes = record_bytes(e.records);
        return m.processes().write(1, bytes.data(), bytes.size());
    }
    case ScenarioEvent::Kind::bytes:
        return m.processes().write(1, e.raw.data(), e.raw.size());
    case ScenarioEvent::Kind::open:
        return m.processes().open(e.fifo, e.pid);
    case ScenarioEvent::Kind::close:
        return m.processes().close(e.fifo, e.pid);
    case ScenarioEvent::Kind::reader_stop:
    case ScenarioEvent::Kind::reader_start:
        if (e.kind == ScenarioEvent::Kind::reader_start)
            m.processes().start_reader(2, USS_VALUE_SIZE);
        else
            m.processes().stop_reader();
        return 0;
    default:
        return 0;  // the machine's own, done above
    }
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

RunSummary run_scenario(const Scenario &sc, const std::string &module_path, std::ostream &out,
                        MachineObserver *observer)
{
    RunSummary sum;
    Machine m;
    m.set_port_log(false);
    m.set_observer(observer);
    set_up_machine(m, sc);
    m.processes().set_reader_sink([&](hrtime t, const unsigned char *bytes, size_t) {
        out << format_time(t) << ' ' << uss_value_get(bytes) << '\n';
        ++sum.values_read;
    });
    m.processes().set_write_observer([&](int, unsigned, int rc) {
        out << format_time(m.now()) << " # the waiting write ends: " << rc << '\n';
    });
    std::vector<int> pids{LinuxProcesses::kWriterPid, LinuxProcesses::kReaderPid};
    auto report_write = [&](int rc) {
        if (rc == LinuxProcesses::kWriteWaits)
            out << format_time(m.now()) << " # the write waits for room in /dev/rtf1\n";
        else if (rc < 0)
            out << format_time(m.now()) << " # write failed: " << rc << '\n';
    };

    // The run ends at its duration whatever the module does: a thread whose
    // work overruns every period keeps the Linux side (and so every action
    // of the scenario's processes) from running, as on the lab PC, but no
    // further than the end.
    m.set_end(sc.duration);
    for (const auto &e : sc.events) {
        m.run_until(e.time);
        if (m.scheduler().thread_stopped_at_end())
            break;  // the Linux side never got the processor back
        if (e.kind != ScenarioEvent::Kind::load)
            out << format_time(m.now()) << " # " << describe_event(e) << '\n';
        bool fifo_action = e.kind == ScenarioEvent::Kind::open || e.kind == ScenarioEvent::Kind::close;
        if (fifo_action && std::find(pids.begin(), pids.end(), e.pid) == pids.end())
            pids.push_back(e.pid);
        int rc = apply_event(m, e, module_path);
        switch (e.kind) {
        case ScenarioEvent::Kind::load:
            out << format_time(m.now()) << " # insmod: " << rc;
            if (!m.loader_error().empty())
                out << " (" << m.loader_error() << ')';
            out << '\n';
            break;
        case ScenarioEvent::Kind::unload:
            if (rc != 0)
                out << format_time(m.now()) << " # rmmod: " << rc << " (" << m.loader_error() << ")\n";
            break;
        case ScenarioEvent::Kind::write:
        case ScenarioEvent::Kind::bytes:
            report_write(rc);
            break;
        case ScenarioEvent::Kind::open:
        case ScenarioEvent::Kind::close:
            if (rc != 0)
                out << format_time(m.now()) << " # " << (e.kind == ScenarioEvent::Kind::open ? "open" : "close")
                    << " failed: " << rc << '\n';
            break;
        default:
            break;
        }
    }
    m.run_until(sc.duration);
    if (m.scheduler().overruns() > 0)
        out << format_time(m.now()) << " # " << overruns_text(m.scheduler().overruns()) << '\n';
    if (m.scheduler().thread_stopped_at_end())
        out << format_time(m.now()) << " # end of run: the real-time thread was at work, stopped there\n";
    // The processes end before the module is unloaded: what they hold open
    // is closed, a write that still waits is interrupted.
    for (int pid : pids) {
        bool holds = pid == LinuxProcesses::kWriterPid && m.processes().writes_waiting() > 0;
        for (unsigned fifo = 1; fifo <= 2; ++fifo)
            holds = holds || (m.fifos().open_count(fifo) > 0 && m.fifos().opener(fifo) == pid);
        if (holds) {
            out << format_time(m.now()) << " # end of run: process " << pid << " exits\n";
            m.processes().exit(pid);
        }
    }
    if (m.module_loaded()) {
        out << format_time(m.now()) << " # end of run: rmmod\n";
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

}  // namespace rtlsim
