// echorange-sim --vcd: the ranging's signals (see ranging_waveform.h).
#include "sims/echorange/ranging_waveform.h"

#include "boards/rangefinder_map.h"

#include <string>

#include "uss_records.h"

namespace sims::echorange {

namespace {
constexpr const char *kScope = "echorange";
}

RangingWaveform::RangingWaveform(int fd, bool bits) : vcd_(fd, "1ns", "labtools echorange-sim")
{
    port_132_ = declare("port_132", 8, bits);
    wr_132_ = vcd_.wire(kScope, "wr_132", 1);
    port_130_ = declare("port_130", 8, bits);
    wr_130_ = vcd_.wire(kScope, "wr_130", 1);
    irq11_ = vcd_.wire(kScope, "irq11", 1);
    enabled_ = vcd_.wire(kScope, "irq11_enabled", 1);
    delivered_ = vcd_.wire(kScope, "irq11_delivered", 1);
    thread_ = vcd_.wire(kScope, "thread", 1);
    fifo2_ = declare("fifo2", 32, bits);
    put_ = vcd_.wire(kScope, "fifo2_put", 1);
    wires_.resize(static_cast<size_t>(put_) + 1);
}

RangingWaveform::~RangingWaveform() = default;

RangingWaveform::Value RangingWaveform::declare(const char *name, unsigned width, bool bits)
{
    Value v{{}, width};
    if (!bits) {
        v.signals.push_back(vcd_.wire(kScope, name, width));
        return v;
    }
    for (unsigned b = 0; b < width; ++b)
        v.signals.push_back(vcd_.wire(kScope, std::string(name) + '_' + std::to_string(b), 1));
    return v;
}

void RangingWaveform::catch_up(bench::Nanos t)
{
    if (!started_) {
        vcd_.start(0);
        started_ = true;
    }
    // Deferred changes fall one nanosecond after the last; all before t.
    for (size_t s = 0; s < wires_.size(); ++s) {
        Wire &w = wires_[s];
        if (w.deferred && w.changed + 1 <= t) {
            w.deferred = false;
            w.level = w.deferred_level;
            w.changed += 1;
            vcd_.set(static_cast<int>(s), w.level, static_cast<std::uint64_t>(w.changed));
        }
    }
    if (t > now_)
        now_ = t;
}

void RangingWaveform::value(const Value &v, std::uint64_t x, bench::Nanos t)
{
    catch_up(t);
    if (v.signals.size() == 1) {
        vcd_.set(v.signals[0], x, static_cast<std::uint64_t>(t));
        return;
    }
    for (unsigned b = 0; b < v.width; ++b)
        vcd_.set(v.signals[b], (x >> b) & 1, static_cast<std::uint64_t>(t));
}

void RangingWaveform::level(int signal, bool high, bench::Nanos t)
{
    catch_up(t);
    Wire &w = wires_[static_cast<size_t>(signal)];
    if (w.deferred) {
        // Still within the nanosecond of the last change: the latest word
        // counts.
        w.deferred_level = high;
        if (high == w.level)
            w.deferred = false;
        return;
    }
    if (high == w.level)
        return;
    if (w.changed == t) {
        w.deferred = true;
        w.deferred_level = high;
        return;
    }
    w.level = high;
    w.changed = t;
    vcd_.set(signal, high, static_cast<std::uint64_t>(t));
}

void RangingWaveform::strobe(int signal, bench::Nanos t)
{
    level(signal, true, t);
    level(signal, false, t);
}

void RangingWaveform::port_write(bench::Nanos t, Context, unsigned port, unsigned value_, unsigned)
{
    if (port == bench::rangefinder_map::kControlPort) {
        value(port_132_, value_, t);
        strobe(wr_132_, t);
    } else if (port == bench::rangefinder_map::kChannelPort) {
        value(port_130_, value_, t);
        strobe(wr_130_, t);
    }
}

void RangingWaveform::irq(bench::Nanos t, unsigned irq, Irq what)
{
    if (irq != bench::rangefinder_map::kIrq)
        return;
    switch (what) {
    case Irq::raised: level(irq11_, true, t); break;
    case Irq::lowered: level(irq11_, false, t); break;
    case Irq::unmasked: level(enabled_, true, t); break;
    case Irq::masked: level(enabled_, false, t); break;
    case Irq::delivered: strobe(delivered_, t); break;
    case Irq::lost: break;
    }
}

void RangingWaveform::fifo(bench::Nanos t, Context, unsigned fifo, FifoOp op, const unsigned char *bytes,
                           std::size_t n)
{
    if (fifo != 2 || op != FifoOp::put)
        return;
    for (std::size_t i = 0; i + USS_VALUE_SIZE <= n; i += USS_VALUE_SIZE) {
        value(fifo2_, static_cast<std::uint32_t>(uss_value_get(bytes + i)), t);
        strobe(put_, t);
    }
}

void RangingWaveform::thread(bench::Nanos t, int, ThreadState state)
{
    level(thread_, state == ThreadState::running, t);
}

void RangingWaveform::finish(bench::Nanos t)
{
    bench::Nanos end = t < now_ + 1 ? now_ + 1 : t;
    catch_up(end);
    vcd_.stop(static_cast<std::uint64_t>(end));
    vcd_.flush();
}

}  // namespace sims::echorange
