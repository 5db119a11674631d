// echorange-sim --trace: the event lines (format in trace.h).
#include "sims/echorange/trace.h"

#include <cstdio>
#include <ostream>

#include "sims/echorange/scenario.h"
#include "uss_records.h"

namespace sims::echorange {

const char *trace_who(Context c)
{
    switch (c) {
    case Context::linux_side: return "linux";
    case Context::rt_thread: return "thread";
    case Context::interrupt: return "handler";
    }
    return "?";
}

void TraceRecorder::line(bench::Nanos t, const char *who, const char *event, const std::string &details)
{
    char head[64];
    if (details.empty())
        std::snprintf(head, sizeof head, "%s %-7s %s", format_time(t).c_str(), who, event);
    else
        std::snprintf(head, sizeof head, "%s %-7s %-7s ", format_time(t).c_str(), who, event);
    out_ << head << details << '\n';
}

void TraceRecorder::port_write(bench::Nanos t, Context who, unsigned port, unsigned value, unsigned bits)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "0x%03x <- 0x%0*x (%u-bit)", port, static_cast<int>(bits / 4), value, bits);
    line(t, trace_who(who), "out", buf);
}

void TraceRecorder::platform_call(bench::Nanos t, Context who, const std::string &call)
{
    line(t, trace_who(who), "call", call);
}

void TraceRecorder::irq(bench::Nanos t, unsigned irq, Irq what)
{
    static const char *const words[] = {"raised", "lowered", "masked", "unmasked", "delivered", "lost"};
    bool board = what == Irq::raised || what == Irq::lowered;
    line(t, board ? "board" : "pic", "irq", std::to_string(irq) + ' ' + words[static_cast<int>(what)]);
}

void TraceRecorder::fifo(bench::Nanos t, Context who, unsigned fifo, FifoOp op, const unsigned char *bytes,
                         std::size_t n)
{
    static const char *const ops[] = {"put", "get", "read", "write"};
    std::string d = std::string(ops[static_cast<int>(op)]) + ' ' + std::to_string(fifo) + ':';
    char buf[16];
    if (n % USS_VALUE_SIZE == 0) {
        for (std::size_t i = 0; i < n; i += USS_VALUE_SIZE)
            d += ' ' + std::to_string(uss_value_get(bytes + i));
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, " %02x", bytes[i]);
            d += buf;
        }
    }
    line(t, trace_who(who), "fifo", d);
}

void TraceRecorder::kernel_log(bench::Nanos t, Context who, const std::string &text)
{
    line(t, trace_who(who), "klog", text);
}

void TraceRecorder::loader(bench::Nanos t, const std::string &what)
{
    size_t sp = what.find(' ');
    line(t, "linux", what.substr(0, sp).c_str(), sp == std::string::npos ? "" : what.substr(sp + 1));
}

void TraceRecorder::thread(bench::Nanos t, int thread, ThreadState state)
{
    line(t, "thread", "run", "thread " + std::to_string(thread) + ' ' + thread_state_word(state));
}

void TraceRecorder::overrun(bench::Nanos t, int thread, bench::Nanos release)
{
    line(t, "thread", "overrun", "thread " + std::to_string(thread) + " release " + format_time(release));
}

}  // namespace sims::echorange
