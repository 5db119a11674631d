// The emulated lab PC: its assembly, contexts, preemption and time (see
// machine.h).  The services are in kernel/.
#include "rtlinux/kernel/rtl_thread.h"
#include "rtlinux/abi/machine_binding.h"

#include "rtlinux/kernel/linux_errno.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace rtlsim {

using namespace lx;

const char *context_name(Context c)
{
    switch (c) {
    case Context::linux_side: return "Linux side";
    case Context::rt_thread: return "real-time thread";
    case Context::interrupt: return "interrupt handler";
    }
    return "?";
}

// ---------------------------------------------------------------- assembly

Machine::Machine() : linux_(std::make_unique<LinuxContext>())
{
    // The module's port writes are kernel code: no I/O permission check,
    // and the time they take is the platform call's.
    pc_.bus().set_kernel_mode(true);
    pc_.bus().set_access_cost(0);
    auto to_violations = [this](const std::string &what) { complaint(what); };
    pc_.board().set_complaint_sink(to_violations);
    irqs_.set_complaint_sink(to_violations);
    fifos_.set_complaint_sink(to_violations);
    irqs_.set_event_sink([this](unsigned irq, MachineObserver::Irq what) {
        if (obs_)
            obs_->irq(pc_.clock().now(), irq, what);
    });
}

void Machine::set_observer(MachineObserver *observer)
{
    obs_ = observer;
}

Machine::~Machine()
{
    // The Linux processes end first: their FIFOs close, and the module can
    // go.
    while (!writes_.empty())
        linux_exit(writes_.front().pid);
    for (unsigned i = 0; i < kFifoCount; ++i)
        while (fifos_.at(i).open_count > 0)
            linux_exit(fifos_.at(i).opener);
    if (dl_)
        rmmod();
    for (auto &t : threads_)
        release_thread(t.get());
    threads_.clear();
}

std::string Machine::default_module_path()
{
#ifdef RTLSIM_DEFAULT_MODULE
    return RTLSIM_DEFAULT_MODULE;
#else
    return "echorange.so";
#endif
}

void Machine::violation(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    violations_.push_back(buf);
}

// ---------------------------------------------------------------- contexts and time

// Every platform call starts here: the call takes its (simulated) time,
// whatever fell due meanwhile is noticed, and a higher context that is ready
// gets the processor before the call goes on.
void Machine::platform_call(const char *name, bool switch_point)
{
    if (hook_ && hook_depth_ == 0) {
        ++hook_depth_;
        hook_(name);
        --hook_depth_;
    }
    if (call_cost_ > 0)
        pc_.clock().advance(call_cost_);
    if (ctx_ == Context::rt_thread && running_ && pc_.clock().now() > end_)
        hold_at_end(running_);
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
        if (!if_on_ || ctx_ == Context::interrupt)
            return;
        bool delivered = false;
        for (unsigned irq = 0; irq < kIrqCount && irqs_.any_pending(); ++irq) {
            if (irqs_.pending(irq)) {
                deliver_irq(irq);
                delivered = true;
            }
        }
        if (delivered)
            continue;
        if (ctx_ != Context::linux_side)
            return;
        rtl_thread_struct *next = nullptr;
        for (auto &t : threads_) {
            if (t->state == ThreadState::ready && !t->held &&
                (!next || t->info.priority > next->info.priority))
                next = t.get();
        }
        if (!next)
            return;
        switch_to(next);
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
    Context saved = ctx_;
    ctx_ = Context::interrupt;
    if_on_ = false;
    ++irq_delivered_;
    if (obs_)
        obs_->irq(pc_.clock().now(), irq, MachineObserver::Irq::delivered);
    {
        MachineBinding bound(*this);
        handler(irq, nullptr);
    }
    irqs_.line(irq).serviced();
    // A handler runs with interrupts masked; its return unmasks them.
    ctx_ = saved;
    if_on_ = true;
}

void Machine::run_until(hrtime until)
{
    if (ctx_ != Context::linux_side || running_) {
        violation("run_until from inside the %s", context_name(ctx_));
        return;
    }
    for (;;) {
        collect_due();
        preempt();
        drain_reader();
        resume_writers();
        hrtime next = pc_.events().next_due();
        if (next > until)
            break;
        pc_.clock().advance_to(next);
    }
    pc_.clock().advance_to(until);
}

void Machine::set_end(hrtime end)
{
    end_ = end;
    if (end > pc_.clock().now())
        for (auto &t : threads_)
            t->held = false;
}

bool Machine::thread_stopped_at_end() const
{
    return std::any_of(threads_.begin(), threads_.end(), [](const auto &t) { return t->held; });
}

// The running thread has passed the end of the run inside its work: it
// stops here, ready, as if the Linux side had got the processor, and goes
// on from here if the end moves on.  Its interrupt flag is its own: the
// Linux side gets the processor with interrupts on.
void Machine::hold_at_end(rtl_thread_struct *thread)
{
    bool flag = if_on_;
    thread->held = true;
    thread->state = ThreadState::ready;
    if_on_ = true;
    switch_to_linux(thread);
    if_on_ = flag;
}

hrtime Machine::clock()
{
    platform_call("gethrtime");
    return pc_.clock().now();
}

int Machine::vlog(const char *fmt, va_list ap)
{
    platform_call("printk");
    size_t before = klog_.text().size();
    int n = klog_.vprint(fmt, ap);
    if (obs_) {
        // Whole lines as they are completed; a line's start may have come
        // with an earlier printk.
        const std::string &text = klog_.text();
        size_t start = text.rfind('\n', before == 0 ? 0 : before - 1);
        start = start == std::string::npos || before == 0 ? 0 : start + 1;
        for (size_t nl; (nl = text.find('\n', std::max(start, before))) != std::string::npos; start = nl + 1)
            obs_->kernel_log(pc_.clock().now(), ctx_, text.substr(start, nl - start));
    }
    return n;
}

// ---------------------------------------------------------------- interrupts

int Machine::irq_request(unsigned irq, api::IrqHandler handler)
{
    platform_call("rtl_request_global_irq");
    return irqs_.request(irq, handler);
}

int Machine::irq_free(unsigned irq)
{
    platform_call("rtl_free_global_irq");
    return irqs_.free(irq);
}

void Machine::irq_enable(unsigned irq)
{
    platform_call("rtl_hard_enable_irq");
    irqs_.enable(irq);
}

void Machine::irq_disable(unsigned irq)
{
    platform_call("rtl_hard_disable_irq");
    irqs_.disable(irq);
}

unsigned long Machine::irq_save()
{
    platform_call("rtl_no_interrupts");
    unsigned long flags = if_on_ ? 1 : 0;
    if_on_ = false;
    return flags;
}

void Machine::irq_restore(unsigned long flags)
{
    if_on_ = flags != 0;
    platform_call("rtl_restore_interrupts");
}

// ---------------------------------------------------------------- I/O regions and ports

int Machine::region_check(unsigned long start, unsigned long n)
{
    platform_call("check_region");
    return regions_.taken(start, n) ? -kEbusy : 0;
}

void *Machine::region_request(unsigned long start, unsigned long n, const char *name)
{
    platform_call("request_region");
    return regions_.request(start, n, name);
}

void Machine::region_release(unsigned long start, unsigned long n)
{
    platform_call("release_region");
    if (!regions_.release(start, n))
        violation("release_region(0x%lx, %lu): no such region registered", start, n);
}

// outb from the module: a cycle on the bus.  A port that a device decodes is
// the module's only while it holds the I/O region over it.
void Machine::port_out(unsigned port, unsigned value)
{
    platform_call("outb");
    if (port_log_on_)
        port_log_.push_back(PortWrite{pc_.clock().now(), port, value, ctx_});
    if (obs_)
        obs_->port_write(pc_.clock().now(), ctx_, port, value & 0xff, 8);
    auto p = static_cast<std::uint16_t>(port);
    if (port < 0x10000 && pc_.bus().device_at(p) && !regions_.held_by_module(port)) {
        const bench::Mapping *window = pc_.bus().window_at(p);
        violation("outb(0x%02x, 0x%x) from the %s without the I/O region 0x%x-0x%x held", value, port,
                  context_name(ctx_), static_cast<unsigned>(window->first), window->first + window->count - 1);
    }
    pc_.bus().out8(static_cast<std::uint16_t>(port), static_cast<std::uint8_t>(value));
}

// ---------------------------------------------------------------- FIFOs

int Machine::fifo_create(unsigned fifo, int size, const struct module *creator)
{
    platform_call("rtf_create");
    return fifos_.create(fifo, size, creator);
}

int Machine::fifo_destroy(unsigned fifo)
{
    platform_call("rtf_destroy");
    return fifos_.destroy(fifo);
}

int Machine::fifo_set_handler(unsigned fifo, api::FifoHandler handler)
{
    platform_call("rtf_create_handler");
    return fifos_.set_handler(fifo, handler);
}

int Machine::fifo_get(unsigned fifo, void *buf, int count)
{
    platform_call("rtf_get");
    int got = fifos_.get(fifo, buf, count);
    if (obs_ && got > 0)
        obs_->fifo(pc_.clock().now(), ctx_, fifo, MachineObserver::FifoOp::get, static_cast<unsigned char *>(buf),
                   static_cast<size_t>(got));
    return got;
}

int Machine::fifo_put(unsigned fifo, const void *buf, int count)
{
    platform_call("rtf_put");
    int put = fifos_.put(fifo, buf, count, context_name(ctx_));
    if (obs_ && put > 0)
        obs_->fifo(pc_.clock().now(), ctx_, fifo, MachineObserver::FifoOp::put, static_cast<const unsigned char *>(buf),
                   static_cast<size_t>(put));
    return put;
}

}  // namespace rtlsim
