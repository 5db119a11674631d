// The processor as the kernel's parts share it: which context runs, the
// interrupt flag, the one clock and event queue, who is told what happens,
// and the record of what the module did wrong.  The machine owns it and
// runs the contexts; the scheduler and the Linux processes change it.
#ifndef RTLSIM_KERNEL_PROCESSOR_H
#define RTLSIM_KERNEL_PROCESSOR_H

#include <string>
#include <vector>

#include "rtlinux/observer.h"
#include "time/event_queue.h"
#include "time/sim_clock.h"

namespace rtlsim {

using hrtime = bench::Nanos;
constexpr hrtime kNever = bench::kNever;

class PlatformOps;

// "Linux side", "real-time thread", "interrupt handler".
inline const char *context_name(Context c)
{
    switch (c) {
    case Context::linux_side: return "Linux side";
    case Context::rt_thread: return "real-time thread";
    case Context::interrupt: return "interrupt handler";
    }
    return "?";
}

class Processor {
public:
    Processor(bench::SimClock &clock, bench::EventQueue &events, PlatformOps &ops)
        : clock(clock), events(events), ops(ops)
    {
    }
    Processor(const Processor &) = delete;
    Processor &operator=(const Processor &) = delete;

    hrtime now() const { return clock.now(); }
    void violation(const char *fmt, ...) __attribute__((format(printf, 2, 3)));

    // The module's code has returned to the Linux side (init_module, a FIFO
    // handler, cleanup_module): interrupts must be on again, and whatever
    // fell due gets the processor.
    virtual void module_returned(const char *what) = 0;

    bench::SimClock &clock;
    bench::EventQueue &events;
    // What the module's code reaches while it runs (bound around each entry).
    PlatformOps &ops;
    Context ctx = Context::linux_side;
    bool if_on = true;  // the processor's interrupt flag
    MachineObserver *obs = nullptr;
    // Inside the call hook: the Linux side's work does not go on there.
    int hook_depth = 0;
    std::vector<std::string> violations;

protected:
    ~Processor() = default;
};

}  // namespace rtlsim

#endif
