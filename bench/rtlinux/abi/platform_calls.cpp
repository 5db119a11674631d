// The calls from the platform's C entry points (platform.cpp) to the bound
// platform operations (platform_binding.h).  Each call the module makes is told to the machine's
// observer when it returns, as "name(arguments) = result" in the module's
// own terms (handlers by their symbol names, threads by number).  Port
// writes and kernel-log lines are told by the machine itself, as such.
#include "rtlinux/abi/platform_binding.h"
#include "rtlinux/abi/platform_ops.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>

namespace rtlsim {

namespace {

PlatformOps *bound = nullptr;

PlatformOps &machine()
{
    if (!bound) {
        std::fprintf(stderr, "rtlsim: platform call with no machine bound\n");
        std::abort();
    }
    return *bound;
}

struct Call {
    PlatformOps &m = machine();
    Context who = m.context();

    // Most runs have no observer, and the module makes millions of calls:
    // a call to a C variadic function (never inlined) for each costs more
    // than many of the calls themselves.  So the test comes first, inline,
    // and the line is formatted only for an observer.
    template <typename... Args>
    void told(const char *fmt, Args... args)
    {
        if (m.observer())
            tell(fmt, args...);
    }

    void tell(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char buf[256];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        m.observer()->platform_call(m.now(), who, buf);
    }
};

// A function of the module by its symbol name (addresses differ from run
// to run; names do not).
std::string symbol(const void *fn)
{
    Dl_info info;
    if (fn && dladdr(fn, &info) && info.dli_sname && info.dli_saddr == fn)
        return info.dli_sname;
    return fn ? "(function)" : "NULL";
}

const char *thread_name(const rtl_thread_struct *t)
{
    return t ? "thread" : "NULL";
}

}  // namespace

PlatformOps *bound_platform()
{
    return bound;
}

void bind_platform(PlatformOps *ops)
{
    bound = ops;
}

namespace api {

int vlog(const char *fmt, va_list ap)
{
    Call c;
    int n = c.m.vlog(fmt, ap);
    c.told("printk(...) = %d", n);
    return n;
}
int region_check(unsigned long s, unsigned long n)
{
    Call c;
    int rc = c.m.region_check(s, n);
    c.told("check_region(0x%lx, %lu) = %d", s, n, rc);
    return rc;
}
void *region_request(unsigned long s, unsigned long n, const char *name)
{
    Call c;
    void *r = c.m.region_request(s, n, name);
    c.told("request_region(0x%lx, %lu, \"%s\") = %s", s, n, name ? name : "(null)", r ? "ok" : "NULL");
    return r;
}
void region_release(unsigned long s, unsigned long n)
{
    Call c;
    c.m.region_release(s, n);
    c.told("release_region(0x%lx, %lu)", s, n);
}
void port_out(unsigned port, unsigned value) { machine().port_out(port, value); }
int fifo_create(unsigned fifo, int size, const struct module *owner)
{
    Call c;
    int rc = c.m.fifo_create(fifo, size, owner);
    c.told("rtf_create(%u, %d) = %d", fifo, size, rc);
    return rc;
}
int fifo_destroy(unsigned fifo)
{
    Call c;
    int rc = c.m.fifo_destroy(fifo);
    c.told("rtf_destroy(%u) = %d", fifo, rc);
    return rc;
}
int fifo_set_handler(unsigned fifo, FifoHandler h)
{
    Call c;
    int rc = c.m.fifo_set_handler(fifo, h);
    c.told("rtf_create_handler(%u, %s) = %d", fifo, symbol(reinterpret_cast<const void *>(h)).c_str(), rc);
    return rc;
}
int fifo_get(unsigned fifo, void *buf, int count)
{
    Call c;
    int rc = c.m.fifo_get(fifo, buf, count);
    c.told("rtf_get(%u, buf, %d) = %d", fifo, count, rc);
    return rc;
}
int fifo_put(unsigned fifo, const void *buf, int count)
{
    Call c;
    int rc = c.m.fifo_put(fifo, buf, count);
    c.told("rtf_put(%u, buf, %d) = %d", fifo, count, rc);
    return rc;
}
int irq_request(unsigned irq, IrqHandler h)
{
    Call c;
    int rc = c.m.irq_request(irq, h);
    c.told("rtl_request_global_irq(%u, %s) = %d", irq, symbol(reinterpret_cast<const void *>(h)).c_str(), rc);
    return rc;
}
int irq_free(unsigned irq)
{
    Call c;
    int rc = c.m.irq_free(irq);
    c.told("rtl_free_global_irq(%u) = %d", irq, rc);
    return rc;
}
void irq_enable(unsigned irq)
{
    Call c;
    c.m.irq_enable(irq);
    c.told("rtl_hard_enable_irq(%u)", irq);
}
void irq_disable(unsigned irq)
{
    Call c;
    c.m.irq_disable(irq);
    c.told("rtl_hard_disable_irq(%u)", irq);
}
unsigned long irq_save()
{
    Call c;
    unsigned long flags = c.m.irq_save();
    c.told("rtl_no_interrupts() = %lu", flags);
    return flags;
}
void irq_restore(unsigned long flags)
{
    Call c;
    c.m.irq_restore(flags);
    c.told("rtl_restore_interrupts(%lu)", flags);
}
long long clock()
{
    Call c;
    long long t = c.m.clock();
    c.told("gethrtime() = %lld", t);
    return t;
}
int thread_create(rtl_thread_struct **handle, int stack_size, int use_fp, int priority, int cpu,
                  ThreadBody body, void *arg, const struct module *)
{
    Call c;
    int rc = c.m.thread_create(handle, ThreadInfo{stack_size, use_fp, priority, cpu}, body, arg);
    c.told("pthread_create(stack_size %d, use_fp %d, priority %d, cpu %d, %s, %s) = %d", stack_size, use_fp,
           priority, cpu, symbol(reinterpret_cast<const void *>(body)).c_str(), arg ? "arg" : "NULL", rc);
    return rc;
}
int thread_make_periodic(rtl_thread_struct *t, long long start, long long period)
{
    Call c;
    int rc = c.m.thread_make_periodic(t, start, period);
    c.told("pthread_make_periodic_np(%s, %lld, %lld) = %d", thread_name(t), start, period, rc);
    return rc;
}
int thread_wakeup(rtl_thread_struct *t)
{
    Call c;
    int rc = c.m.thread_wakeup(t);
    c.told("pthread_wakeup_np(%s) = %d", thread_name(t), rc);
    return rc;
}
int thread_suspend(rtl_thread_struct *t)
{
    Call c;
    int rc = c.m.thread_suspend(t);
    c.told("pthread_suspend_np(%s) = %d", thread_name(t), rc);
    return rc;
}
int thread_wait()
{
    Call c;
    int rc = c.m.thread_wait();
    c.told("pthread_wait_np() = %d", rc);
    return rc;
}
int thread_delete(rtl_thread_struct *t)
{
    Call c;
    const char *name = thread_name(t);
    int rc = c.m.thread_delete(t);
    c.told("pthread_delete_np(%s) = %d", name, rc);
    return rc;
}

}  // namespace api

}  // namespace rtlsim
