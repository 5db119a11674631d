// The emulated kernel's exported symbols: the C entry points a module built
// against the platform headers (include/) links to, each forwarding to the
// emulated machine.  This file sees the platform headers exactly as a module
// does, so the argument types are the module's.
extern "C" {
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/errno.h>
#include <linux/ioport.h>
#include <asm/io.h>
#include <rtl.h>
#include <rtl_fifo.h>
#include <rtl_sched.h>
#include <rtl_sync.h>
#include <rtl_time.h>
}

#include "rtlinux/abi/platform_api.h"

namespace api = rtlsim::api;

extern "C" {

// The loader's record of the module being loaded; insmod names it after
// its object file (rtlsim::api::name_module).
struct module {
    const char *name;
};
static char module_name[64];
struct module __this_module = {module_name};

struct resource ioport_resource = {"PCI IO", 0x0000, 0xffff, 0, 0, 0, 0};

int printk(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = api::vlog(fmt, ap);
    va_end(ap);
    return n;
}

int __check_region(struct resource *, unsigned long start, unsigned long n)
{
    return api::region_check(start, n);
}

struct resource *__request_region(struct resource *, unsigned long start, unsigned long n,
                                  const char *name)
{
    return static_cast<struct resource *>(api::region_request(start, n, name));
}

void __release_region(struct resource *, unsigned long start, unsigned long n)
{
    api::region_release(start, n);
}

void rtlsim_outb(unsigned char value, unsigned short port)
{
    api::port_out(port, value);
}

rtl_irqstate_t rtlsim_irq_save(void)
{
    return api::irq_save();
}

void rtlsim_irq_restore(rtl_irqstate_t flags)
{
    api::irq_restore(flags);
}

int __rtf_create(unsigned int fifo, int size, struct module *owner)
{
    return api::fifo_create(fifo, size, owner);
}

int rtf_destroy(unsigned int fifo)
{
    return api::fifo_destroy(fifo);
}

int rtf_create_handler(unsigned int fifo, int (*handler)(unsigned int fifo))
{
    return api::fifo_set_handler(fifo, handler);
}

int rtf_get(unsigned int fifo, void *buf, int count)
{
    return api::fifo_get(fifo, buf, count);
}

int rtf_put(unsigned int fifo, void *buf, int count)
{
    return api::fifo_put(fifo, buf, count);
}

int rtl_request_global_irq(unsigned int irq,
                           unsigned int (*handler)(unsigned int irq, struct pt_regs *regs))
{
    return api::irq_request(irq, handler);
}

int rtl_free_global_irq(unsigned int irq)
{
    return api::irq_free(irq);
}

void rtl_hard_enable_irq(unsigned int irq)
{
    api::irq_enable(irq);
}

void rtl_hard_disable_irq(unsigned int irq)
{
    api::irq_disable(irq);
}

hrtime_t gethrtime(void)
{
    return api::clock();
}

int __pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                     void *(*start_routine)(void *), void *arg, struct module *owner)
{
    pthread_attr_t defaults;
    if (!attr) {
        pthread_attr_init(&defaults);
        attr = &defaults;
    }
    return api::thread_create(thread, static_cast<int>(attr->stack_size), attr->use_fp,
                              attr->sched_param.sched_priority, attr->cpu, start_routine, arg,
                              owner);
}

int pthread_make_periodic_np(pthread_t thread, hrtime_t start_time, hrtime_t period)
{
    return api::thread_make_periodic(thread, start_time, period);
}

int pthread_wakeup_np(pthread_t thread)
{
    return api::thread_wakeup(thread);
}

int pthread_suspend_np(pthread_t thread)
{
    return api::thread_suspend(thread);
}

int pthread_wait_np(void)
{
    return api::thread_wait();
}

int pthread_delete_np(pthread_t thread)
{
    return api::thread_delete(thread);
}

} // extern "C"

void rtlsim::api::name_module(const char *name)
{
    size_t i = 0;
    for (; name[i] && i + 1 < sizeof module_name; ++i)
        module_name[i] = name[i];
    module_name[i] = '\0';
}
