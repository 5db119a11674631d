#include "sims/psload/timing_report.h"

#include <cstdio>
#include <vector>

namespace bench {

namespace {

enum class Verdict { Broken, Met, Unknown, NotReached, Device };

struct Row {
    Verdict verdict;
    std::string text;
    // Delay writes that one more -w adds to the value (0: -w does not move
    // it), and the writes still missing when broken.
    int per_wait = 0;
    bool measured = false;  // a margin against a limit (or the floor of 0)
    Nanos margin = 0;
};

std::string ns(Nanos t)
{
    return std::to_string(t) + "ns";
}

const char *verdict_name(Verdict v)
{
    switch (v) {
    case Verdict::Broken:
        return "violated";
    case Verdict::Met:
        return "ok";
    case Verdict::Unknown:
        return "unknown";
    case Verdict::NotReached:
        return "not-reached";
    case Verdict::Device:
        return "device";
    }
    return "?";
}

// A minimum: limit kUnknown is not checked, unless floor_zero (a line that
// has not settled is never right: at least 0 then).
Row minimum(const char *name, Nanos limit, Nanos given, int per_wait, bool floor_zero = false)
{
    Row r;
    r.per_wait = per_wait;
    std::string lim = limit != kUnknown ? ns(limit) : floor_zero ? "unknown(0ns)" : "unknown";
    if (given == kUnknown) {
        r.verdict = Verdict::NotReached;
        r.text = std::string(name) + " not-reached min=" + lim;
        return r;
    }
    if (limit == kUnknown && !floor_zero) {
        r.verdict = Verdict::Unknown;
        r.text = std::string(name) + " unknown min=unknown given=" + ns(given);
        return r;
    }
    const Nanos need = limit == kUnknown ? 0 : limit;
    const Nanos margin = given - need;
    r.verdict = margin < 0 ? Verdict::Broken : limit == kUnknown ? Verdict::Unknown : Verdict::Met;
    r.measured = true;
    r.margin = margin;
    r.text = std::string(name) + " " + verdict_name(r.verdict) + " min=" + lim + " given=" + ns(given) +
             " margin=" + ns(margin);
    return r;
}

} // namespace

std::string timing_report(FpgaBench &bench, int wait_count)
{
    const FpgaBenchConfig &cfg = bench.config();
    PassiveSerialFpga &fpga = bench.fpga();
    const TimingProfile &p = fpga.config().timing;
    const TimingSeen &seen = fpga.timing();
    const Nanos delay_ns = cfg.delay_write_ns;

    std::vector<Row> rows;
    rows.push_back(minimum("tCFG", p.tcfg_min, seen.tcfg, 0));

    // The poll: how long psload looked for nSTATUS after nCONFIG rose,
    // against when the device released it.
    {
        Row r;
        const Nanos release = seen.nstatus_release;
        std::string range = p.known(p.nstatus_max) ? " range=" + ns(p.nstatus_min) + "-" + ns(p.nstatus_max) : "";
        if (release == kUnknown || seen.nstatus_wait == kUnknown) {
            r.verdict = Verdict::NotReached;
            r.text = "nSTATUS not-reached" + range;
        } else {
            const Nanos margin = seen.nstatus_wait - release;
            r.verdict = seen.nstatus_found ? Verdict::Met : Verdict::Broken;
            r.text = std::string("nSTATUS ") + verdict_name(r.verdict) + " release=" + ns(release) + range +
                     " polled=" + ns(seen.nstatus_wait) + " margin=" + ns(margin);
            if (p.known(p.nstatus_max) && (release > p.nstatus_max || release < p.nstatus_min))
                r.text += " (release outside the profile's range)";
        }
        rows.push_back(r);
    }
    rows.push_back(minimum("tCF2CK", p.tcf2ck_min, seen.tcf2ck, 1));
    rows.push_back(minimum("tST2CK", p.tst2ck_min, seen.tst2ck, 1));
    rows.push_back(minimum("tDSU", p.tdsu_min, seen.tdsu, 1, true));
    rows.push_back(minimum("tDH", p.tdh_min, seen.tdh, 1, true));
    rows.push_back(minimum("tCH", p.tch_min, seen.tch, 1, true));
    rows.push_back(minimum("tCL", p.tcl_min, seen.tcl, 1, true));
    {
        Row r = minimum("fMAX", p.fmax_hz ? p.min_period() : kUnknown, seen.period, 2);
        if (p.fmax_hz)
            r.text += " (period, " + std::to_string(p.fmax_hz) + "Hz)";
        rows.push_back(r);
    }
    {
        Row r;
        const unsigned need = fpga.config().init_clocks;
        if (!seen.conf_done_seen) {
            r.verdict = Verdict::NotReached;
            r.text = "closing_clocks not-reached min=" + (p.closing_clocks < 0 && need == 0 ? std::string("unknown") : std::to_string(need));
        } else if (p.closing_clocks < 0 && need == 0) {
            r.verdict = Verdict::Unknown;
            r.text = "closing_clocks unknown given=" + std::to_string(seen.closing_clocks);
        } else {
            const long long margin = static_cast<long long>(seen.closing_clocks) - need;
            r.verdict = margin < 0 ? Verdict::Broken : Verdict::Met;
            r.text = std::string("closing_clocks ") + verdict_name(r.verdict) + " min=" + std::to_string(need) +
                     " given=" + std::to_string(seen.closing_clocks) + " margin=" + std::to_string(margin);
        }
        rows.push_back(r);
    }
    {
        Row r;
        if (p.known(p.user_mode_max)) {
            r.verdict = Verdict::Device;
            r.text = "user_mode device after=" + ns(fpga.config().user_mode_delay) + " range=" +
                     ns(p.user_mode_min) + "-" + ns(p.user_mode_max) +
                     " (CONF_DONE to user mode on the device's own clock)";
        } else {
            r.verdict = Verdict::Unknown;
            r.text = "user_mode unknown";
        }
        rows.push_back(r);
    }

    // The smallest -w: a limit that -w moves asks for the -w of this run
    // less its margin in delay writes (more, where the margin is
    // negative); a broken one that -w does not move, none will do.
    const long long w0 = wait_count > 0 ? wait_count : 0;
    long long smallest = 0;
    std::string uncured;
    unsigned broken = 0;
    for (const Row &r : rows) {
        if (r.verdict == Verdict::Broken) {
            ++broken;
            if (r.per_wait == 0) {
                uncured += uncured.empty() ? "" : ",";
                uncured += r.text.substr(0, r.text.find(' '));
                continue;
            }
        }
        if (!r.measured || r.per_wait == 0)
            continue;
        const Nanos step = delay_ns * r.per_wait;
        const long long need = r.margin >= 0 ? w0 - r.margin / step : w0 + (-r.margin + step - 1) / step;
        if (need > smallest)
            smallest = need;
    }

    char head[512];
    std::snprintf(head, sizeof head,
                  "timing_profile %s\n"
                  "timing_source %s\n"
                  "timing_access_ns %lld\n"
                  "timing_delay_write_ns %lld\n"
                  "timing_cable_settle_ns %lld\n"
                  "timing_violations %u\n",
                  p.name.empty() ? "none" : p.name.c_str(), p.source.empty() ? "none" : p.source.c_str(),
                  static_cast<long long>(cfg.port_access_ns), static_cast<long long>(delay_ns),
                  static_cast<long long>(cfg.cable_settle_ns), broken);
    std::string out = head;
    for (Verdict v : {Verdict::Broken, Verdict::Met, Verdict::Unknown, Verdict::NotReached, Verdict::Device})
        for (const Row &r : rows)
            if (r.verdict == v)
                out += "timing " + r.text + "\n";
    if (!uncured.empty())
        out += "timing_smallest_wait none (-w does not move " + uncured + ")\n";
    else
        out += "timing_smallest_wait " + std::to_string(smallest) + "\n";
    return out;
}

} // namespace bench
