// The calls from the platform's C entry points (platform.cpp) to the one
// emulated machine.
#include "rtlinux/machine.h"

namespace rtlsim {

namespace api {

int vlog(const char *fmt, va_list ap) { return Machine::current().vlog(fmt, ap); }
int region_check(unsigned long s, unsigned long n) { return Machine::current().region_check(s, n); }
void *region_request(unsigned long s, unsigned long n, const char *name)
{
    return Machine::current().region_request(s, n, name);
}
void region_release(unsigned long s, unsigned long n) { Machine::current().region_release(s, n); }
void port_out(unsigned port, unsigned value) { Machine::current().port_out(port, value); }
int fifo_create(unsigned fifo, int size, const struct module *owner)
{
    return Machine::current().fifo_create(fifo, size, owner);
}
int fifo_destroy(unsigned fifo) { return Machine::current().fifo_destroy(fifo); }
int fifo_set_handler(unsigned fifo, FifoHandler h) { return Machine::current().fifo_set_handler(fifo, h); }
int fifo_get(unsigned fifo, void *buf, int count) { return Machine::current().fifo_get(fifo, buf, count); }
int fifo_put(unsigned fifo, const void *buf, int count)
{
    return Machine::current().fifo_put(fifo, buf, count);
}
int irq_request(unsigned irq, IrqHandler h) { return Machine::current().irq_request(irq, h); }
int irq_free(unsigned irq) { return Machine::current().irq_free(irq); }
void irq_enable(unsigned irq) { Machine::current().irq_enable(irq); }
void irq_disable(unsigned irq) { Machine::current().irq_disable(irq); }
unsigned long irq_save() { return Machine::current().irq_save(); }
void irq_restore(unsigned long flags) { Machine::current().irq_restore(flags); }
long long clock() { return Machine::current().clock(); }
int thread_create(rtl_thread_struct **handle, int stack_size, int use_fp, int priority, int cpu,
                  ThreadBody body, void *arg, const struct module *)
{
    return Machine::current().thread_create(handle, ThreadInfo{stack_size, use_fp, priority, cpu},
                                            body, arg);
}
int thread_make_periodic(rtl_thread_struct *t, long long start, long long period)
{
    return Machine::current().thread_make_periodic(t, start, period);
}
int thread_wakeup(rtl_thread_struct *t) { return Machine::current().thread_wakeup(t); }
int thread_suspend(rtl_thread_struct *t) { return Machine::current().thread_suspend(t); }
int thread_wait() { return Machine::current().thread_wait(); }
int thread_delete(rtl_thread_struct *t) { return Machine::current().thread_delete(t); }

}  // namespace api

}  // namespace rtlsim

