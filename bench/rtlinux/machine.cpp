// The emulated lab PC: its assembly, contexts, preemption and time (see
// machine.h).  The services are in kernel/, the platform operations in
// platform_ops.cpp, the loader in module_loader.cpp.
#include "rtlinux/machine.h"
#include "rtlinux/abi/platform_binding.h"
#include "rtlinux/kernel/rtl_thread.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace rtlsim {

// ---------------------------------------------------------------- assembly

std::string default_module_path()
{
#ifdef RTLSIM_DEFAULT_MODULE
    return RTLSIM_DEFAULT_MODULE;
#else
    return "echorange.so";
#endif
}

PlatformBinding::PlatformBinding(Machine &machine) : PlatformBinding(machine.ops()) {}

Machine::Machine()
{
    set_views(&cpu_.ctx, &cpu_.obs, &pc_.clock());
    // The module's port writes are kernel code: no I/O permission check,
    // and the time they take is the platform call's.
    pc_.bus().set_kernel_mode(true);
    pc_.bus().set_access_cost(0);
    auto to_violations = [this](const std::string &what) { cpu_.violations.push_back(what); };
    pc_.board().set_complaint_sink(to_violations);
    irqs_.set_complaint_sink(to_violations);
    fifos_.set_complaint_sink(to_violations);
    irqs_.set_event_sink([this](unsigned irq, MachineObserver::Irq what) {
        if (cpu_.obs)
            cpu_.obs->irq(pc_.clock().now(), irq, what);
    });
}

Machine::~Machine()
{
    // The Linux processes end first: their FIFOs close, and the module can
    // go.
    procs_.exit_all();
    if (dl_)
        rmmod();
    sched_.remove_all();
}

void Processor::violation(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    violations.push_back(buf);
}

// ---------------------------------------------------------------- contexts and time

// Every platform call starts here: the call takes its (simulated) time,
// whatever fell due meanwhile is noticed, and a higher context that is ready
// gets the processor before the call goes on.
void Machine::platform_call(const char *name, bool switch_point)
{
    if (hook_ && cpu_.hook_depth == 0) {
        ++cpu_.hook_depth;
        hook_(name);
        --cpu_.hook_depth;
    }
    if (call_cost_ > 0)
        pc_.clock().advance(call_cost_);
    if (cpu_.ctx == Context::rt_thread && sched_.running() && pc_.clock().now() > sched_.end())
        sched_.hold_running_at_end();
    if (switch_point) {
        collect_due();
        preempt();
    }
}

// Echoes that reached the board raise its line; threads whose release came
// are ready.
void Machine::collect_due()
{
    pc_.events().run_due(pc_.clock().now());
}

// Interrupts first (they preempt everything), then, from the Linux side
// only, real-time threads.  Nothing switches while the interrupt flag is
// masked or inside a handler.
void Machine::preempt()
{
    for (;;) {
        if (!cpu_.if_on || cpu_.ctx == Context::interrupt)
            return;
        bool delivered = false;
        for (unsigned irq = 0; irq < InterruptController::kIrqCount && irqs_.any_pending(); ++irq) {
            if (irqs_.pending(irq)) {
                deliver_irq(irq);
                delivered = true;
            }
        }
        if (delivered)
            continue;
        if (cpu_.ctx != Context::linux_side)
            return;
        rtl_thread_struct *next = sched_.ready_thread();
        if (!next)
            return;
        sched_.switch_to(next);
        collect_due();
    }
}

// The handler runs in the interrupt context with interrupts masked; when it
// returns, the line is told (the board checks its acknowledgement then).
void Machine::deliver_irq(unsigned irq)
{
    api::IrqHandler handler = irqs_.take(irq);
    if (!handler)
        return;
    Context saved = cpu_.ctx;
    cpu_.ctx = Context::interrupt;
    cpu_.if_on = false;
    if (cpu_.obs)
        cpu_.obs->irq(pc_.clock().now(), irq, MachineObserver::Irq::delivered);
    {
        PlatformBinding bound(ops());
        handler(irq, nullptr);
    }
    irqs_.line(irq).serviced();
    // A handler runs with interrupts masked; its return unmasks them.
    cpu_.ctx = saved;
    cpu_.if_on = true;
}

void Machine::run_until(hrtime until)
{
    if (cpu_.ctx != Context::linux_side || sched_.running()) {
        cpu_.violation("run_until from inside the %s", context_name(cpu_.ctx));
        return;
    }
    for (;;) {
        collect_due();
        preempt();
        procs_.run();
        hrtime next = pc_.events().next_due();
        if (next > until)
            break;
        pc_.clock().advance_to(next);
    }
    pc_.clock().advance_to(until);
}

void Machine::linux_entry_done(const char *what)
{
    if (!cpu_.if_on) {
        cpu_.violation("%s returned to Linux with interrupts masked", what);
        cpu_.if_on = true;
    }
    collect_due();
    preempt();
}

}  // namespace rtlsim

