// echorange-sim scenarios: parsing (the format is described in
// examples/echorange.scenario).  Each directive and each action after "at
// TIME" has a function of its own, found by its name.
#include "sims/echorange/scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <sstream>

#include "boards/rangefinder_map.h"

namespace sims::echorange {

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

namespace {

// One line of the scenario: its number, its text without the comment, its
// words.
struct Line {
    int number = 0;
    std::string text;
    std::vector<std::string> w;

    hrtime time(const std::string &word) const
    {
        try {
            return parse_time(word);
        } catch (const ScenarioError &e) {
            fail(number, e.what());
        }
    }
};

// The actions after "at TIME", one function each: false when the words
// after the action's name do not fit it (an unknown action).
bool action_alone(const Line &l, ScenarioEvent::Kind kind, ScenarioEvent &e)
{
    e.kind = kind;
    return l.w.size() == 3;
}

bool action_load(const Line &l, ScenarioEvent &e) { return action_alone(l, ScenarioEvent::Kind::load, e); }
bool action_unload(const Line &l, ScenarioEvent &e) { return action_alone(l, ScenarioEvent::Kind::unload, e); }
bool action_irq(const Line &l, ScenarioEvent &e) { return action_alone(l, ScenarioEvent::Kind::irq, e); }

bool action_reader(const Line &l, ScenarioEvent &e)
{
    if (l.w.size() != 4 || (l.w[3] != "stop" && l.w[3] != "start"))
        return false;
    e.kind = l.w[3] == "stop" ? ScenarioEvent::Kind::reader_stop : ScenarioEvent::Kind::reader_start;
    return true;
}

bool action_write(const Line &l, ScenarioEvent &e)
{
    e.kind = ScenarioEvent::Kind::write;
    size_t pos = l.text.find("write");
    e.records = parse_records(l.text.substr(pos + 5), l.number);
    return true;
}

bool action_bytes(const Line &l, ScenarioEvent &e)
{
    e.kind = ScenarioEvent::Kind::bytes;
    e.raw = parse_bytes(l.w, 3, l.number);
    return true;
}

bool action_open_close(const Line &l, ScenarioEvent &e)
{
    const std::vector<std::string> &w = l.w;
    if (w.size() != 4 && w.size() != 5)
        return false;
    e.kind = w[2] == "open" ? ScenarioEvent::Kind::open : ScenarioEvent::Kind::close;
    int fifo = parse_int32(w[3], l.number);
    if (fifo != 1 && fifo != 2)
        fail(l.number, "the module's FIFOs are 1 and 2: " + w[3]);
    e.fifo = static_cast<unsigned>(fifo);
    // By default the writer holds /dev/rtf1, the reader /dev/rtf2.
    e.pid = fifo == 1 ? LinuxProcesses::kWriterPid : LinuxProcesses::kReaderPid;
    if (w.size() == 5) {
        e.pid = parse_int32(w[4], l.number);
        if (e.pid < 1)
            fail(l.number, "a process number is 1 or more: " + w[4]);
    }
    return true;
}

bool action_fault(const Line &l, ScenarioEvent &e)
{
    const std::vector<std::string> &w = l.w;
    if (w.size() != 5 || w[3] != "clear" || (w[4] != "region" && w[4] != "irq"))
        return false;
    e.kind = w[4] == "region" ? ScenarioEvent::Kind::clear_region : ScenarioEvent::Kind::clear_irq;
    return true;
}

bool action_target(const Line &l, ScenarioEvent &e)
{
    if (l.w.size() != 5)
        return false;
    e.kind = ScenarioEvent::Kind::target;
    e.sensor = parse_sensor(l.w[3], l.number);
    e.flight = parse_target(l.w[4], l.number);
    return true;
}

const std::pair<const char *, bool (*)(const Line &, ScenarioEvent &)> kActions[] = {
    {"load", action_load},   {"unload", action_unload}, {"irq", action_irq},
    {"reader", action_reader}, {"write", action_write}, {"bytes", action_bytes},
    {"open", action_open_close}, {"close", action_open_close}, {"fault", action_fault},
    {"target", action_target},
};

// The directives, one function each.
void directive_target(const Line &l, Scenario &sc)
{
    if (l.w.size() != 3)
        fail(l.number, "target SENSOR DISTANCE");
    int s = parse_sensor(l.w[1], l.number);
    hrtime f = parse_target(l.w[2], l.number);
    if (f < 0)
        sc.targets.erase(s);
    else
        sc.targets[s] = f;
}

void directive_fault(const Line &l, Scenario &sc)
{
    const std::vector<std::string> &w = l.w;
    if (w.size() == 2 && w[1] == "irq")
        sc.fault_irq = true;
    else if (w.size() >= 2 && w.size() <= 3 && w[1] == "region")
        // Without ports: one port in the middle of the board's.
        sc.fault_regions.push_back(w.size() == 3 ? parse_ports(w[2], l.number)
                                                 : std::make_pair(bench::rangefinder_map::kBase + 1u, 1u));
    else
        fail(l.number, "fault region [PORT | FIRST-LAST] | fault irq");
}

void directive_irq_line(const Line &l, Scenario &sc)
{
    if (l.w.size() != 2 || (l.w[1] != "pulse" && l.w[1] != "held"))
        fail(l.number, "irq-line pulse | irq-line held");
    sc.irq_line = l.w[1] == "held" ? bench::EchoBoard::LineMode::held : bench::EchoBoard::LineMode::pulse;
}

void directive_call_cost(const Line &l, Scenario &sc)
{
    if (l.w.size() != 2)
        fail(l.number, "call-cost TIME");
    if (!time_value(l.w[1], &sc.call_cost))
        fail(l.number, kNotATime + l.w[1]);
    if (sc.call_cost > kMaxCallCost)
        fail(l.number, "a call costs at most 100us (a tenth of the shortest period, 1 ms): " + l.w[1]);
}

void directive_duration(const Line &l, Scenario &sc)
{
    if (l.w.size() != 2)
        fail(l.number, "duration TIME");
    sc.duration = l.time(l.w[1]);
}

void directive_at(const Line &l, Scenario &sc)
{
    if (l.w.size() < 3)
        fail(l.number, "at TIME ACTION");
    ScenarioEvent e;
    e.line = l.number;
    e.time = l.time(l.w[1]);
    const std::string &a = l.w[2];
    bool fits = false;
    for (const auto &action : kActions)
        if (a == action.first) {
            fits = action.second(l, e);
            break;
        }
    if (!fits)
        fail(l.number, "unknown action: " + l.text.substr(l.text.find(a)));
    sc.events.push_back(e);
}

const std::pair<const char *, void (*)(const Line &, Scenario &)> kDirectives[] = {
    {"target", directive_target},       {"fault", directive_fault},       {"irq-line", directive_irq_line},
    {"call-cost", directive_call_cost}, {"duration", directive_duration}, {"at", directive_at},
};

}  // namespace

Scenario parse_scenario(const std::string &text, bool need_duration)
{
    Scenario sc;
    std::istringstream in(text);
    std::string raw_line;
    Line l;
    while (std::getline(in, raw_line)) {
        ++l.number;
        l.text = raw_line.substr(0, raw_line.find('#'));
        l.w = split_words(l.text);
        if (l.w.empty())
            continue;
        bool known = false;
        for (const auto &directive : kDirectives)
            if (l.w[0] == directive.first) {
                directive.second(l, sc);
                known = true;
                break;
            }
        if (!known)
            fail(l.number, "unknown directive: " + l.w[0]);
    }
    if (sc.duration < 0 && need_duration)
        throw ScenarioError("no duration given");
    std::stable_sort(sc.events.begin(), sc.events.end(),
                     [](const ScenarioEvent &a, const ScenarioEvent &b) { return a.time < b.time; });
    for (const auto &e : sc.events)
        if (sc.duration >= 0 && e.time > sc.duration)
            fail(e.line, "event after the end of the run (duration " + format_time(sc.duration) + " s)");
    bool has_load = std::any_of(sc.events.begin(), sc.events.end(),
                                [](const ScenarioEvent &e) { return e.kind == ScenarioEvent::Kind::load; });
    if (!has_load) {
        ScenarioEvent load;
        load.kind = ScenarioEvent::Kind::load;
        sc.events.insert(sc.events.begin(), load);
    }
    return sc;
}

}  // namespace sims::echorange
