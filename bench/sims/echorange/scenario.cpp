// echorange-sim scenarios: the words for their times and actions.
#include "sims/echorange/scenario.h"

#include <cstdio>
#include <sstream>

#include "uss_records.h"

namespace sims::echorange {

namespace {

void records_text(std::ostream &s, const std::vector<std::array<int, 3>> &records)
{
    s << "write";
    for (size_t i = 0; i < records.size(); ++i)
        s << (i ? " ;" : "") << ' ' << records[i][0] << ' ' << records[i][1] << ' ' << records[i][2];
}

}  // namespace

std::string format_time(hrtime t)
{
    char buf[48];
    const char *sign = t < 0 ? "-" : "";
    unsigned long long a = t < 0 ? 0ull - static_cast<unsigned long long>(t) : static_cast<unsigned long long>(t);
    std::snprintf(buf, sizeof buf, "%s%llu.%09llu", sign, a / 1000000000ull, a % 1000000000ull);
    return buf;
}

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
        records_text(s, e.records);
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

std::string write_text(const unsigned char *bytes, size_t n)
{
    ScenarioEvent e;
    if (n == 0 || n % USS_RECORD_SIZE != 0) {
        e.kind = ScenarioEvent::Kind::bytes;
        e.raw.assign(bytes, bytes + n);
        return describe_event(e);
    }
    e.kind = ScenarioEvent::Kind::write;
    for (size_t i = 0; i < n; i += USS_RECORD_SIZE) {
        uss_msg_struct r = uss_record_get(bytes + i);
        e.records.push_back({r.command, r.number, r.period});
    }
    return describe_event(e);
}

std::vector<unsigned char> event_bytes(const ScenarioEvent &e)
{
    if (e.kind != ScenarioEvent::Kind::write)
        return e.raw;
    std::vector<unsigned char> bytes(e.records.size() * USS_RECORD_SIZE);
    for (size_t i = 0; i < e.records.size(); ++i)
        uss_record_put(&bytes[i * USS_RECORD_SIZE], e.records[i][0], e.records[i][1], e.records[i][2]);
    return bytes;
}

}  // namespace sims::echorange
