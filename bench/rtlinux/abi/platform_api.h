// The calls from the platform's C entry points (platform.cpp) into the
// emulated machine.  platform.cpp is compiled against the module-facing
// platform headers, whose pthread.h, pthread_t and struct sched_param are
// RTLinux's and clash with the host's; so this interface uses built-in types
// and forward-declared structs only and includes no system header but
// <stdarg.h>.
#ifndef RTLSIM_PLATFORM_API_H
#define RTLSIM_PLATFORM_API_H

#include <stdarg.h>

struct pt_regs;
struct rtl_thread_struct;
struct module;

namespace rtlsim {
namespace api {

using IrqHandler = unsigned int (*)(unsigned int irq, struct pt_regs *regs);
using FifoHandler = int (*)(unsigned int fifo);
using ThreadBody = void *(*)(void *);

// The loader names the module being loaded (its struct module, which
// __this_module is).
void name_module(const char *name);

// Kernel log.
int vlog(const char *fmt, va_list ap);

// I/O regions; request returns a token (the kernel's struct resource) or null.
int region_check(unsigned long start, unsigned long n);
void *region_request(unsigned long start, unsigned long n, const char *name);
void region_release(unsigned long start, unsigned long n);

// Port output.
void port_out(unsigned int port, unsigned int value);

// Real-time FIFOs.
int fifo_create(unsigned int fifo, int size, const struct module *owner);
int fifo_destroy(unsigned int fifo);
int fifo_set_handler(unsigned int fifo, FifoHandler handler);
int fifo_get(unsigned int fifo, void *buf, int count);
int fifo_put(unsigned int fifo, const void *buf, int count);

// Hard interrupts and the processor's interrupt flag.
int irq_request(unsigned int irq, IrqHandler handler);
int irq_free(unsigned int irq);
void irq_enable(unsigned int irq);
void irq_disable(unsigned int irq);
unsigned long irq_save();
void irq_restore(unsigned long flags);

// Clock.
long long clock();

// Real-time threads (POSIX-style results: 0 or an error number).
int thread_create(struct rtl_thread_struct **handle, int stack_size, int use_fp,
                  int priority, int cpu, ThreadBody body, void *arg,
                  const struct module *owner);
int thread_make_periodic(struct rtl_thread_struct *thread, long long start, long long period);
int thread_wakeup(struct rtl_thread_struct *thread);
int thread_suspend(struct rtl_thread_struct *thread);
int thread_wait();
int thread_delete(struct rtl_thread_struct *thread);

} // namespace api
} // namespace rtlsim

#endif
