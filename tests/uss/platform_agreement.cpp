// Compiled, never run, against both the real platform headers (Linux 2.4.17,
// RTLinux 3.2-pre3) and our stand-ins (bench/rtlinux/include), for i386:
// every platform call the module makes has exactly these types in both,
// the macros are macros in both, and the records the module fills have the
// same layout.  It compiles only where the headers agree with it.
#define new new_
#define virtual virtual_
extern "C" {
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/errno.h>
#include <linux/ioport.h>
#include <asm/div64.h>
#include <arch/rtl_io.h>
#include <rtl_sync.h>
#include <rtl_core.h>
#include <rtl_fifo.h>
#include <rtl_time.h>
#include <rtl_sched.h>
#include <pthread.h>
}
#undef new
#undef virtual

template <class A, class B> struct same { static const bool value = false; };
template <class A> struct same<A, A> { static const bool value = true; };
#define SAME(expr, ...) static_assert(same<__typeof__(expr), __VA_ARGS__>::value, #expr)
#define SAME_TYPE(type, ...) static_assert(same<type, __VA_ARGS__>::value, #type)

// Linux 2.4
SAME(&__check_region, int (*)(struct resource *, unsigned long, unsigned long));
SAME(&__request_region, struct resource *(*)(struct resource *, unsigned long, unsigned long, const char *));
SAME(&__release_region, void (*)(struct resource *, unsigned long, unsigned long));
SAME(&ioport_resource, struct resource *);
SAME(&__this_module, struct module *);
SAME(printk("%d", 1), int);
SAME(__module_kernel_version, const char[sizeof "kernel_version=2.4.18-rtl3.1"]);
static_assert(ENODEV == 19, "ENODEV");

// RTLinux FIFOs
SAME(&__rtf_create, int (*)(unsigned int, int, struct module *));
SAME(&rtf_destroy, int (*)(unsigned int));
SAME(&rtf_create_handler, int (*)(unsigned int, int (*)(unsigned int)));
SAME(&rtf_get, int (*)(unsigned int, void *, int));
SAME(&rtf_put, int (*)(unsigned int, void *, int));

// Hard interrupts, the interrupt flag, port output, the clock
SAME(&rtl_request_global_irq, int (*)(unsigned int, unsigned int (*)(unsigned int, struct pt_regs *)));
SAME(&rtl_free_global_irq, int (*)(unsigned int));
SAME(&rtl_hard_enable_irq, void (*)(unsigned int));
SAME(&rtl_hard_disable_irq, void (*)(unsigned int));
SAME_TYPE(rtl_irqstate_t, unsigned long);
SAME(&rtl_outb, void (*)(char, short));
SAME_TYPE(hrtime_t, long long);
SAME(&gethrtime, hrtime_t (*)(void));

// Threads
SAME_TYPE(pthread_t, struct rtl_thread_struct *);
SAME(&__pthread_create, int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *, struct module *));
SAME(&pthread_make_periodic_np, int (*)(pthread_t, hrtime_t, hrtime_t));
SAME(&pthread_wakeup_np, int (*)(pthread_t));
SAME(&pthread_suspend_np, int (*)(pthread_t));
SAME(&pthread_delete_np, int (*)(pthread_t));
SAME(&pthread_wait_np, int (*)(void));
SAME(&pthread_attr_init, int (*)(pthread_attr_t *));
SAME(&pthread_attr_setschedparam, int (*)(pthread_attr_t *, const struct sched_param *));
SAME(((struct sched_param *)0)->sched_priority, int);
static_assert(sizeof(struct sched_param) == 4, "sched_param");
static_assert(sizeof(pthread_attr_t) == 28, "pthread_attr_t");
static_assert(__builtin_offsetof(pthread_attr_t, stack_size) == 0, "stack_size");
static_assert(__builtin_offsetof(pthread_attr_t, stack_addr) == 4, "stack_addr");
static_assert(__builtin_offsetof(pthread_attr_t, sched_param) == 8, "sched_param");
static_assert(__builtin_offsetof(pthread_attr_t, cpu) == 12, "cpu");
static_assert(__builtin_offsetof(pthread_attr_t, use_fp) == 16, "use_fp");
static_assert(__builtin_offsetof(pthread_attr_t, initial_state) == 20, "initial_state");
static_assert(__builtin_offsetof(pthread_attr_t, detachstate) == 24, "detachstate");

// Macros in both (a function in one and a macro in the other would differ
// in what the object refers to).
#if !defined(check_region) || !defined(request_region) || !defined(release_region) || \
    !defined(rtf_create) || !defined(pthread_create) || !defined(do_div) ||          \
    !defined(rtl_no_interrupts) || !defined(rtl_restore_interrupts) ||                \
    !defined(EXPORT_NO_SYMBOLS) || !defined(rtl_getcpuid)
#error "a call the module makes is a function here and a macro in the other header set"
#endif
#if defined(printk) || defined(rtf_put) || defined(rtf_get) || defined(gethrtime) || \
    defined(rtl_outb) || defined(pthread_wait_np) || defined(pthread_attr_init)
#error "a call the module makes is a macro here and a function in the other header set"
#endif

// do_div: divides the 64-bit lvalue in place, yields the remainder.
unsigned long long probe_do_div(unsigned long long n)
{
    unsigned long rem = do_div(n, 20000000u);
    return n + rem;
}
