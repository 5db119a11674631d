#include "sims/psload/cable_waveform.h"

#include <cerrno>
#include <cstdlib>

namespace bench {

namespace {

bool parse_end(const std::string &text, std::uint64_t &out)
{
    if (text.empty())
        return true;
    if (text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19)
        return false;
    out = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

} // namespace

bool parse_wave_window(const std::string &text, WaveWindow &window)
{
    WaveWindow w;
    std::string rest = text;
    if (rest.rfind("bits:", 0) == 0) {
        w.in_bits = true;
        rest = rest.substr(5);
    }
    std::size_t colon = rest.find(':');
    if (colon == std::string::npos || !parse_end(rest.substr(0, colon), w.from) ||
        !parse_end(rest.substr(colon + 1), w.to) || w.to < w.from)
        return false;
    window = w;
    return true;
}

CableWaveform::Register CableWaveform::declare(const char *name, std::uint8_t initial, RegisterWires how)
{
    Register r;
    if (how == RegisterWires::Vectors) {
        r.vector = vcd_.wire("port", name, 8, initial);
    } else {
        for (int b = 0; b < 8; ++b)
            r.bit[b] = vcd_.wire("port", name + std::to_string(b), 1, (initial >> b) & 1u);
    }
    return r;
}

void CableWaveform::set(const Register &r, std::uint8_t value, std::uint64_t t)
{
    if (r.vector >= 0) {
        vcd_.set(r.vector, value, t);
        return;
    }
    for (int b = 0; b < 8; ++b)
        vcd_.set(r.bit[b], (value >> b) & 1u, t);
}

CableWaveform::CableWaveform(FpgaBench &bench, int fd, const WaveWindow &window, RegisterWires registers)
    : bench_(bench),
      whole_us_(bench.config().port_access_ns % kMicrosecond == 0 && bench.config().delay_write_ns % kMicrosecond == 0),
      window_(window), vcd_(fd, whole_us_ ? "1us" : "1ns", "labtools psload-sim")
{
    // The lines as the port powers up; the first sample shows them as they
    // are when psload begins.
    nconfig_ = vcd_.wire("cable", "nCONFIG", 1, 1);
    nstatus_ = vcd_.wire("cable", "nSTATUS", 1, 1);
    dclk_ = vcd_.wire("cable", "DCLK", 1, 1);
    data0_ = vcd_.wire("cable", "DATA0", 1, 0);
    conf_done_ = vcd_.wire("cable", "CONF_DONE", 1, 1);
    data_reg_ = declare("data", bench.port().data_register(), registers);
    status_reg_ = declare("status", 0x7F, registers);
    control_reg_ = declare("control", bench.port().control_register(), registers);
}

void CableWaveform::sample(Nanos when)
{
    if (vcd_.stopped())
        return;
    const std::uint64_t t = stamp(when);
    ParallelPort &port = bench_.port();
    const PortOutputs out = port.outputs();
    const std::uint8_t status = port.status_register(static_cast<Micros>(when / kMicrosecond));
    vcd_.set(nconfig_, out.init, t);
    vcd_.set(dclk_, out.strobe, t);
    vcd_.set(data0_, out.data & 1u, t);
    vcd_.set(nstatus_, (status & 0x80) == 0, t);  // BUSY reads inverted
    vcd_.set(conf_done_, (status & 0x20) != 0, t);
    set(data_reg_, port.data_register(), t);
    set(status_reg_, status, t);
    set(control_reg_, port.control_register(), t);

    // A window in microseconds, whatever the file's unit.
    const std::uint64_t where =
        window_.in_bits ? bench_.fpga().bits_received() : static_cast<std::uint64_t>(when / kMicrosecond);
    if (!vcd_.recording() && where >= window_.from && where <= window_.to)
        vcd_.start(t);
    else if (vcd_.recording() && where > window_.to)
        vcd_.stop(t);
}

void CableWaveform::finish(Nanos when)
{
    const std::uint64_t t = stamp(when);
    if (!vcd_.recording() && !vcd_.stopped())
        vcd_.start(t);  // the window was never reached: the end state alone
    vcd_.stop(t);
    vcd_.flush();
}

} // namespace bench
