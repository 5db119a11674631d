// Fuzz target: echorange-sim's scenario files.
//
// The input is the text of a scenario.  It is parsed as a run needs it (with
// a duration) and as a served machine takes it (without); whatever is
// accepted then sets up an emulated lab PC without the module and has the
// board's own actions (targets, IRQ 11 raised by hand, faults cleared) done
// at their times up to the end of the run.
//
// Invariants: a refusal is a ScenarioError naming a line of the text, or the
// missing duration; an accepted scenario holds only numbers within the
// bounds the format sets (times, flights, call cost, sensors) and its events
// in time order, none after the end of the run; describing the events and
// running the machine through them breaks no rule of the platform.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sims/echorange/scenario_run.h"

namespace {

[[noreturn]] void fail(const char *why, const std::string &detail = "")
{
    std::fprintf(stderr, "fuzz_scenario: %s %s\n", why, detail.c_str());
    std::abort();
}

// "line N: ..." with N from 1 to the number of lines, or the missing duration.
void check_refusal(const std::string &what, const std::string &text, bool need_duration)
{
    if (what == "no duration given") {
        if (!need_duration)
            fail("a served scenario needs no duration:", what);
        return;
    }
    if (what.compare(0, 5, "line ") != 0)
        fail("a refusal without its line:", what);
    std::size_t end = 5;
    unsigned long n = 0;
    while (end < what.size() && what[end] >= '0' && what[end] <= '9' && n < 1000000)
        n = n * 10 + static_cast<unsigned long>(what[end++] - '0');
    unsigned long lines = 1;
    for (char c : text)
        lines += c == '\n';
    if (end == 5 || what.compare(end, 2, ": ") != 0 || n < 1 || n > lines)
        fail("a refusal naming no line of the text:", what);
}

void check(const sims::echorange::Scenario &sc, bool need_duration)
{
    using namespace sims::echorange;
    if (sc.duration > kMaxTime || sc.duration < -1 || (need_duration && sc.duration < 0))
        fail("duration out of bounds:", format_time(sc.duration));
    if (sc.call_cost < 0 || sc.call_cost > kMaxCallCost)
        fail("call cost out of bounds:", format_time(sc.call_cost));
    for (const auto &t : sc.targets)
        if (t.first < 0 || t.first > 256 || t.second < 0 || t.second > kMaxFlight)
            fail("target out of bounds:", format_time(t.second));
    hrtime last = 0;
    for (const auto &e : sc.events) {
        if (e.time < last || e.time > kMaxTime || (sc.duration >= 0 && e.time > sc.duration))
            fail("event time out of order or bounds:", format_time(e.time));
        last = e.time;
        if (e.kind == ScenarioEvent::Kind::target && (e.sensor < 0 || e.sensor > 256 || e.flight < -1 ||
                                                      e.flight > kMaxFlight))
            fail("target event out of bounds:", describe_event(e));
        if (describe_event(e).empty())
            fail("an event without a description");
    }
}

// The board's part of the run, on a machine without the module.
void run_board(const sims::echorange::Scenario &sc)
{
    rtlsim::Machine m;
    m.set_port_log(false);
    sims::echorange::set_up_machine(m, sc);
    for (const auto &e : sc.events) {
        m.run_until(e.time);
        if (sims::echorange::machine_event(e))
            sims::echorange::apply_event(m, e, "");
    }
    m.run_until(sc.duration < 0 ? m.now() : sc.duration);
    if (!m.violations().empty())
        fail("rule broken:", m.violations().front());
    if (m.now() < 0 || m.now() > sims::echorange::kMaxTime + sims::echorange::kMaxFlight)
        fail("the clock ran off:", sims::echorange::format_time(m.now()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    for (bool need_duration : {true, false}) {
        sims::echorange::Scenario sc;
        try {
            sc = sims::echorange::parse_scenario(text, need_duration);
        } catch (const sims::echorange::ScenarioError &e) {
            check_refusal(e.what(), text, need_duration);
            continue;
        }
        check(sc, need_duration);
        run_board(sc);
    }
    return 0;
}
