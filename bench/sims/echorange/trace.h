// echorange-sim --trace=FILE: one line per event on the emulated lab PC, in
// simulated time, for grep and diff.  The format (also in
// man/echorange-sim.1):
//
//   SECONDS WHO EVENT DETAILS
//
// SECONDS has nine decimals; WHO is who did it: linux (the Linux side: the
// loader, a process, the module's init/cleanup and FIFO handler), thread
// (the real-time thread), handler (the interrupt handler), board (the
// range-finder board's interrupt line), pic (the interrupt controller).
// WHO and EVENT are padded to fixed widths.  EVENT and DETAILS:
//
//   insmod   PATH, and when it returns: insmod = RESULT [(loader error)]
//   rmmod    (empty), and when it returns: rmmod = RESULT [(loader error)]
//   modinfo  ITEM                 each module information item at insmod
//   call     NAME(ARGS) = RESULT  a platform call, when it returns
//   out      PORT <- VALUE (BITS-bit)   a port write (hex)
//   irq      N raised|lowered     the board's line          (board)
//   irq      N masked|unmasked|delivered|lost               (pic)
//   fifo     put|get|read|write N: VALUES   bytes on FIFO N, as 32-bit
//            little-endian integers when whole words, else hex bytes
//   klog     TEXT                 a kernel-log line
//   run      thread N running|waiting|ready|suspended|gone
//   overrun  thread N release SECONDS   its wait found that release past
//
// A call's line comes when it returns, so whatever ran while it waited or
// was preempted (an interrupt during outb, the thread's whole period
// during pthread_wait_np) is listed before it.
#ifndef SIMS_ECHORANGE_TRACE_H
#define SIMS_ECHORANGE_TRACE_H

#include <iosfwd>

#include "rtlinux/observer.h"

namespace sims::echorange {

using rtlsim::Context;
using rtlsim::MachineObserver;
using rtlsim::ThreadState;

class TraceRecorder : public MachineObserver {
public:
    explicit TraceRecorder(std::ostream &out) : out_(out) {}

    void port_write(bench::Nanos t, Context who, unsigned port, unsigned value, unsigned bits) override;
    void platform_call(bench::Nanos t, Context who, const std::string &call) override;
    void irq(bench::Nanos t, unsigned irq, Irq what) override;
    void fifo(bench::Nanos t, Context who, unsigned fifo, FifoOp op, const unsigned char *bytes,
              std::size_t n) override;
    void kernel_log(bench::Nanos t, Context who, const std::string &line) override;
    void loader(bench::Nanos t, const std::string &what) override;
    void thread(bench::Nanos t, int thread, ThreadState state) override;
    void overrun(bench::Nanos t, int thread, bench::Nanos release) override;

private:
    void line(bench::Nanos t, const char *who, const char *event, const std::string &details);
    std::ostream &out_;
};

// "linux", "thread", "handler".
const char *trace_who(Context c);

}  // namespace sims::echorange

#endif
