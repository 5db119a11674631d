// The platform operations (abi/platform_ops.h): each of the module's calls
// takes its time at platform_call (machine.cpp), then does its work in the
// service it belongs to.
#include "rtlinux/machine.h"
#include "rtlinux/kernel/linux_errno.h"

#include <algorithm>
#include <cstdarg>

namespace rtlsim {

using namespace lx;

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
    if (cpu_.obs) {
        // Whole lines as they are completed; a line's start may have come
        // with an earlier printk.
        const std::string &text = klog_.text();
        size_t start = text.rfind('\n', before == 0 ? 0 : before - 1);
        start = start == std::string::npos || before == 0 ? 0 : start + 1;
        for (size_t nl; (nl = text.find('\n', std::max(start, before))) != std::string::npos; start = nl + 1)
            cpu_.obs->kernel_log(pc_.clock().now(), cpu_.ctx, text.substr(start, nl - start));
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
    unsigned long flags = cpu_.if_on ? 1 : 0;
    cpu_.if_on = false;
    return flags;
}

void Machine::irq_restore(unsigned long flags)
{
    cpu_.if_on = flags != 0;
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
        cpu_.violation("release_region(0x%lx, %lu): no such region registered", start, n);
}

// outb from the module: a cycle on the bus.  A port that a device decodes is
// the module's only while it holds the I/O region over it.
void Machine::port_out(unsigned port, unsigned value)
{
    platform_call("outb");
    if (port_log_on_)
        port_log_.push_back(PortWrite{pc_.clock().now(), port, value, cpu_.ctx});
    if (cpu_.obs)
        cpu_.obs->port_write(pc_.clock().now(), cpu_.ctx, port, value & 0xff, 8);
    auto p = static_cast<std::uint16_t>(port);
    if (port < 0x10000 && pc_.bus().device_at(p) && !regions_.held_by_module(port)) {
        const bench::Mapping *window = pc_.bus().window_at(p);
        cpu_.violation("outb(0x%02x, 0x%x) from the %s without the I/O region 0x%x-0x%x held", value, port,
                  context_name(cpu_.ctx), static_cast<unsigned>(window->first), window->first + window->count - 1);
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
    if (cpu_.obs && got > 0)
        cpu_.obs->fifo(pc_.clock().now(), cpu_.ctx, fifo, MachineObserver::FifoOp::get, static_cast<unsigned char *>(buf),
                   static_cast<size_t>(got));
    return got;
}

int Machine::fifo_put(unsigned fifo, const void *buf, int count)
{
    platform_call("rtf_put");
    int put = fifos_.put(fifo, buf, count, context_name(cpu_.ctx));
    if (cpu_.obs && put > 0)
        cpu_.obs->fifo(pc_.clock().now(), cpu_.ctx, fifo, MachineObserver::FifoOp::put, static_cast<const unsigned char *>(buf),
                   static_cast<size_t>(put));
    return put;
}

// ---------------------------------------------------------------- threads

int Machine::thread_create(rtl_thread_struct **handle, const ThreadInfo &info, api::ThreadBody body, void *arg)
{
    platform_call("pthread_create");
    int rc = sched_.create(handle, info, body, arg);
    if (rc == 0)
        preempt();  // it starts at once
    return rc;
}

int Machine::thread_make_periodic(rtl_thread_struct *thread, hrtime start, hrtime period)
{
    platform_call("pthread_make_periodic_np");
    return sched_.make_periodic(thread, start, period);
}

// The thread is let run by the wake-up itself: a series instant due at this
// same moment is not a second release.
int Machine::thread_wakeup(rtl_thread_struct *thread)
{
    platform_call("pthread_wakeup_np", false);
    int rc = sched_.wakeup(thread);
    if (rc == 0) {
        collect_due();
        preempt();
    }
    return rc;
}

int Machine::thread_suspend(rtl_thread_struct *thread)
{
    platform_call("pthread_suspend_np");
    return sched_.suspend(thread);
}

int Machine::thread_wait()
{
    platform_call("pthread_wait_np");
    return sched_.wait();
}

int Machine::thread_delete(rtl_thread_struct *thread)
{
    platform_call("pthread_delete_np");
    return sched_.remove(thread);
}

}  // namespace rtlsim
