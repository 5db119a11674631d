// echorange-sim --vcd=FILE: the ranging on a timeline, as a Value Change
// Dump (IEEE 1364) on the simulated nanosecond time base ($timescale 1ns),
// for a waveform viewer (GTKWave) or a logic analyser's software (sigrok,
// PulseView).  Signals, in scope "echorange":
//
//   port_132, port_130   the last byte the module wrote to the board's
//                        control and channel ports (8-bit vectors)
//   wr_132, wr_130       one-nanosecond strobes, one per write (a write of
//                        the value already there shows too)
//   irq11                the board's interrupt line
//   irq11_enabled        IRQ 11 unmasked at the interrupt controller
//   irq11_delivered      a strobe each time the handler is called
//   thread               the ranging thread running (1) or not
//   fifo2                the last value put on FIFO 2 (32-bit vector)
//   fifo2_put            a strobe per put on FIFO 2
//
// Many things happen at the same simulated nanosecond (platform calls take
// no time unless the scenario gives them a cost).  So that a pulse is seen,
// a one-bit signal that would go back within the nanosecond it changed in
// goes back one nanosecond later, and strobes are one nanosecond wide
// (two writes to one port within the same nanosecond show as one strobe).
//
// With one-bit registers (--vcd-bits) each vector is written as one-bit
// wires instead (port_132_0 .. port_132_7, fifo2_0 .. fifo2_31): the VCD
// reader of libsigrok 0.5 takes one-bit signals only.
#ifndef SIMS_ECHORANGE_RANGING_WAVEFORM_H
#define SIMS_ECHORANGE_RANGING_WAVEFORM_H

#include <memory>
#include <vector>

#include "rtlinux/observer.h"
#include "sims/common/vcd_writer.h"

namespace sims::echorange {

using rtlsim::Context;
using rtlsim::MachineObserver;
using rtlsim::ThreadState;

class RangingWaveform : public MachineObserver {
public:
    // Writes to fd (which stays the caller's).
    RangingWaveform(int fd, bool one_bit_registers);
    ~RangingWaveform() override;

    void port_write(bench::Nanos t, Context who, unsigned port, unsigned value, unsigned bits) override;
    void irq(bench::Nanos t, unsigned irq, Irq what) override;
    void fifo(bench::Nanos t, Context who, unsigned fifo, FifoOp op, const unsigned char *bytes,
              std::size_t n) override;
    void thread(bench::Nanos t, int thread, ThreadState state) override;

    // The end of the run: writes what is left.
    void finish(bench::Nanos t);
    // errno of the first failed write to the file, or 0.
    int write_error() const { return vcd_.error(); }

private:
    // A value as one vector or as one wire per bit.
    struct Value {
        std::vector<int> signals;  // one vector, or bit 0 first
        unsigned width;
    };
    Value declare(const char *name, unsigned width, bool bits);
    void value(const Value &v, std::uint64_t x, bench::Nanos t);
    // A one-bit signal's level; a change back within the nanosecond of the
    // last one is put one nanosecond later.
    void level(int signal, bool high, bench::Nanos t);
    void strobe(int signal, bench::Nanos t);
    // Applies the changes put off to before t.
    void catch_up(bench::Nanos t);

    struct Wire {
        bool level = false;
        bench::Nanos changed = -1;
        bool deferred = false;
        bool deferred_level = false;
    };

    bench::VcdWriter vcd_;
    Value port_132_, port_130_, fifo2_;
    int wr_132_, wr_130_, irq11_, enabled_, delivered_, thread_, put_;
    std::vector<Wire> wires_;  // by signal handle
    bench::Nanos now_ = 0;
    bool started_ = false;
};

}  // namespace sims::echorange

#endif
